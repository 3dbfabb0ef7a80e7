// The whole program, headless, as two real processes: one instance per user session, a second
// start handing the first a tap on its icon, stale sockets of dead instances, a taken port and the
// system's close signals. Each test has its own runtime directory and proxy port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_mutex.h"
#include "platform/posix/unique_fd.h"
#include "tests/shell/temp_runtime_dir.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Long enough for a sanitized build on a busy machine; a healthy run takes a fraction of it.
constexpr auto kPatience = 20s;
// What the headless instance writes when asked for the menu it cannot show.
constexpr char kMenuNote[] = "the popup menu is not shown";

// A TCP port nobody listens on right now.
uint16_t FreePort() {
  UniqueFd probe(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A socket listening on a loopback port of the system's choosing, written to *port.
int ListenOnLoopback(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 8) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

bool Accepts(uint16_t port) {
  UniqueFd client(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

template <typename Condition>
bool WaitFor(Condition condition) {
  auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One run of build/corvane with the arguments given, without a display (unless `extra` names
// one), its standard output and error kept in files.
class Corvane {
 public:
  Corvane(const TempRuntimeDir& runtime, uint16_t port, const char* name,
          std::vector<std::string> extra = {}, std::vector<std::string> args = {})
      : errors_(runtime.File(name)), output_(errors_ + ".out") {
    // Its settings go to the test's folder too, never to the user's own.
    std::vector<std::string> env{"XDG_RUNTIME_DIR=" + runtime.Path(),
                                 "XDG_CONFIG_HOME=" + runtime.Path(),
                                 "CORVANE_TEST_PORT=" + std::to_string(port)};
    env.insert(env.end(), extra.begin(), extra.end());
    for (char** e = environ; *e != nullptr; ++e) {
      std::string_view entry(*e);
      if (!entry.starts_with("DISPLAY=") && !entry.starts_with("WAYLAND_DISPLAY=") &&
          !entry.starts_with("XDG_RUNTIME_DIR=") && !entry.starts_with("XDG_CONFIG_HOME=") &&
          !entry.starts_with("CORVANE_TEST_PORT="))
        env.emplace_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& entry : env)
      envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&files, 2, errors_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);  // as a shell would start it
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    args.insert(args.begin(), CORVANE_EXECUTABLE);
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, CORVANE_EXECUTABLE, &files, &attributes, argv.data(), envp.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
  }
  ~Corvane() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool Started() const { return pid_ > 0; }
  // The program the process runs now.
  std::string Program() const {
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid_) + "/exe").filename();
  }
  void Signal(int signal) const {
    if (pid_ > 0) ::kill(pid_, signal);  // never -1: that would signal every process
  }
  pid_t Pid() const { return pid_; }
  std::string Errors() const { return ReadFile(errors_); }
  std::string Output() const { return ReadFile(output_); }

  // The exit code once it has ended by itself, or -1 when it runs past our patience.
  int ExitCode() {
    int status = 0;
    bool ended = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!ended) return -1;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  std::string errors_;
  std::string output_;
  pid_t pid_ = -1;
  bool exited_ = false;
};

class SingleInstanceTest : public ::testing::Test {
 protected:
  // Starts the first instance and waits until it serves and can be found.
  void StartFirst() {
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(WaitFor([&] { return Accepts(port); })) << first.Errors();
    ASSERT_TRUE(std::filesystem::exists(WindowSocket()));
    // Settings are loaded once the proxy serves; a first run stores the defaults.
    EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(runtime.File("Lumet")); }));
  }
  std::string WindowSocket() const { return runtime.File("CORVANE.window"); }

  TempRuntimeDir runtime;
  uint16_t port = FreePort();
  Corvane first{runtime, port, "first.err"};
};

