// Runs the real clients (chromium, curl, wget) against the proxy: each in a scratch folder of its
// own, with a clean environment, a time limit, and its output captured.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

using namespace std::chrono_literals;

// A temporary folder, removed with everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

struct ToolRun {
  bool started = false;
  bool timedOut = false;
  int exitCode = -1;
  std::string out;
  std::string err;
  std::chrono::milliseconds took{0};
};

// The full path of an installed program found in the PATH, or "".
std::string FindTool(const std::string& name);

// Runs argv (argv[0] a full path) in dir with HOME set to dir, no proxy variables but the ones
// in extraEnv ("NAME=value"), and standard input empty. Everything the program started is ended
// when it exits or when limit passes.
ToolRun RunTool(const std::vector<std::string>& argv, const ScratchDir& dir,
                const std::vector<std::string>& extraEnv = {},
                std::chrono::milliseconds limit = 60s);

// Debian's chromium, headless, through the proxy on 127.0.0.1:proxyPort, with a fresh profile.
// Returns the page's DOM as serialized after it loaded (in out). With a virtual time budget the
// browser also waits for what the page's script starts (a link click, a form submission). With a
// trusted authority (a PEM file) the browser checks certificates against it, registered in the
// profile's NSS database as a user would with certutil; without one it ignores their errors.
ToolRun RunChromium(const std::string& chromium, uint16_t proxyPort, const std::string& url,
                    int virtualTimeBudgetMs = 0, const std::string& trustedAuthority = "");
