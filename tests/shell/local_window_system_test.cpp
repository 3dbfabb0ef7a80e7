// The headless window system: windows, the loop, accelerators, close signals, the instance mutex
// and the window sockets, all within this one process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/named_mutex.h"
#include "platform/posix/headless_window_system.h"
#include "platform/posix/runtime_dir.h"
#include "platform/posix/window_socket.h"
#include "platform/resource_table.h"
#include "resources/corvane_resources.h"
#include "tests/shell/temp_runtime_dir.h"

// How a failed comparison shows a message.
void PrintTo(const Message& m, std::ostream* out) {
  *out << "{window " << static_cast<uintptr_t>(m.window) << ", " << m.message << ", " << m.wParam
       << ", " << m.lParam << "}";
}

namespace {

std::vector<Message> Seen;
// What the window does when created: 0 goes on, -1 refuses, kWmClose closes itself.
LResult CreateAnswer = 0;

LResult RecordingProc(Window window, uint32_t message, WParam wParam, LParam lParam) {
  Seen.push_back(Message{window, message, wParam, lParam});
  if (message == kWmCreate && CreateAnswer == kWmClose) {
    DestroyAppWindow(window);
    return 0;
  }
  if (message == kWmCreate) return CreateAnswer;
  return DefaultWindowProc(window, message, wParam, lParam);
}

class HeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Seen.clear();
    CreateAnswer = 0;
    UseWindowSystem(&system);
    WindowClass windowClass;
    windowClass.proc = RecordingProc;
    windowClass.className = u"TESTCLASS";
    ASSERT_EQ(RegisterWindowClass(windowClass), 1);
    EXPECT_EQ(RegisterWindowClass(windowClass), 0);  // a class exists once
  }
  void TearDown() override { UseWindowSystem(nullptr); }

  Window Create() { return CreateAppWindow(u"TESTCLASS", u"t", 0, 0, 0, 0, 0, nullptr); }

  // Only for messages known to be queued or readable: GetNextMessage would wait otherwise.
  Message Next() {
    Message message;
    GetNextMessage(&message);
    return message;
  }

  TempRuntimeDir runtime;
  HeadlessWindowSystem system;
};

TEST_F(HeadlessTest, CreationIsHandledBeforeCreateReturns) {
  Window window = Create();
  ASSERT_NE(window, Window::None);
  EXPECT_EQ(Seen, (std::vector<Message>{{window, kWmCreate, 0, 0}}));
  EXPECT_EQ(FindWindowOfClass(u"TESTCLASS"), window);
  EXPECT_EQ(CreateAppWindow(u"NOCLASS", u"t", 0, 0, 0, 0, 0, nullptr), Window::None);
}

TEST_F(HeadlessTest, WindowThatRefusesOrClosesWhileCreatedIsNotHandedBack) {
  for (LResult answer : {LResult{-1}, LResult{kWmClose}}) {
    Seen.clear();
    CreateAnswer = answer;
    EXPECT_EQ(Create(), Window::None);
    ASSERT_EQ(Seen.size(), 2u);
    EXPECT_EQ(Seen[1].message, kWmDestroy);
    EXPECT_EQ(FindWindowOfClass(u"TESTCLASS"), Window::None);
  }
}

TEST_F(HeadlessTest, PostedMessagesArriveInOrderAndQuitEndsTheLoop) {
  Window window = Create();
  EXPECT_EQ(PostWindowMessage(window, kWmApp + 1, 1, -1), 1);
  EXPECT_EQ(PostWindowMessage(window, kWmApp + 2, 2, -2), 1);
  PostQuit(0);
  EXPECT_EQ(Next(), (Message{window, kWmApp + 1, 1, -1}));
  EXPECT_EQ(Next(), (Message{window, kWmApp + 2, 2, -2}));
  Message quit;
  EXPECT_EQ(GetNextMessage(&quit), 0);
  EXPECT_EQ(quit.message, kWmQuit);
  EXPECT_EQ(quit.wParam, 0u);
}

TEST_F(HeadlessTest, SendIsSynchronousAndDestroyHandlesDestructionBeforeReturning) {
  Window window = Create();
  PostWindowMessage(window, kWmApp, 0, 0);
  SendWindowMessage(window, kWmClose, 0, 0);  // default handling destroys
  ASSERT_EQ(Seen.size(), 3u);
  EXPECT_EQ(Seen[1].message, kWmClose);
  EXPECT_EQ(Seen[2].message, kWmDestroy);
  EXPECT_EQ(DestroyAppWindow(window), 0);
  EXPECT_EQ(PostWindowMessage(window, kWmApp, 0, 0), 0);
  // What was posted before the window went is dropped, not handed to a stranger.
  Window next = Create();
  DispatchToWindow(Next());
  EXPECT_NE(next, window);
  EXPECT_EQ(Seen.back().message, kWmCreate);
}

