// The main window's handler, message by message, against a window system that only records.
#include <gtest/gtest.h>

#include <thread>

#include "platform/message_box.h"
#include "platform/resource_table.h"
#include "resources/corvane_resources.h"
#include "shell/dialogs.h"
#include "shell/main_window.h"
#include "shell/notices.h"
#include "shell/tray_icon.h"
#include "shell/tray_menu.h"
#include "tests/shell/fake_window_system.h"

namespace {

using Log = std::vector<std::string>;

// Stand-ins for the two dialog templates: only their addresses are ever looked at.
const int kAboutTemplate = 0;
const int kSettingsTemplate = 0;
const DialogResource kDialogs[] = {
    {IDD_ABOUT, reinterpret_cast<const DialogTemplate*>(&kAboutTemplate)},
    {IDD_SETTINGS, reinterpret_cast<const DialogTemplate*>(&kSettingsTemplate)},
};

// The program's resources with the dialog templates it will have.
ResourceTable WithDialogs() {
  ResourceTable table = *CorvaneResources();
  table.dialogs = kDialogs;
  return table;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SettingsDialogOpen = 0;
    AboutDialogOpen = 0;
    std::copy_n(u"CORVANE", 8, MainClassName);
  }

  // Creates the window and forgets what creation said, for tests of later messages.
  void Create() {
    ASSERT_EQ(CreateMainWindow(&resources, 5), 1);
    system.log.clear();
  }

  ResourceTable resources = WithDialogs();
  FakeWindowSystem system;
};

TEST_F(MainWindowTest, CreationAddsIconTakesScreenLoadsSettingsThenStartsProxy) {
  EXPECT_EQ(CreateMainWindow(&resources, 5), 1);
  EXPECT_EQ(system.log,
            (Log{"register class", "create 0 0 0 0 0", "tray add", "metric 0", "metric 1",
                 "load settings", "start proxy", "tray tip", "show 0", "update"}));
  EXPECT_EQ(AppInstance, &resources);
  EXPECT_EQ(ScreenWidth, 240);
  EXPECT_EQ(ScreenHeight, 320);
}

TEST_F(MainWindowTest, ClassAndIconRecordCarryTheirFixedValues) {
  Create();
  EXPECT_EQ(system.registered.style, 3u);
  EXPECT_EQ(system.registered.proc, MainWindowProc);
  EXPECT_EQ(system.registered.icon, LoadIconImage(&resources, IDI_CORVANE, kImageIcon, 32, 32, 0));
  EXPECT_NE(system.registered.background, StockObject::None);
  EXPECT_EQ(std::u16string_view(system.registered.className), u"CORVANE");

  const NotifyIconData& icon = system.trayData;
  EXPECT_EQ(icon.window, FakeWindowSystem::kWindow);
  EXPECT_EQ(icon.id, 1u);
  EXPECT_EQ(icon.flags, 7u);  // message, icon and tip
  EXPECT_EQ(icon.callbackMessage, 33268u);
  EXPECT_EQ(icon.icon, LoadIconImage(&resources, IDI_CORVANE, kImageIcon, 16, 16, 0));
  EXPECT_NE(icon.icon, nullptr);
  EXPECT_EQ(std::u16string_view(icon.tip), u"Corvane");
}

TEST_F(MainWindowTest, FailedStartClosesTheWindow) {
  FakeStartResult = 0;
  EXPECT_EQ(CreateMainWindow(&resources, 5), 0);
  EXPECT_EQ(system.log, (Log{"register class", "create 0 0 0 0 0", "tray add", "metric 0",
                             "metric 1", "load settings", "start proxy", "send 16 0 0", "destroy",
                             "tray delete", "stop proxy", "quit 0"}));
}

