// The settings and About dialog handlers against a fake dialog that records every operation,
// with the real settings record and the real store in a fresh configuration folder.
#include "shell/dialogs.h"

#include <gtest/gtest.h>

#include "core/settings.h"
#include "platform/dialog_template.h"
#include "platform/resource_table.h"
#include "resources/corvane_resources.h"
#include "shell/main_window.h"
#include "tests/shell/fake_window_system.h"
#include "tests/store/config_home.h"

namespace {

using Log = std::vector<std::string>;
constexpr Window kDialog = FakeWindowSystem::kDialog;

std::u16string TextOf(const char16_t* field) {
  return std::u16string(field);
}

void SetText(char16_t (&field)[kTextSettingUnits], std::u16string_view text) {
  std::fill(std::begin(field), std::end(field), u'\0');
  std::copy(text.begin(), text.end(), field);
}

// Only the lines of one kind, to check an order without the rest of the conversation.
Log Only(const Log& log, const std::string& prefix) {
  Log kept;
  for (const std::string& line : log) {
    if (line.rfind(prefix, 0) == 0) kept.push_back(line);
  }
  return kept;
}

class DialogTest : public SettingsFileTest {
 protected:
  void SetUp() override {
    SettingsFileTest::SetUp();
    ScreenWidth = 240;
    ScreenHeight = 320;
  }

  intptr_t Settings(uint32_t message, WParam wParam = 0) {
    return SettingsDialogProc(kDialog, message, wParam, 0);
  }
  intptr_t About(uint32_t message, WParam wParam = 0) {
    return AboutDialogProc(kDialog, message, wParam, 0);
  }
  // Opens the settings dialog over the record and forgets what opening said.
  void Open(const ProxySettings& settings) {
    ReplaceSettings(settings);
    ASSERT_EQ(Settings(kWmInitDialog), 1);
    system.log.clear();
  }
  // Types into a field of the open dialog and presses OK.
  void EnterAndOk(int id, std::u16string_view text) {
    system.controls[id].text = text;
    ASSERT_EQ(Settings(kWmCommand, kIdOk), 1);
  }

