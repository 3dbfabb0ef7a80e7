#include "tests/browser/client_tools.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

}  // namespace

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/corvane-client-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

ScratchDir::~ScratchDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string FindTool(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

ToolRun RunTool(const std::vector<std::string>& argv, const ScratchDir& dir,
                const std::vector<std::string>& extraEnv, std::chrono::milliseconds limit) {
  ToolRun run;
  const std::string outPath = dir.Path() + "/.tool-out";
  const std::string errPath = dir.Path() + "/.tool-err";

  const char* path = std::getenv("PATH");
  std::vector<std::string> env = {
      "PATH=" + std::string(path != nullptr ? path : "/usr/bin:/bin"),
      "HOME=" + dir.Path(),
      "XDG_CONFIG_HOME=" + dir.Path() + "/.config",
      "XDG_CACHE_HOME=" + dir.Path() + "/.cache",
      "LANG=C.UTF-8",
  };
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());

  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env)
    envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&files, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addchdir_np(&files, dir.Path().c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, so that the browser's helper processes can be ended with it.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int failed = ::posix_spawn(&pid, args[0], &files, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) return run;
  run.started = true;

  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() - start > limit) {
      run.timedOut = true;
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  run.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  // Helpers the program left behind belong to its group.
  ::kill(-pid, SIGKILL);
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  run.out = ReadFile(outPath);
  run.err = ReadFile(errPath);
  return run;
}

ToolRun RunChromium(const std::string& chromium, uint16_t proxyPort, const std::string& url,
                    int virtualTimeBudgetMs, const std::string& trustedAuthority) {
  ScratchDir profile;
  if (!trustedAuthority.empty()) {
    // The database Chromium reads on Linux: $HOME/.pki/nssdb.
    std::string database = profile.Path() + "/.pki/nssdb";
    std::filesystem::create_directories(database);
    std::string certutil = FindTool("certutil");
    RunTool({certutil, "-N", "-d", "sql:" + database, "--empty-password"}, profile);
    RunTool({certutil, "-A", "-d", "sql:" + database, "-n", "test authority", "-t", "C,,", "-i",
             trustedAuthority},
            profile);
  }
  std::vector<std::string> argv = {
      chromium,
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--disable-dev-shm-usage",
      "--user-data-dir=" + profile.Path() + "/profile",
      "--proxy-server=127.0.0.1:" + std::to_string(proxyPort),
      // Loopback sites go through the proxy ("<-loopback>": Chromium would reach them directly
      // otherwise, and later rules win). Everything else, the browser's own background requests
      // to its vendor's services, goes direct and fails in the browser's resolver, so that no
      // test ever sends a request off this machine.
      "--proxy-bypass-list=*;<-loopback>",
      "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1, EXCLUDE [::1]",
  };
  // The test's TLS origin has a certificate made on the spot.
  if (trustedAuthority.empty()) argv.push_back("--ignore-certificate-errors");
  if (virtualTimeBudgetMs > 0)
    argv.push_back("--virtual-time-budget=" + std::to_string(virtualTimeBudgetMs));
  argv.push_back("--dump-dom");
  argv.push_back(url);
  return RunTool(argv, profile, {}, 30s);
}
