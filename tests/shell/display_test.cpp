// Whether a display is there, as the program decides before Qt is touched: a display counts only
// when what DISPLAY or WAYLAND_DISPLAY names answers a connection.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/unique_fd.h"
#include "platform/window_system_choice.h"
#include "tests/shell/temp_runtime_dir.h"

namespace {

// Sets the display variables for one test and puts back what was there.
class DisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_.push_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
      ::unsetenv(name);
    }
  }
  void TearDown() override {
    for (size_t i = 0; i < std::size(kNames); ++i) {
      if (saved_[i])
        ::setenv(kNames[i], saved_[i]->c_str(), 1);
      else
        ::unsetenv(kNames[i]);
    }
  }
  static void Set(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

  static constexpr const char* kNames[] = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"};
  std::vector<std::optional<std::string>> saved_;
};

UniqueFd ListenTcp(uint16_t* port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(fd.Get(), 4);
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

UniqueFd ListenLocal(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(fd.Get(), 4);
  return fd;
}

TEST_F(DisplayTest, NothingNamedIsNoDisplay) {
  EXPECT_FALSE(DisplayNamed());
  EXPECT_FALSE(HasDisplay());
  Set("DISPLAY", "");
  EXPECT_FALSE(DisplayNamed());
  EXPECT_FALSE(HasDisplay());
}

TEST_F(DisplayTest, XDisplayOverTcpCountsWhileItAnswers) {
  uint16_t port = 0;
  std::optional<UniqueFd> server(ListenTcp(&port));
  ASSERT_GE(port, 6000);
  std::string number = std::to_string(port - 6000);
  for (std::string display : {"127.0.0.1:" + number, "localhost:" + number + ".0"}) {
    Set("DISPLAY", display);
    EXPECT_TRUE(DisplayNamed());
    EXPECT_TRUE(HasDisplay()) << display;
  }
  server.reset();
  EXPECT_TRUE(DisplayNamed());
  EXPECT_FALSE(HasDisplay());
}

TEST_F(DisplayTest, LocalXDisplayWithoutItsSocketIsNoDisplay) {
  // No X server runs with a number this high here; neither socket form answers.
  Set("DISPLAY", ":59000");
  EXPECT_FALSE(HasDisplay());
  Set("DISPLAY", "unix:59000.0");
  EXPECT_FALSE(HasDisplay());
}

TEST_F(DisplayTest, FormsNotUnderstoodAreLeftToTheToolkit) {
  for (const char* display : {"no-colon", "host::0", ":x", "/private/tmp/launch/org:0"}) {
    Set("DISPLAY", display);
    EXPECT_TRUE(HasDisplay()) << display;
  }
}

TEST_F(DisplayTest, WaylandSocketCountsByPathOrInTheRuntimeFolder) {
  TempRuntimeDir runtime;
  ::unsetenv("XDG_RUNTIME_DIR");
  std::string path = runtime.Path() + "/wayland-test";
  std::optional<UniqueFd> compositor(ListenLocal(path));
  Set("WAYLAND_DISPLAY", path);
  EXPECT_TRUE(HasDisplay());
  Set("WAYLAND_DISPLAY", "wayland-test");
  EXPECT_FALSE(HasDisplay());  // a relative name needs the runtime folder
  Set("XDG_RUNTIME_DIR", runtime.Path());
  EXPECT_TRUE(HasDisplay());
  compositor.reset();  // the socket file stays, but nobody answers
  EXPECT_FALSE(HasDisplay());
}

TEST_F(DisplayTest, EitherAnsweringDisplayIsEnough) {
  uint16_t port = 0;
  UniqueFd server(ListenTcp(&port));
  Set("WAYLAND_DISPLAY", "/nonexistent/wayland-0");
  Set("DISPLAY", "127.0.0.1:" + std::to_string(port - 6000));
  EXPECT_TRUE(HasDisplay());
}

}  // namespace