  FakeWindowSystem system;
};

TEST_F(DialogTest, DefaultsOpenCentredWithRefererAndApplyToAllCheckedAndFieldsDisabled) {
  EXPECT_EQ(Settings(kWmInitDialog), 1);
  EXPECT_EQ(system.log, (Log{"move 20 71 0 0 0 5",  // 200 x 150 on 240 x 320, size and Z kept
                             "check 1002 1", "check 1003 0", "check 1001 0", "check 1005 0",
                             "check 1007 0", "check 1013 0", "check 1010 0", "check 1012 1",
                             "text 1004", "text 1006", "text 1008", "enable 1004 0",
                             "enable 1006 0", "enable 1008 0", "enable 1012 0", "enable 1011 0"}));
  EXPECT_EQ(system.controls[IDC_PROXY_PORT].text, u"5060");
  EXPECT_EQ(system.controls[IDC_UA_NAME].text, u"");
  EXPECT_EQ(system.controls[IDC_QUOTE_MARKS_ONLY].check, 0u);  // never touched
  EXPECT_FALSE(system.dialogEnded);
}

TEST_F(DialogTest, OpeningShowsStoredValuesUnchanged) {
  ProxySettings stored;
  stored.SendReferer = 2;  // a flag the dialog never wrote: handed on as it is
  stored.ChangeUA = 1;
  stored.UseProxy = 1;
  stored.SpaceConvert = 1;
  stored.SpaceConvertAll = 0;
  stored.ProxyPort = 2147483647;  // more than the 7 characters OK reads: still shown whole
  SetText(stored.UAName, u"エージェント/1.0");
  SetText(stored.ProxyName, u"proxy.example");
  ReplaceSettings(stored);
  Settings(kWmInitDialog);
  EXPECT_EQ(system.controls[IDC_SEND_REFERER].check, 2u);
  EXPECT_EQ(system.controls[IDC_QUOTE_MARKS_ONLY].check, 1u);
  EXPECT_EQ(system.controls[IDC_CONVERT_ALL].check, 0u);
  EXPECT_EQ(system.controls[IDC_PROXY_PORT].text, u"2147483647");
  EXPECT_EQ(system.controls[IDC_UA_NAME].text, u"エージェント/1.0");
  EXPECT_EQ(system.controls[IDC_PROXY_NAME].text, u"proxy.example");
  EXPECT_EQ(Only(system.log, "enable"), (Log{"enable 1004 1", "enable 1006 1", "enable 1008 1",
                                             "enable 1012 1", "enable 1011 1"}));
}

TEST_F(DialogTest, NegativePortsAreShownWithTheirSign) {
  for (int32_t port : {-1, -2147483647 - 1}) {
    ProxySettings stored;
    stored.ProxyPort = port;
    ReplaceSettings(stored);
    Settings(kWmInitDialog);
    EXPECT_EQ(system.controls[IDC_PROXY_PORT].text, port == -1 ? u"-1" : u"-2147483648");
  }
}

TEST_F(DialogTest, DialogWithoutRectangleOpensWhereItIs) {
  system.dialogHasRect = false;
  EXPECT_EQ(Settings(kWmInitDialog), 1);
  EXPECT_TRUE(Only(system.log, "move").empty());
  EXPECT_EQ(About(kWmInitDialog), 1);
  EXPECT_TRUE(Only(system.log, "move").empty());
}

TEST_F(DialogTest, EachBoxEnablesItsFieldsAndClearingKeepsTheirTexts) {
  struct Rule {
    uint16_t box;
    Log whenChecked;
    Log whenCleared;
  };
  const Rule rules[] = {
      {IDC_CHANGE_UA, {"enable 1004 1"}, {"enable 1004 0"}},
      {IDC_USE_PROXY, {"enable 1006 1", "enable 1008 1"}, {"enable 1006 0", "enable 1008 0"}},
      {IDC_SPACE_CONVERT, {"enable 1012 1", "enable 1011 1"}, {"enable 1012 0", "enable 1011 0"}},
  };
  Open(ProxySettings{});
  system.controls[IDC_PROXY_NAME].text = u"kept.example";
  for (const Rule& rule : rules) {
    SCOPED_TRACE(rule.box);
    // The box has changed its state before its command arrives; the notification code in the
    // high word makes no difference.
    system.controls[rule.box].check = kBstChecked;
    system.log.clear();
    EXPECT_EQ(Settings(kWmCommand, rule.box | (WParam{kBnClicked} << 16)), 0);
    EXPECT_EQ(Only(system.log, "enable"), rule.whenChecked);
    system.controls[rule.box].check = kBstUnchecked;
    system.log.clear();
    EXPECT_EQ(Settings(kWmCommand, rule.box | (WParam{0x1234} << 16)), 0);
    EXPECT_EQ(Only(system.log, "enable"), rule.whenCleared);
  }
  EXPECT_EQ(system.controls[IDC_PROXY_NAME].text, u"kept.example");
  EXPECT_FALSE(system.dialogEnded);
}

TEST_F(DialogTest, OtherCommandsAndMessagesDoNothing) {
  Open(ProxySettings{});
  for (WParam command : {WParam{IDC_SEND_REFERER}, WParam{IDC_CONVERT_ALL}, WParam{IDC_UA_NAME},
                         WParam{IDM_SETTINGS}, WParam{0}}) {
    EXPECT_EQ(Settings(kWmCommand, command), 0);
  }
  EXPECT_EQ(Settings(kWmClose), 0);
  EXPECT_EQ(Settings(kWmLButtonDown, kIdOk), 0);
  EXPECT_EQ(system.log, Log{});
}

TEST_F(DialogTest, OkReadsEveryControlInOrderThenSavesAndEnds) {
  Open(ProxySettings{});
  EXPECT_EQ(Settings(kWmCommand, kIdOk), 1);
  EXPECT_EQ(system.log,
            (Log{"read check 1002", "read check 1001", "read check 1003", "read check 1005",
                 "read check 1007", "read check 1013", "read check 1010", "read check 1012",
                 "read text 1004 128", "read text 1006 128", "read text 1008 8", "end 1"}));
  EXPECT_EQ(system.dialogResult, 1);
  // Opened on the defaults and confirmed at once: the same eleven values, now all stored.
  EXPECT_EQ(ReadFile(), std::string(kSettingsKeyLine) + kDefaultSettingsValues);
}

TEST_F(DialogTest, OkStoresWhatDisabledControlsHoldAndFlagsAsZeroOrOne) {
  Open(ProxySettings{});
  // Every box is cleared or checked, the fields stay disabled and still hold texts.
  system.controls[IDC_SEND_REFERER].check = kBstUnchecked;
  system.controls[IDC_SEND_MACHINE].check = kBstChecked;
  system.controls[IDC_READ_YAHOO_MAIL].check = kBstChecked;
  system.controls[IDC_URL_CONVERT].check = 2;  // not kBstChecked: off
  system.controls[IDC_CONVERT_ALL].check = kBstUnchecked;
  system.controls[IDC_QUOTE_MARKS_ONLY].check = kBstChecked;
  system.controls[IDC_UA_NAME].text = u"Agent/2";
  system.controls[IDC_PROXY_NAME].text = u"10.0.0.1";
  EnterAndOk(IDC_PROXY_PORT, u"3128");
  ProxySettings saved = CurrentSettings();
  EXPECT_EQ(saved.SendReferer, 0);
  EXPECT_EQ(saved.SendMachine, 1);
  EXPECT_EQ(saved.ReadYahooMail, 1);
  EXPECT_EQ(saved.URLConvert, 0);
  EXPECT_EQ(saved.ChangeUA, 0);
  EXPECT_EQ(saved.UseProxy, 0);
  EXPECT_EQ(saved.SpaceConvertAll, 0);
  EXPECT_EQ(TextOf(saved.UAName), u"Agent/2");
  EXPECT_EQ(TextOf(saved.ProxyName), u"10.0.0.1");
  EXPECT_EQ(saved.ProxyPort, 3128);
  std::string file = ReadFile();
  EXPECT_NE(file.find("\"UAName\"=\"Agent/2\"\n"), std::string::npos);
  EXPECT_NE(file.find("\"ProxyPort\"=dword:00000c38\n"), std::string::npos);
  EXPECT_NE(file.find("\"ReadYahooMail\"=dword:00000001\n"), std::string::npos);
}

TEST_F(DialogTest, PortIsReadAsTheStandardConversionOfItsFirstSevenCharacters) {
  const struct {
    std::u16string_view entered;
    int32_t stored;
  } cases[] = {
      {u"80x", 80},   {u"", 0},   {u"-1", -1},  {u"9999999", 9999999}, {u"12345678", 1234567},
      {u" \t42", 42}, {u"+7", 7}, {u"port", 0}, {u"- 5", 0},           {u"-9999999", -999999},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.entered.begin(), c.entered.end()));
    Open(ProxySettings{});
    EnterAndOk(IDC_PROXY_PORT, c.entered);
    EXPECT_EQ(CurrentSettings().ProxyPort, c.stored);
  }
}