TEST_F(HeadlessTest, AcceleratorsTurnAltKeysIntoCommands) {
  Window window = Create();
  Accelerators table = LoadAcceleratorTable(CorvaneResources(), IDR_ACCELERATORS);
  ASSERT_NE(table, nullptr);
  const struct {
    uint32_t message;
    WParam key;
    LParam alt;
    int translated;
    uint16_t command;
  } cases[] = {
      {kWmSysKeyDown, kVkF4, kKeyAltDown, 1, IDM_ACCEL_ALT_F4},
      {kWmSysChar, '/', kKeyAltDown, 1, IDM_ACCEL_ALT_SLASH},
      {kWmKeyDown, kVkF4, 0, 0, 0},             // F4 without Alt
      {kWmChar, '/', 0, 0, 0},                  // "/" without Alt
      {kWmSysKeyDown, '/', kKeyAltDown, 0, 0},  // "/" is a character entry, not a key
      {kWmApp, kVkF4, kKeyAltDown, 0, 0},       // not a key message at all
  };
  for (const auto& key : cases) {
    Seen.clear();
    Message message{window, key.message, key.key, key.alt};
    EXPECT_EQ(TranslateAccelerators(window, table, message), key.translated) << key.message;
    if (key.translated == 0) {
      EXPECT_TRUE(Seen.empty());
      continue;
    }
    ASSERT_EQ(Seen.size(), 1u);
    EXPECT_EQ(Seen[0].message, kWmCommand);
    EXPECT_EQ(LowWord(Seen[0].wParam), key.command);
  }
  EXPECT_NE(FindWindowOfClass(u"TESTCLASS"), Window::None);  // Alt+F4 closed nothing
}

TEST_F(HeadlessTest, CloseSignalReachesEveryWindowAsClose) {
  Window window = Create();
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    ::raise(signal);  // blocked by the window system, so it only becomes readable
    EXPECT_EQ(Next(), (Message{window, kWmClose, 0, 0})) << signal;
  }
}

TEST_F(HeadlessTest, MessagesFromOtherProcessesArriveThroughTheWindowSocket) {
  int error = -1;
  NamedMutex mutex = CreateNamedMutex(u"TestInstance", &error);
  ASSERT_EQ(error, 0);
  Window window = Create();
  ASSERT_TRUE(std::filesystem::exists(runtime.File("TESTCLASS.window")));
  UniqueFd peer = ConnectWindowSocket(u"TESTCLASS");
  ASSERT_TRUE(peer.Valid());
  ASSERT_EQ(::send(peer.Get(), "short", 5, 0), 5);  // not a message: dropped
  ASSERT_EQ(SendPostedMessage(peer.Get(), Message{Window::None, 33268, 1, 513}), 1);
  EXPECT_EQ(Next(), (Message{window, 33268, 1, 513}));
  DestroyAppWindow(window);
  EXPECT_FALSE(std::filesystem::exists(runtime.File("TESTCLASS.window")));
  CloseNamedMutex(mutex);
}

TEST_F(HeadlessTest, WithoutTheMutexNoWindowSocketIsClaimed) {
  Create();
  EXPECT_FALSE(std::filesystem::exists(runtime.File("TESTCLASS.window")));
}

intptr_t ProcThatMustNotRun(Window, uint32_t, WParam, LParam) {
  ADD_FAILURE() << "a dialog handler ran without a display";
  return 0;
}

TEST_F(HeadlessTest, DialogReturnsAtOnceAndSaysWhyNothingAppeared) {
  Window window = Create();
  const DialogTemplate* settings = FindDialogTemplate(CorvaneResources(), IDD_SETTINGS);
  ASSERT_NE(settings, nullptr);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunDialogFromTemplate(CorvaneResources(), settings, window, ProcThatMustNotRun, 0), -1);
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(said, "corvane: no display, the dialog \"Corvane 設定\" is not shown\n");
  // Nothing was queued for the window meanwhile, and no control can be reached.
  PostWindowMessage(window, kWmNull, 1, 2);
  EXPECT_EQ(Next(), (Message{window, kWmNull, 1, 2}));
  EXPECT_EQ(GetDialogItem(window, IDC_PROXY_PORT), Window::None);
  char16_t text[4] = u"old";
  EXPECT_EQ(GetDialogItemText(window, IDC_PROXY_PORT, text, 4), 0);
  EXPECT_EQ(text[0], u'\0');
}

