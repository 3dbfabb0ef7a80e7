// A private runtime directory for one test, set as XDG_RUNTIME_DIR while it lives.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class TempRuntimeDir {
 public:
  TempRuntimeDir() {
    char pattern[] = "/tmp/corvane-test-XXXXXX";
    path_ = ::mkdtemp(pattern);
    ::setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
  }
  ~TempRuntimeDir() {
    ::unsetenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempRuntimeDir(const TempRuntimeDir&) = delete;
  TempRuntimeDir& operator=(const TempRuntimeDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