TEST_F(DialogTest, LongTextsKeepTheirFirst127Units) {
  Open(ProxySettings{});
  system.controls[IDC_UA_NAME].text = std::u16string(200, u'a');
  EnterAndOk(IDC_PROXY_NAME, std::u16string(127, u'h') + u"cut");
  ProxySettings saved = CurrentSettings();
  EXPECT_EQ(TextOf(saved.UAName), std::u16string(127, u'a'));
  EXPECT_EQ(TextOf(saved.ProxyName), std::u16string(127, u'h'));
  EXPECT_NE(ReadFile().find("\"UAName\"=\"" + std::string(127, 'a') + "\"\n"), std::string::npos);
}

TEST_F(DialogTest, CancelReadsNothingAndLeavesRecordAndStoreAlone) {
  ProxySettings before;
  before.ProxyPort = 70000;
  SetText(before.UAName, u"before");
  Open(before);
  system.controls[IDC_SEND_REFERER].check = kBstUnchecked;
  system.controls[IDC_UA_NAME].text = u"typed but cancelled";
  EXPECT_EQ(Settings(kWmCommand, kIdCancel), 1);
  EXPECT_EQ(system.log, Log{"end 2"});
  ProxySettings after = CurrentSettings();
  EXPECT_EQ(after.SendReferer, 1);
  EXPECT_EQ(after.ProxyPort, 70000);
  EXPECT_EQ(TextOf(after.UAName), u"before");
  EXPECT_FALSE(std::filesystem::exists(FilePath()));
}

