#include "platform/posix/runtime_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/text_convert.h"

namespace {

// Longest object name taken, in UTF-8 bytes; names here are class and mutex names of a few words.
constexpr size_t kNameBytes = 256;

}  // namespace

int CheckedPrivateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return 0;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 0;
  // A link, another user's directory or one open to others could be a trap laid by someone else.
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid() || (info.st_mode & 077) != 0) {
    errno = EACCES;
    return 0;
  }
  return 1;
}

int UserRuntimeDirectory(std::string* path) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    *path = runtime;
    return 1;
  }
  *path = "/tmp/corvane-" + std::to_string(::getuid());
  return CheckedPrivateDirectory(*path);
}

int RuntimeFilePath(std::u16string_view name, std::string_view suffix, std::string* path) {
  if (name.find(u'\0') != std::u16string_view::npos) {
    errno = EINVAL;
    return 0;
  }
  char utf8[kNameBytes];
  size_t n = WideToSingleByte(name, utf8);
  std::string_view file(utf8, n);
  if (file.empty() || file == "." || file == ".." || file.find('/') != std::string_view::npos) {
    errno = EINVAL;
    return 0;
  }
  std::string dir;
  if (UserRuntimeDirectory(&dir) == 0) return 0;
  *path = dir + "/" + std::string(file) + std::string(suffix);
  return 1;
}