// Leaves a socket file that nobody receives on, as a killed instance would.
void LeaveStaleSocket(const std::string& path) {
  UniqueFd dead(::socket(AF_UNIX, SOCK_DGRAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ::bind(dead.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
}

TEST_F(SingleInstanceTest, SecondStartTapsTheRunningInstanceAndEnds) {
  StartFirst();
  Corvane second(runtime, port, "second.err");
  EXPECT_EQ(second.ExitCode(), 0);
  // No second proxy, so no "bind" failure either; only where the start went.
  EXPECT_EQ(second.Errors(),
            "corvane: already running; the running instance was asked to open its menu\n");
  EXPECT_TRUE(WaitFor([&] { return first.Errors().find(kMenuNote) != std::string::npos; }));

  first.Signal(SIGTERM);
  EXPECT_EQ(first.ExitCode(), 0);
  EXPECT_FALSE(std::filesystem::exists(WindowSocket()));
  EXPECT_FALSE(Accepts(port));
  int error = -1;  // the name is free again
  NamedMutex mutex = CreateNamedMutex(u"CorvaneInstance", &error);
  EXPECT_EQ(error, 0);
  CloseNamedMutex(mutex);
}

TEST(SingleInstanceStaleTest, StaleSocketOfADeadInstanceIsReplaced) {
  TempRuntimeDir runtime;
  LeaveStaleSocket(runtime.File("CORVANE.window"));
  uint16_t port = FreePort();
  Corvane first(runtime, port, "first.err");
  ASSERT_TRUE(WaitFor([&] { return Accepts(port); })) << first.Errors();
  Corvane second(runtime, port, "second.err");
  EXPECT_EQ(second.ExitCode(), 0);
  EXPECT_TRUE(WaitFor([&] { return first.Errors().find(kMenuNote) != std::string::npos; }));
  first.Signal(SIGINT);
  EXPECT_EQ(first.ExitCode(), 0);
}

TEST(SingleInstanceStaleTest, TakenNameWithNoWindowPostsNothingAndEnds) {
  TempRuntimeDir runtime;
  LeaveStaleSocket(runtime.File("CORVANE.window"));
  int error = -1;
  NamedMutex held = CreateNamedMutex(u"CorvaneInstance", &error);  // an instance still starting
  ASSERT_EQ(error, 0);
  uint16_t port = FreePort();
  Corvane second(runtime, port, "second.err");
  EXPECT_EQ(second.ExitCode(), 0);
  EXPECT_EQ(second.Errors(), "");
  EXPECT_FALSE(Accepts(port));
  EXPECT_TRUE(std::filesystem::exists(runtime.File("CORVANE.window")));  // not the lock holder's
  CloseNamedMutex(held);
}

TEST(SingleInstancePortTest, TakenPortShowsBindFailureAndEndsWithStatusOne) {
  TempRuntimeDir runtime;
  uint16_t port = FreePort();
  UniqueFd taken(::socket(AF_INET6, SOCK_STREAM, 0));
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(port);
  address.sin6_addr = in6addr_any;
  ASSERT_EQ(::bind(taken.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken.Get(), 1), 0);

  Corvane corvane(runtime, port, "corvane.err");
  EXPECT_EQ(corvane.ExitCode(), 1);
  EXPECT_NE(corvane.Errors().find("): bind"), std::string::npos) << corvane.Errors();
  EXPECT_FALSE(std::filesystem::exists(runtime.File("CORVANE.window")));
  // The settings, which say where to listen, were read first: a first run writes the defaults.
  EXPECT_TRUE(std::filesystem::exists(runtime.File("Lumet")));
}

// With a display the program becomes corvane-desktop, which links Qt; without one it stays
// itself and maps no Qt library.
TEST(DesktopHandOffTest, DisplayMakesItTheDesktopProgram) {
  TempRuntimeDir runtime;
  uint16_t port = FreePort();
  // Something answering where DISPLAY points; Qt itself draws offscreen and never talks to it.
  uint16_t xPort = 0;
  UniqueFd xServer(ListenOnLoopback(&xPort));
  ASSERT_GE(xPort, 6000);
  std::string display = "DISPLAY=127.0.0.1:" + std::to_string(xPort - 6000);
  Corvane desktop{runtime, port, "desktop.err", {display, "QT_QPA_PLATFORM=offscreen"}};
  ASSERT_TRUE(desktop.Started());
  ASSERT_TRUE(WaitFor([&] { return Accepts(port); })) << desktop.Errors();
  EXPECT_EQ(desktop.Program(), "corvane-desktop");
  desktop.Signal(SIGTERM);
  EXPECT_EQ(desktop.ExitCode(), 0);
}

// A display that does not answer (a stale DISPLAY) would make Qt end the process.
TEST(DesktopHandOffTest, DisplayThatDoesNotAnswerLeavesItHeadless) {
  TempRuntimeDir runtime;
  uint16_t port = FreePort();
  uint16_t closed = FreePort();
  std::string display = "DISPLAY=127.0.0.1:" + std::to_string(closed - 6000);
  Corvane headless{runtime, port, "stale.err", {display}};
  ASSERT_TRUE(headless.Started());
  ASSERT_TRUE(WaitFor([&] { return Accepts(port); })) << headless.Errors();
  EXPECT_EQ(headless.Program(), "corvane");
  EXPECT_NE(headless.Errors().find("DISPLAY does not answer"), std::string::npos)
      << headless.Errors();
  headless.Signal(SIGTERM);
  EXPECT_EQ(headless.ExitCode(), 0);
}

TEST(DesktopHandOffTest, NoDisplayStaysHeadlessWithoutQt) {
  TempRuntimeDir runtime;
  uint16_t port = FreePort();
  Corvane headless{runtime, port, "headless.err"};
  ASSERT_TRUE(headless.Started());
  ASSERT_TRUE(WaitFor([&] { return Accepts(port); })) << headless.Errors();
  EXPECT_EQ(headless.Program(), "corvane");
  EXPECT_EQ(ReadFile("/proc/" + std::to_string(headless.Pid()) + "/maps").find("libQt6"),
            std::string::npos);
  headless.Signal(SIGTERM);
  EXPECT_EQ(headless.ExitCode(), 0);
}

// Options a terminal user gives: answered on standard output, or refused in one line on standard
// error; either way nothing starts, not even the hand-off to the desktop program.
TEST(CommandLineProcessTest, OptionsAnswerOrRefuseWithoutStartingAnything) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string outputStart;
    std::string errors;
  };
  const Case cases[] = {
      {{"--version"}, 0, "corvane 1.0.8.1\n", ""},
      {{"--help"}, 0, "Usage: corvane [OPTION]...\n", ""},
      {{"--verbose"}, 2, "", "corvane: unknown option '--verbose' (try 'corvane --help')\n"},
  };
  for (const Case& c : cases) {
    TempRuntimeDir runtime;
    uint16_t port = FreePort();
    uint16_t xPort = 0;  // a display that answers, so a started program would hand off
    UniqueFd xServer(ListenOnLoopback(&xPort));
    std::string display = "DISPLAY=127.0.0.1:" + std::to_string(xPort - 6000);
    Corvane corvane{runtime, port, "options.err", {display, "QT_QPA_PLATFORM=offscreen"}, c.args};
    EXPECT_EQ(corvane.ExitCode(), c.status) << c.args[0];
    EXPECT_EQ(corvane.Output().rfind(c.outputStart, 0), 0u) << corvane.Output();
    EXPECT_EQ(corvane.Errors(), c.errors);
    EXPECT_FALSE(std::filesystem::exists(runtime.File("CORVANE.window"))) << c.args[0];
    EXPECT_FALSE(std::filesystem::exists(runtime.File("Lumet"))) << c.args[0];
  }
}

class CloseSignalTest : public SingleInstanceTest, public ::testing::WithParamInterface<int> {};

TEST_P(CloseSignalTest, EndsThroughDestructionWithExitCodeZero) {
  StartFirst();
  first.Signal(GetParam());
  EXPECT_EQ(first.ExitCode(), 0);
  EXPECT_FALSE(std::filesystem::exists(WindowSocket()));
  EXPECT_FALSE(Accepts(port));
}

INSTANTIATE_TEST_SUITE_P(EachSignal, CloseSignalTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

}  // namespace

namespace {

// An answer still coming when the program is told to end gets a few seconds to finish, then its
// client a reset: never an orderly close that would make the part it got look whole.
TEST_F(SingleInstanceTest, AnAnswerInFlightAtTheEndIsResetNotClosedAsWhole) {
  StartFirst();
  uint16_t originPort = 0;
  UniqueFd origin(ListenOnLoopback(&originPort));
  UniqueFd client(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::string request =
      "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(originPort) + "\r\n\r\n";
  ASSERT_EQ(::send(client.Get(), request.data(), request.size(), 0),
            static_cast<ssize_t>(request.size()));
  UniqueFd served(::accept(origin.Get(), nullptr, nullptr));
  ASSERT_GE(served.Get(), 0);
  // An answer ended by the close, whose first part has come and whose rest never will.
  std::string part = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nthe first part";
  ASSERT_EQ(::send(served.Get(), part.data(), part.size(), 0), static_cast<ssize_t>(part.size()));
  char buffer[256];
  ASSERT_GT(::recv(client.Get(), buffer, sizeof buffer, 0), 0);
  auto start = std::chrono::steady_clock::now();
  first.Signal(SIGTERM);
  ssize_t n;
  while ((n = ::recv(client.Get(), buffer, sizeof buffer, 0)) > 0) {
  }
  int error = errno;
  EXPECT_EQ(n, -1) << "closed in good order, as if the answer were whole";
  EXPECT_EQ(error, ECONNRESET);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(first.ExitCode(), 0);
}

}  // namespace
