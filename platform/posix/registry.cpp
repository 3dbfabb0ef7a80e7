#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/registry_format.h"

namespace {

// A settings file is a few hundred bytes; a larger one is not ours to parse, and is left alone.
constexpr size_t kMaxFileBytes = 1 << 20;
// Far beyond any setting, and small enough that the file stays under kMaxFileBytes.
constexpr size_t kMaxValueBytes = 64 * 1024;
// Win32's limits on a key name component and on a value name, in UTF-16 units.
constexpr size_t kMaxKeyNameUnits = 255;
constexpr size_t kMaxValueNameUnits = 16383;
// Keys open at the same time; the settings store holds one, and only while it loads or saves.
constexpr size_t kMaxOpenKeys = 8;
// "Software\<Maker>\<Program>": the components that choose the file.
constexpr size_t kFileComponents = 3;
// Readable by the user alone: the settings may name the user's upstream proxy.
constexpr mode_t kPrivateDirMode = 0700;
constexpr std::string_view kRootName = "HKEY_CURRENT_USER";

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() { Close(); }
  int Get() const { return fd_; }
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_;
};

struct OpenKey {
  bool used = false;
  bool written = false;
  std::string filePath;
  std::string keyName;  // as in its key line, without the brackets
  RegistryDocument doc;
};

std::mutex keysLock;  // guards openKeys and each key's file while a call runs
OpenKey openKeys[kMaxOpenKeys];

bool ConfigHome(std::string* home) {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    *home = xdg;
    return true;
  }
  const char* user = std::getenv("HOME");
  if (user == nullptr || user[0] != '/') {
    const passwd* entry = getpwuid(getuid());  // only when HOME is unset: a rare, one-off call
    user = entry != nullptr ? entry->pw_dir : nullptr;
  }
  if (user == nullptr || user[0] != '/') return false;
  *home = std::string(user) + "/.config";
  return true;
}

// Splits a key path into UTF-8 components that can name a key line and, for the first ones,
// a folder and a file: not empty, no "/", no brackets, not "." or "..".
bool SplitKeyPath(std::u16string_view path, std::vector<std::string>* parts) {
  while (true) {
    size_t cut = path.find(u'\\');
    std::u16string_view unit = path.substr(0, cut);
    std::string part;
    if (unit.empty() || unit.size() > kMaxKeyNameUnits || !LineSafeUtf8(unit, &part) ||
        part == "." || part == ".." || part.find_first_of("/[]") != std::string::npos)
      return false;
    parts->push_back(std::move(part));
    if (cut == std::u16string_view::npos) return true;
    path.remove_prefix(cut + 1);
  }
}

bool IsSoftware(std::string_view part) {
  return part.size() == 8 && std::equal(part.begin(), part.end(), "software", [](char c, char l) {
           return (c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) == l;
         });
}

// The key line of the path's first n components, e.g. "HKEY_CURRENT_USER\Software\Maker\Program".
std::string KeyName(const std::vector<std::string>& parts, size_t n) {
  std::string name(kRootName);
  for (size_t i = 0; i < n; ++i)
    name += "\\" + parts[i];
  return name;
}

long ReadWholeFile(const std::string& path, std::string* text) {
  // Non-blocking, so a FIFO left at the path is refused below instead of waited on.
  ScopedFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.Get() < 0)
    return errno == ENOENT || errno == ENOTDIR ? kRegistryNotFound : kRegistryCannotRead;
  struct stat info {};
  if (fstat(file.Get(), &info) != 0) return kRegistryCannotRead;
  if (!S_ISREG(info.st_mode) || static_cast<size_t>(info.st_size) > kMaxFileBytes)
    return kRegistryBadFile;
  char chunk[4096];
  while (true) {
    ssize_t n = read(file.Get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kRegistryCannotRead;
    if (n == 0) return kRegistrySuccess;
    text->append(chunk, static_cast<size_t>(n));
    if (text->size() > kMaxFileBytes) return kRegistryBadFile;  // it grew while we read
  }
}

// Creates each missing folder of path with kPrivateDirMode; folders that exist keep their mode.
bool MakePrivateFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), kPrivateDirMode) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Replaces the file at folder/name by text so that any failure leaves the old file whole: the
// text goes to a new file beside it (created 0600), is flushed, and only then renamed over it.
bool ReplaceFile(const std::string& folder, const std::string& name, std::string_view text) {
  std::string temp = folder + "/." + name + ".XXXXXX";
  ScopedFd file(mkostemp(temp.data(), O_CLOEXEC));
  if (file.Get() < 0) return false;
  bool done = WriteAll(file.Get(), text) && fsync(file.Get()) == 0 && file.Close() &&
              rename(temp.c_str(), (folder + "/" + name).c_str()) == 0;
  if (!done) {
    unlink(temp.c_str());
    return false;
  }
  ScopedFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() >= 0) fsync(dir.Get());  // makes the rename itself last; nothing to do if not
  return true;
}

bool SaveKeyFile(const OpenKey& key) {
  std::string text = RegistryText(key.doc);
  size_t slash = key.filePath.rfind('/');
  std::string folder = key.filePath.substr(0, slash);
  return text.size() <= kMaxFileBytes && MakePrivateFolders(folder) &&
         ReplaceFile(folder, key.filePath.substr(slash + 1), text);
}