TEST_F(DialogTest, ButtonHelpersSendTheButtonMessages) {
  system.controls[IDC_USE_PROXY].check = kBstChecked;
  system.controls[IDC_CHANGE_UA].check = 2;
  EXPECT_EQ(IsButtonChecked(kDialog, IDC_USE_PROXY), 1);
  EXPECT_EQ(IsButtonChecked(kDialog, IDC_CHANGE_UA), 0);  // only kBstChecked is checked
  EXPECT_EQ(IsButtonChecked(kDialog, IDC_SEND_MACHINE), 0);
  SetButtonCheck(kDialog, IDC_SEND_MACHINE, 7);
  EXPECT_EQ(system.controls[IDC_SEND_MACHINE].check, 7u);
}

TEST_F(DialogTest, CenterOnScreenKeepsTheBottomBarFreeAndNeverGoesOffTheTopLeft) {
  const struct {
    WindowRect rect;
    int32_t x;
    int32_t y;
  } cases[] = {
      {{0, 0, 200, 150}, 20, 71},   {{0, 0, 201, 150}, 19, 71},  // (240 - 201) / 2 truncates
      {{30, 40, 230, 190}, 20, 71},  // only the size counts, not where it stands now
      {{0, 0, 241, 150}, 0, 71},     // -1 / 2 truncates toward zero
      {{0, 0, 300, 150}, 0, 71},     // wider than the screen
      {{0, 0, 200, 292}, 20, 0},     // exactly the height less the bar
      {{0, 0, 200, 400}, 20, 0},     // taller than that
      {{0, 0, 200, 291}, 20, 0},     // 1 / 2
      {{0, 0, 200, 289}, 20, 1},
  };
  for (const auto& c : cases) {
    system.dialogRect = c.rect;
    ScreenPoint position{-5, -5};
    EXPECT_EQ(CenterOnScreen(kDialog, &position), 1);
    EXPECT_EQ(position.x, c.x) << c.rect.right << "x" << c.rect.bottom;
    EXPECT_EQ(position.y, c.y) << c.rect.right << "x" << c.rect.bottom;
  }
  system.dialogHasRect = false;
  ScreenPoint position{-5, -5};
  EXPECT_EQ(CenterOnScreen(kDialog, &position), 0);
  EXPECT_EQ(position.x, 0);
  EXPECT_EQ(position.y, 0);
}

TEST_F(DialogTest, AboutEndsOnOkOrEscapeOnly) {
  EXPECT_EQ(About(kWmInitDialog), 1);
  EXPECT_EQ(system.log, Log{"move 20 71 0 0 0 5"});
  for (WParam command : {WParam{3}, WParam{IDC_SEND_REFERER}, WParam{IDM_ABOUT}})
    EXPECT_EQ(About(kWmCommand, command), 0);
  EXPECT_EQ(About(kWmClose), 0);
  EXPECT_FALSE(system.dialogEnded);
  for (uint16_t command : {kIdOk, kIdCancel}) {
    system.dialogEnded = false;
    EXPECT_EQ(About(kWmCommand, command | (WParam{1} << 16)), 1);
    EXPECT_TRUE(system.dialogEnded);
    EXPECT_EQ(system.dialogResult, command);
  }
  EXPECT_EQ(CurrentSettings().SendReferer, 1);
  EXPECT_FALSE(std::filesystem::exists(FilePath()));
}