TEST_F(MainWindowTest, ExitRemovesIconBeforeStoppingProxyThenQuits) {
  Create();
  // Where the command came from (the high word) makes no difference.
  EXPECT_EQ(Deliver(kWmCommand, (1u << 16) | IDM_EXIT, 0), 0);
  EXPECT_EQ(system.log, (Log{"send 16 0 0", "destroy", "tray delete", "stop proxy", "quit 0"}));
  EXPECT_EQ(system.trayData.id, 1u);  // deleted with the record as it was added
}

TEST_F(MainWindowTest, CloseRequestDestroysTheWindow) {
  Create();
  EXPECT_EQ(Deliver(kWmClose, 0, 0), 0);
  EXPECT_EQ(system.log, (Log{"destroy", "tray delete", "stop proxy", "quit 0"}));
}

TEST_F(MainWindowTest, TapAndRightClickOpenMenuAtBottomRightAnchor) {
  Create();
  for (LParam event : {kWmLButtonDown, kWmRButtonUp}) {
    system.log.clear();
    EXPECT_EQ(Deliver(TrayNotifyMessage, 1, event), 0);
    EXPECT_EQ(system.log, (Log{"foreground", "track 176 292 32", "post 0 0 0"}));
    Menu expected = MenuSubmenu(LoadMenuResource(&resources, IDR_TRAY_MENU), 0);
    EXPECT_EQ(system.trackedMenu, expected);
  }
}

// A worker's notice waits for the main window, which shows it as the icon's notification, or
// in an error box where the notification area shows none; notices stop with the window.
std::vector<std::u16string> boxes;

int RecordBox(std::u16string_view text, std::u16string_view caption, uint32_t style) {
  boxes.push_back(std::u16string(caption) +
                  (style == (kMbOk | kMbIconError) ? u"|error|" : u"|?|") + std::u16string(text));
  return kIdOk;
}

TEST_F(MainWindowTest, NoticesAreShownByTheMainWindowAndInABoxWithoutATray) {
  Create();
  boxes.clear();
  SetMessageBoxHandlers(nullptr, RecordBox);
  std::thread([] { ShowNotice(u"ERROR(111): connect to server\nexample:9"); }).join();
  EXPECT_EQ(system.log, (Log{"post 33269 0 0"}));
  EXPECT_EQ(Deliver(NoticeMessage, 0, 0), 0);
  system.showsNotices = false;
  ShowNotice(u"second");
  ShowNotice(u"third");
  Deliver(NoticeMessage, 0, 0);
  EXPECT_EQ(system.notices,
            (std::vector<std::u16string>{u"Corvane|ERROR(111): connect to server\nexample:9",
                                         u"Corvane|second", u"Corvane|third"}));
  EXPECT_EQ(boxes, (std::vector<std::u16string>{u"Corvane|error|second", u"Corvane|error|third"}));
  system.log.clear();
  Deliver(kWmClose, 0, 0);
  ShowNotice(u"after the end");
  EXPECT_EQ(system.log, (Log{"destroy", "tray delete", "stop proxy", "quit 0"}));
  SetMessageBoxHandler(nullptr);
}

TEST_F(MainWindowTest, ScreenSizeIsTakenOnceOnCreation) {
  Create();
  system.screenWidth = 800;
  system.screenHeight = 600;
  Deliver(TrayNotifyMessage, 1, kWmLButtonDown);
  EXPECT_EQ(system.log[1], "track 176 292 32");
}

TEST_F(MainWindowTest, DoubleTapPostsTheSettingsCommand) {
  Create();
  EXPECT_EQ(Deliver(TrayNotifyMessage, 1, kWmLButtonDblClk), 0);
  EXPECT_EQ(system.log, (Log{"post 273 40004 0"}));
}

TEST_F(MainWindowTest, OtherTrayEventsAndOtherIconsAreIgnored) {
  Create();
  const struct {
    WParam id;
    LParam event;
  } ignored[] = {{1, kWmLButtonUp},   {1, kWmRButtonDown},   {1, kWmMButtonDown}, {1, 0},
                 {2, kWmLButtonDown}, {0, kWmLButtonDblClk}, {2, kWmRButtonUp}};
  for (const auto& tray : ignored) {
    EXPECT_EQ(Deliver(TrayNotifyMessage, tray.id, tray.event), 0) << tray.id << " " << tray.event;
  }
  EXPECT_EQ(system.log, Log{});
}

