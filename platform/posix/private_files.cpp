#include "platform/private_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/unique_fd.h"

namespace {

constexpr mode_t kPrivateFolderMode = 0700;
constexpr size_t kMaxFileBytes = 1 << 20;

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    const passwd* entry = getpwuid(getuid());
    home = entry != nullptr ? entry->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] != '/') return "";
  return std::string(home) + "/.config";
}

}  // namespace

bool MakerFolder(std::string_view maker, std::string* folder) {
  std::string home = ConfigHome();
  if (home.empty()) return false;
  *folder = home + "/" + std::string(maker);
  for (size_t slash = folder->find('/', 1);; slash = folder->find('/', slash + 1)) {
    std::string part = folder->substr(0, slash);
    if (::mkdir(part.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return ::stat(folder->c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

FileSafety CheckPrivateFile(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0)
    return errno == ENOENT ? FileSafety::kMissing : FileSafety::kExposed;
  bool own = S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
  return own && (info.st_mode & 077) == 0 ? FileSafety::kPrivate : FileSafety::kExposed;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool ReadSmallFile(const std::string& path, std::string* text) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info {};
  if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  text->clear();
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(file.Get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(chunk, static_cast<size_t>(n));
    if (text->size() > kMaxFileBytes) return false;
  }
}

bool ReplaceFileAtomically(const std::string& folder, const std::string& name,
                           std::string_view bytes, unsigned mode) {
  std::string temp = folder + "/." + name + ".XXXXXX";
  UniqueFd file(::mkostemp(temp.data(), O_CLOEXEC));  // 0600 from the start
  if (file.Get() < 0) return false;
  bool done = WriteAll(file.Get(), bytes) && ::fchmod(file.Get(), mode) == 0 &&
              ::fsync(file.Get()) == 0 && ::close(file.Release()) == 0 &&
              ::rename(temp.c_str(), (folder + "/" + name).c_str()) == 0;
  if (!done) {
    ::unlink(temp.c_str());
    return false;
  }
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() >= 0) ::fsync(dir.Get());  // makes the rename itself last
  return true;
}

std::string UserAtHost() {
  const passwd* entry = getpwuid(geteuid());
  std::string user = entry != nullptr ? entry->pw_name : std::to_string(geteuid());
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return user + "@" + (host[0] != '\0' ? host : "localhost");
}

std::string FileIn(const std::string& folder, std::string_view name) {
  return folder + "/" + std::string(name);
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

std::string ConfigFolder() {
  return ConfigHome();
}