TEST_F(DialogTest, TheProgramsMenuCommandsReachTheirTemplates) {
  AppInstance = CorvaneResources();
  std::copy_n(u"CORVANE", 8, MainClassName);
  ASSERT_EQ(CreateMainWindow(CorvaneResources(), 5), 1);
  system.log.clear();
  Deliver(kWmCommand, IDM_SETTINGS, 0);
  Deliver(kWmCommand, IDM_ABOUT, 0);
  EXPECT_EQ(Only(system.log, "dialog"), (Log{"dialog settings template 0", "dialog settings ended",
                                             "dialog about template 0", "dialog about ended"}));
  EXPECT_EQ(FindDialogTemplate(CorvaneResources(), IDD_SETTINGS)->items.size(), 16u);
  EXPECT_EQ(FindDialogTemplate(CorvaneResources(), IDD_ABOUT)->items.size(), 3u);
}

// The templates' style words, as the numbers a native template carries.
TEST(DialogTemplateTest, StylesAreTheNativeNumbers) {
  const DialogTemplate* settings = FindDialogTemplate(CorvaneResources(), IDD_SETTINGS);
  const DialogTemplate* about = FindDialogTemplate(CorvaneResources(), IDD_ABOUT);
  ASSERT_NE(settings, nullptr);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(settings->style, 0x80C800C0u);
  EXPECT_EQ(settings->exStyle, 0u);
  EXPECT_EQ(about->style, 0x80C800C0u);
  EXPECT_EQ(about->exStyle, 0x80000000u);
  const uint32_t settingsStyles[] = {
      0x50010001, 0x50010000, 0x50010003, 0x50010003, 0x50010003, 0x50010003,
      0x50010003, 0x58810080, 0x58810080, 0x58810080, 0x50020002, 0x50020001,
      0x50000009, 0x50000009, 0x50010003, 0x58010003,
  };
  ASSERT_EQ(settings->items.size(), std::size(settingsStyles));
  for (size_t i = 0; i < std::size(settingsStyles); ++i)
    EXPECT_EQ(settings->items[i].style, settingsStyles[i]) << "control " << i + 1;
  const uint32_t aboutStyles[] = {0x50000003, 0x50020080, 0x50020000};
  ASSERT_EQ(about->items.size(), std::size(aboutStyles));
  for (size_t i = 0; i < std::size(aboutStyles); ++i) {
    EXPECT_EQ(about->items[i].style, aboutStyles[i]) << "control " << i + 1;
    EXPECT_EQ(about->items[i].id, kIdStatic);
  }
  EXPECT_EQ(about->items[0].image, IDI_CORVANE);
}

// Where title bars hold no OK, the template that asks for one gets an OK button of its own, clear
// of every control and inside the dialog; a template that does not ask stands as it is.
TEST(DialogTemplateTest, ACaptionOkBecomesADefaultOkButtonBelowEveryControl) {
  const DialogTemplate* about = FindDialogTemplate(CorvaneResources(), IDD_ABOUT);
  ASSERT_NE(about, nullptr);
  DialogWithOkButton shown(*about);
  const DialogTemplate& built = shown.Template();
  EXPECT_EQ(built.exStyle & kWsExCaptionOkButton, 0u);
  ASSERT_EQ(built.items.size(), about->items.size() + 1);
  const DialogItemTemplate& ok = built.items.back();
  EXPECT_EQ(ok.id, kIdOk);
  EXPECT_EQ(ok.controlClass, ControlClass::Button);
  EXPECT_EQ(ok.style, kWsChild | kWsVisible | kWsTabStop | kBsDefPushButton);
  EXPECT_EQ(built.width, about->width);
  EXPECT_GT(ok.x, 0);
  EXPECT_LE(ok.x + ok.width, built.width);
  EXPECT_LE(ok.y + ok.height, built.height);
  for (const DialogItemTemplate& item : about->items)
    EXPECT_GT(ok.y, item.y + item.height) << "control at " << item.x << "," << item.y;

  const DialogTemplate* settings = FindDialogTemplate(CorvaneResources(), IDD_SETTINGS);
  DialogWithOkButton plain(*settings);
  EXPECT_EQ(plain.Template().items.data(), settings->items.data());
  EXPECT_EQ(plain.Template().height, settings->height);
}

}  // namespace