TEST_F(MainWindowTest, AcceleratorCommandsAndUnknownMessagesGoToDefaultHandling) {
  Create();
  EXPECT_EQ(Deliver(kWmCommand, (1u << 16) | 40002, 5), FakeWindowSystem::kDefaultResult);
  EXPECT_EQ(Deliver(kWmCommand, 40003, 0), FakeWindowSystem::kDefaultResult);
  EXPECT_EQ(Deliver(0x0400, 9, -3), FakeWindowSystem::kDefaultResult);
  EXPECT_EQ(system.log, (Log{"default 273 105538 5", "default 273 40003 0", "default 1024 9 -3"}));
}

TEST_F(MainWindowTest, SettingsGuardKeepsASecondSettingsDialogShut) {
  Create();
  system.duringDialog = [&](DialogProc proc) {
    if (proc != SettingsDialogProc) return;
    EXPECT_EQ(SettingsDialogOpen, 1);
    EXPECT_EQ(Deliver(kWmCommand, IDM_SETTINGS, 0), 0);             // the menu again
    EXPECT_EQ(Deliver(TrayNotifyMessage, 1, kWmLButtonDblClk), 0);  // posts, guard decides later
  };
  EXPECT_EQ(Deliver(kWmCommand, IDM_SETTINGS, 0), 0);
  EXPECT_EQ(system.log, (Log{"dialog settings template 0", "post 273 40004 0",
                             "dialog settings ended", "tray tip"}));
  EXPECT_EQ(SettingsDialogOpen, 0);
}

TEST_F(MainWindowTest, GuardsAreIndependentOfEachOther) {
  Create();
  system.duringDialog = [&](DialogProc proc) {
    if (proc == AboutDialogProc) {
      Deliver(kWmCommand, IDM_SETTINGS, 0);  // opens over the About dialog
      Deliver(kWmCommand, IDM_ABOUT, 0);     // already open
    }
  };
  Deliver(kWmCommand, IDM_ABOUT, 0);
  EXPECT_EQ(system.log, (Log{"dialog about template 0", "dialog settings template 0",
                             "dialog settings ended", "tray tip", "dialog about ended"}));
  EXPECT_EQ(AboutDialogOpen, 0);
  EXPECT_EQ(SettingsDialogOpen, 0);
}

TEST_F(MainWindowTest, MissingTemplateStillClearsTheGuard) {
  resources.dialogs = {};
  Create();
  Deliver(kWmCommand, IDM_SETTINGS, 0);
  Deliver(kWmCommand, IDM_SETTINGS, 0);
  EXPECT_EQ(system.log, (Log{"dialog settings missing 0", "dialog settings ended", "tray tip",
                             "dialog settings missing 0", "dialog settings ended", "tray tip"}));
}

TEST_F(MainWindowTest, ExitFromInsideTheMenuHasNoGuard) {
  Create();
  system.duringMenu = [] { Deliver(kWmCommand, IDM_EXIT, 0); };
  Deliver(TrayNotifyMessage, 1, kWmLButtonDown);
  EXPECT_EQ(system.log, (Log{"foreground", "track 176 292 32", "send 16 0 0", "destroy",
                             "tray delete", "stop proxy", "quit 0", "post 0 0 0"}));
}

TEST_F(MainWindowTest, NoMenuOrNoSubmenuShowsNothing) {
  const MenuResource noSubmenu[] = {{IDR_TRAY_MENU, {}}};
  for (std::span<const MenuResource> menus : {std::span<const MenuResource>(), {noSubmenu}}) {
    resources.menus = menus;
    Create();
    Deliver(TrayNotifyMessage, 1, kWmLButtonDown);
    EXPECT_EQ(system.log, Log{});
  }
}

}  // namespace