// Reads the key's file and adds the key's line, and those of its parents down from the file's
// own key, when missing. *created tells whether the key itself was missing.
long LoadKey(std::u16string_view path, OpenKey* key, bool* created) {
  std::vector<std::string> parts;
  std::string home;
  if (!SplitKeyPath(path, &parts) || parts.size() < kFileComponents || !IsSoftware(parts[0]))
    return kRegistryInvalidParameter;
  if (!ConfigHome(&home)) return kRegistryNotFound;
  key->filePath = home + "/" + parts[1] + "/" + parts[2] + ".reg";
  key->keyName = KeyName(parts, parts.size());
  std::string text;
  long status = ReadWholeFile(key->filePath, &text);
  if (status != kRegistrySuccess && status != kRegistryNotFound) return status;
  key->doc = ParseRegistryText(text);
  *created = FindKeyLine(key->doc, key->keyName) == kNoLine;
  if (!*created) return kRegistrySuccess;
  for (size_t n = kFileComponents; n <= parts.size(); ++n) {
    std::string name = KeyName(parts, n);
    if (FindKeyLine(key->doc, name) == kNoLine) AddKeyLine(&key->doc, name);
  }
  return SaveKeyFile(*key) ? kRegistrySuccess : kRegistryCannotWrite;
}

// The open key behind a handle, or null. Called with keysLock held.
OpenKey* Lookup(RegistryKey key) {
  if (key == 0 || key > kMaxOpenKeys || !openKeys[key - 1].used) return nullptr;
  return &openKeys[key - 1];
}

bool ValueName(std::u16string_view name, std::string* utf8) {
  return name.size() <= kMaxValueNameUnits && LineSafeUtf8(name, utf8);
}

}  // namespace

long RegistryCreateKey(RegistryKey root, std::u16string_view path, std::u16string_view, uint32_t,
                       uint32_t, void*, RegistryKey* key, uint32_t* disposition) {
  if (root != kRegistryCurrentUser) return kRegistryInvalidHandle;
  if (key == nullptr) return kRegistryInvalidParameter;
  std::lock_guard<std::mutex> hold(keysLock);
  auto slot = std::find_if(std::begin(openKeys), std::end(openKeys),
                           [](const OpenKey& k) { return !k.used; });
  if (slot == std::end(openKeys)) return kRegistryTooManyOpen;
  OpenKey opened;
  bool created = false;
  long status = LoadKey(path, &opened, &created);
  if (status != kRegistrySuccess) return status;
  opened.used = true;
  *slot = std::move(opened);
  *key = static_cast<RegistryKey>(slot - std::begin(openKeys)) + 1;
  if (disposition != nullptr)
    *disposition = created ? kRegistryCreatedNewKey : kRegistryOpenedExistingKey;
  return kRegistrySuccess;
}

long RegistryReadValue(RegistryKey key, std::u16string_view name, uint32_t* type,
                       std::span<std::byte> buffer, uint32_t* size) {
  std::lock_guard<std::mutex> hold(keysLock);
  OpenKey* open = Lookup(key);
  if (open == nullptr) return kRegistryInvalidHandle;
  std::string utf8;
  RegistryValue value;
  size_t keyLine = FindKeyLine(open->doc, open->keyName);
  if (keyLine == kNoLine || !ValueName(name, &utf8) ||
      FindValue(open->doc, keyLine, utf8, &value) != ValueLookup::kFound)
    return kRegistryNotFound;
  if (type != nullptr) *type = value.type;
  if (size != nullptr) *size = static_cast<uint32_t>(value.bytes.size());
  if (value.bytes.size() > buffer.size()) return kRegistryMoreData;
  std::copy(value.bytes.begin(), value.bytes.end(), buffer.begin());
  return kRegistrySuccess;
}

long RegistryWriteValue(RegistryKey key, std::u16string_view name, uint32_t type,
                        std::span<const std::byte> data) {
  std::lock_guard<std::mutex> hold(keysLock);
  OpenKey* open = Lookup(key);
  if (open == nullptr) return kRegistryInvalidHandle;
  std::string utf8;
  if (!ValueName(name, &utf8) || data.size() > kMaxValueBytes) return kRegistryInvalidParameter;
  size_t keyLine = FindKeyLine(open->doc, open->keyName);
  if (keyLine == kNoLine) return kRegistryBadFile;  // cannot happen: opening adds the line
  RegistryValue value{type, std::vector<std::byte>(data.begin(), data.end())};
  SetValue(&open->doc, keyLine, utf8, value);
  open->written = true;
  return kRegistrySuccess;
}

long RegistryCloseKey(RegistryKey key) {
  std::lock_guard<std::mutex> hold(keysLock);
  OpenKey* open = Lookup(key);
  if (open == nullptr) return kRegistryInvalidHandle;
  bool saved = !open->written || SaveKeyFile(*open);
  *open = OpenKey{};
  return saved ? kRegistrySuccess : kRegistryCannotWrite;
}
