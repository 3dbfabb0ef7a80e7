// Process entry: picks the window system (desktop or headless) before anything else, so that the
// close signals are blocked before any thread exists, then runs the program.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/server.h"
#include "platform/memory.h"
#include "platform/window_system.h"
#include "platform/window_system_choice.h"
#include "resources/corvane_resources.h"
#include "rewrite/rewriting.h"
#include "shell/command_line.h"
#include "shell/entry.h"
#include "shell/proxy_services.h"

namespace {

// The show command of a program started from a desktop or a shell (SW_SHOWDEFAULT); the main
// window stays hidden whatever it is.
constexpr int kShowDefault = 10;

// For the tests of the whole program only: CORVANE_TEST_PORT=<port> makes the proxy listen there
// instead of on 8080, so that a test never meets a proxy the machine runs. Read nowhere else.
uint16_t TestPort = 0;

int StartOnTestPort() {
  return StartProxyServerOn(TestPort, kCloseDelayMs);
}

void ChooseTestPort() {
  const char* text = std::getenv("CORVANE_TEST_PORT");
  if (text == nullptr) return;
  char* end = nullptr;
  long port = std::strtol(text, &end, 10);
  if (*end != '\0' || port <= 0 || port > 65535) return;
  TestPort = static_cast<uint16_t>(port);
  Services.startProxyServer = StartOnTestPort;
}

}  // namespace

int main(int argc, char** argv) {
  // An option that ends the program (--help, --version, a mistake) does so before anything starts.
  int status = HandleCommandLine(CorvaneOptions(), argc, argv, CorvaneResources(), stdout, stderr);
  if (status != kRunProgram) return status;
  BoundThreadHeaps();  // before the window system or the proxy starts a thread
  std::unique_ptr<WindowSystem> windowSystem = StartWindowSystem(argc, argv);
  UseWindowSystem(windowSystem.get());
  ChooseTestPort();
  InstallRewriting();  // before the server can start
  int exitCode = RunCorvane(CorvaneResources(), kShowDefault);
  // The proxy has stopped accepting; the exchanges in flight get a few seconds to end well, and
  // what remains is reset, never closed as if whole.
  FinishExchangesInFlight(kExitGraceMs);
  UseWindowSystem(nullptr);
  return exitCode;
}
