// Windows keeps no files of ours beside the settings yet: the only user of them, HTTPS
// inspection, has no TLS backend on Windows and stays off there. Every call says "none".
#include "platform/private_files.h"

#include <windows.h>

bool MakerFolder(std::string_view, std::string*) {
  return false;
}

FileSafety CheckPrivateFile(const std::string&) {
  return FileSafety::kMissing;
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ReadSmallFile(const std::string&, std::string*) {
  return false;
}

bool ReplaceFileAtomically(const std::string&, const std::string&, std::string_view, unsigned) {
  return false;
}

std::string UserAtHost() {
  return "user@host";
}