TEST(NamedMutexTest, SecondOpenSeesTheNameTakenUntilTheOwnerCloses) {
  TempRuntimeDir runtime;
  int error = -1;
  NamedMutex first = CreateNamedMutex(u"CorvaneInstance", &error);
  ASSERT_NE(first, NamedMutex::None);
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(HoldsNamedMutex());

  NamedMutex second = CreateNamedMutex(u"CorvaneInstance", &error);
  EXPECT_EQ(error, kErrorAlreadyExists);
  EXPECT_NE(second, NamedMutex::None);
  EXPECT_EQ(ReleaseNamedMutex(second), 0);  // never owned
  CloseNamedMutex(second);

  EXPECT_EQ(ReleaseNamedMutex(first), 1);
  EXPECT_FALSE(HoldsNamedMutex());
  NamedMutex third = CreateNamedMutex(u"CorvaneInstance", &error);
  EXPECT_EQ(error, 0);
  CloseNamedMutex(third);
  CloseNamedMutex(first);
}

TEST(NamedMutexTest, UnusableNamesAndDirectoriesFailWithoutAHandle) {
  TempRuntimeDir runtime;
  for (std::u16string_view name : {u"", u"..", u"a/b"}) {
    int error = 0;
    EXPECT_EQ(CreateNamedMutex(name, &error), NamedMutex::None);
    EXPECT_NE(error, 0);
    EXPECT_NE(error, kErrorAlreadyExists);
  }
  ::setenv("XDG_RUNTIME_DIR", (runtime.Path() + "/missing").c_str(), 1);
  int error = 0;
  EXPECT_EQ(CreateNamedMutex(u"CorvaneInstance", &error), NamedMutex::None);
  EXPECT_EQ(error, ENOENT);
}

TEST(RuntimeDirTest, PrivateDirectoryIsCreatedClosedAndOthersAreRefused) {
  TempRuntimeDir scratch;
  std::string fresh = scratch.File("fresh");
  EXPECT_EQ(CheckedPrivateDirectory(fresh), 1);
  EXPECT_EQ(std::filesystem::status(fresh).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  EXPECT_EQ(CheckedPrivateDirectory(fresh), 1);  // found again as it was left

  std::string open = scratch.File("open");
  ASSERT_EQ(::mkdir(open.c_str(), 0755), 0);
  ::chmod(open.c_str(), 0755);  // whatever the umask made of it
  std::string link = scratch.File("link");
  ASSERT_EQ(::symlink(fresh.c_str(), link.c_str()), 0);
  std::string file = scratch.File("file");
  std::ofstream(file).put('x');
  for (const std::string& trap : {open, link, file}) {
    errno = 0;
    EXPECT_EQ(CheckedPrivateDirectory(trap), 0) << trap;
    EXPECT_EQ(errno, EACCES) << trap;
  }
}

TEST(RuntimeDirTest, WithoutXdgRuntimeDirAPerUserFolderUnderTmpIsUsed) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  std::string restore = saved ? saved : "";
  ::unsetenv("XDG_RUNTIME_DIR");
  std::string path;
  EXPECT_EQ(UserRuntimeDirectory(&path), 1);
  EXPECT_EQ(path, "/tmp/corvane-" + std::to_string(::getuid()));
  if (saved != nullptr) ::setenv("XDG_RUNTIME_DIR", restore.c_str(), 1);
}

TEST(WindowSocketTest, StaleSocketCountsAsNoWindowAndIsReplaced) {
  TempRuntimeDir runtime;
  EXPECT_FALSE(ConnectWindowSocket(u"CORVANE").Valid());  // no file at all
  {
    // A dead instance's socket: the file stays, nobody receives on it.
    UniqueFd dead(::socket(AF_UNIX, SOCK_DGRAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, runtime.File("CORVANE.window").c_str());
    ASSERT_EQ(::bind(dead.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ASSERT_TRUE(std::filesystem::exists(runtime.File("CORVANE.window")));
  EXPECT_FALSE(ConnectWindowSocket(u"CORVANE").Valid());

  BoundWindowSocket bound = BindWindowSocket(u"CORVANE");
  ASSERT_TRUE(bound.Valid());
  UniqueFd peer = ConnectWindowSocket(u"CORVANE");
  ASSERT_TRUE(peer.Valid());
  Message sent{Window::None, 0xFFFFFFFFu, ~WParam{0}, -123456789};
  ASSERT_EQ(SendPostedMessage(peer.Get(), sent), 1);
  Message received;
  ASSERT_EQ(ReceivePostedMessage(bound.Fd(), &received), 1);
  EXPECT_EQ(received, sent);
  EXPECT_EQ(ReceivePostedMessage(bound.Fd(), &received), 0);  // nothing more, no wait
}

}  // namespace
