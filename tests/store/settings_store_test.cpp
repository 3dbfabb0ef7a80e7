// Loading and saving the eleven settings, first run included, against the per-user file.
#include "store/settings_store.h"

#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "core/settings.h"
#include "platform/registry.h"
#include "platform/text_convert.h"
#include "tests/store/config_home.h"

namespace {

std::u16string_view Text(std::span<const char16_t> field) {
  return {field.data(), WideLength(field)};
}

// The record as the proxy sees it: texts up to their terminator.
auto Fields(const ProxySettings& s) {
  return std::tuple(s.SendReferer, s.ChangeUA, Text(s.UAName), s.SendMachine, s.SpaceConvert,
                    s.SpaceConvertAll, s.URLConvert, s.ReadYahooMail, s.UseProxy, Text(s.ProxyName),
                    s.ProxyPort, s.InspectHttps, Text(s.InspectBypass), Text(s.ListenAddress),
                    s.ListenPort, Text(s.AllowedClients));
}

bool Same(const ProxySettings& a, const ProxySettings& b) {
  return Fields(a) == Fields(b);
}

void SetText(std::span<char16_t> field, std::u16string_view text) {
  std::fill(field.begin(), field.end(), u'\0');
  std::copy(text.begin(), text.end(), field.begin());
}

// Every field away from its default, so a load that skips a value shows.
ProxySettings Scrambled() {
  ProxySettings s;
  for (int32_t* flag :
       {&s.SendReferer, &s.ChangeUA, &s.SendMachine, &s.SpaceConvert, &s.SpaceConvertAll,
        &s.URLConvert, &s.ReadYahooMail, &s.UseProxy, &s.ProxyPort, &s.InspectHttps})
    *flag = 77;
  SetText(s.UAName, u"previous agent");
  SetText(s.ProxyName, u"previous.proxy");
  SetText(s.InspectBypass, u"previous.bank");
  return s;
}

class SettingsStoreTest : public SettingsFileTest {
 protected:
  // Writes the file with the given value lines and loads it over `before`.
  ProxySettings LoadOver(const std::string& values, const ProxySettings& before) {
    WriteFile(kSettingsKeyLine + values);
    ReplaceSettings(before);
    LoadSettings();
    return CurrentSettings();
  }
};

TEST_F(SettingsStoreTest, FirstStartWritesTheDefaultsAndASecondStartReadsThemBack) {
  LoadSettings();
  EXPECT_EQ(ReadFile(), std::string(kSettingsKeyLine) + kDefaultSettingsValues);
  EXPECT_TRUE(Same(CurrentSettings(), ProxySettings{}));

  ReplaceSettings(Scrambled());
  LoadSettings();
  EXPECT_TRUE(Same(CurrentSettings(), ProxySettings{}));
  EXPECT_EQ(ReadFile(), std::string(kSettingsKeyLine) + kDefaultSettingsValues);
}

TEST_F(SettingsStoreTest, AKeyWithNoValuesKeepsTheDefaultsAndWritesNothing) {
  EXPECT_TRUE(Same(LoadOver("", ProxySettings{}), ProxySettings{}));
  EXPECT_EQ(ReadFile(), kSettingsKeyLine);
}

TEST_F(SettingsStoreTest, ARemovedProxyPortComesBackOnlyWithTheNextSave) {
  std::string values = kDefaultSettingsValues;
  const std::string portLine = "\"ProxyPort\"=dword:000013c4\n";
  values.erase(values.find(portLine), portLine.size());
  values.replace(values.find("\"UseProxy\"=dword:00000000"), 25, "\"UseProxy\"=dword:00000001");
  ProxySettings loaded = LoadOver(values, ProxySettings{});
  EXPECT_EQ(loaded.ProxyPort, 5060);
  EXPECT_EQ(loaded.UseProxy, 1);
  EXPECT_EQ(ReadFile(), kSettingsKeyLine + values);
  SaveSettings();
  EXPECT_EQ(ReadFile(), kSettingsKeyLine + values + portLine);
}

TEST_F(SettingsStoreTest, SavedSettingsLoadBackUnchanged) {
  ProxySettings saved;
  std::u16string longest(125, u'a');
  longest += u"\U0001F600";  // a surrogate pair fills the last two units
  SetText(saved.UAName, longest);
  saved.SendMachine = 2;
  saved.ProxyPort = 70000;
  saved.SpaceConvertAll = 0;
  SetText(saved.ListenAddress, u"*");
  saved.ListenPort = 3128;
  SetText(saved.AllowedClients, u"192.0.2.0/24; 2001:db8::7");
  ReplaceSettings(saved);
  SaveSettings();

  RegistryKey key = 0;
  RegistryCreateKey(kRegistryCurrentUser, u"Software\\Lumet\\Corvane", u"", 0, 0, nullptr, &key,
                    nullptr);
  uint32_t type = 0;
  uint32_t size = 0;
  EXPECT_EQ(RegistryReadValue(key, u"UAName", &type, {}, &size), kRegistryMoreData);
  EXPECT_EQ(type, kRegistryText);
  EXPECT_EQ(size, 256u);
  EXPECT_EQ(RegistryReadValue(key, u"ProxyName", &type, {}, &size), kRegistryMoreData);
  EXPECT_EQ(size, 2u);
  RegistryCloseKey(key);

  ReplaceSettings(Scrambled());
  LoadSettings();
  EXPECT_TRUE(Same(CurrentSettings(), saved));
}

TEST_F(SettingsStoreTest, ANumberFieldTakesAtMostFourBytesOfWhateverIsStored) {
  struct Row {
    const char* line;
    int32_t expectedPort;
  } rows[] = {
      {"\"ProxyPort\"=\"abc\"\n", 5060},                // 8 bytes: refused
      {"\"ProxyPort\"=\"a\"\n", 0x61},                  // 4 bytes land as they are
      {"\"ProxyPort\"=hex(4):01,00\n", 0x0001},         // 2 bytes land in the low half
      {"\"ProxyPort\"=hex(4):01,00,00,00,02\n", 5060},  // 5 bytes: refused
      {"\"ProxyPort\"=hex(b):70,11,01,00\n", 70000},    // the type is not checked
  };
  for (const Row& row : rows) {
    ProxySettings expected;
    expected.ProxyPort = row.expectedPort;
    EXPECT_TRUE(Same(LoadOver(row.line, ProxySettings{}), expected)) << row.line;
  }
}

TEST_F(SettingsStoreTest, ATextFieldIsAlwaysTerminatedWithinItsUnits) {
  std::string full = "\"UAName\"=hex(1):41,00";
  for (int i = 1; i < kTextSettingUnits; ++i)
    full += ",41,00";  // 128 units, no terminator
  struct Row {
    std::string line;
    std::u16string expected;
  } rows[] = {
      {full + "\n", std::u16string(127, u'A')},
      {full + ",00,00\n", u"previous agent"},  // 258 bytes: refused
      {"\"UAName\"=hex(1):42,00,43,00\n", u"BC"},
      {"\"UAName\"=dword:00000044\n", u"D"},
      {"\"UAName\"=\"\"\n", u""},
  };
  for (const Row& row : rows) {
    ProxySettings loaded = LoadOver(row.line, Scrambled());
    EXPECT_EQ(Text(loaded.UAName), row.expected) << row.line;
    EXPECT_EQ(loaded.ProxyName[kTextSettingUnits - 1], 0) << row.line;
  }
}

TEST_F(SettingsStoreTest, ADamagedFileNeverStopsTheStartAndItsOtherLinesSurviveASave) {
  const std::string kept =
      "\"Unknown\"=hex(7):61,00,00,00,00,00\n"
      "!!! not a value\n";
  const std::string other = "\n[HKEY_CURRENT_USER\\Software\\Lumet\\Corvane\\Old]\n\"A\"=\"b\"\n";
  ProxySettings loaded = LoadOver(kept +
                                      "\"SendReferer\"=dword:0000\n"
                                      "\"ChangeUA\"=hex(4):zz,00,00,00\n"
                                      "\"UseProxy\"=dword:00000001\n"
                                      "\"ProxyName\"=\"proxy.example\"\n"
                                      "\"ProxyPort\"=hex(4):50,00,\\" +
                                      other + "\"ProxyPort\"=dword:00000050",
                                  ProxySettings{});
  ProxySettings expected;
  expected.UseProxy = 1;
  SetText(expected.ProxyName, u"proxy.example");
  EXPECT_TRUE(Same(loaded, expected));

  SaveSettings();
  std::string text = ReadFile();
  EXPECT_EQ(text.find(kSettingsKeyLine + kept), 0u);
  EXPECT_NE(text.find("\"SendReferer\"=dword:00000001\n"), std::string::npos);
  EXPECT_NE(text.find("\"ProxyPort\"=dword:000013c4\n"), std::string::npos);
  EXPECT_TRUE(text.ends_with(other.substr(1) + "\"ProxyPort\"=dword:00000050\n"));
  ReplaceSettings(ProxySettings{});
  LoadSettings();
  EXPECT_TRUE(Same(CurrentSettings(), expected));
}

TEST_F(SettingsStoreTest, AStoreThatCannotBeOpenedChangesNothing) {
  std::filesystem::create_directories(FilePath());  // a folder where the file belongs
  ReplaceSettings(Scrambled());
  LoadSettings();
  SaveSettings();
  EXPECT_TRUE(Same(CurrentSettings(), Scrambled()));
  EXPECT_TRUE(std::filesystem::is_empty(FilePath()));
}

TEST_F(SettingsStoreTest, AnInterruptedSaveKeepsTheOldFileAndTheNewSettingsInMemory) {
  LoadSettings();
  ReplaceSettings(Scrambled());
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 64;  // the new file fails part way, as on a full disk
  auto previous = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  SaveSettings();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(ReadFile(), std::string(kSettingsKeyLine) + kDefaultSettingsValues);
  auto files = std::filesystem::directory_iterator(FolderPath());
  EXPECT_EQ(std::distance(begin(files), end(files)), 1);  // no half-written file left beside
  EXPECT_TRUE(Same(CurrentSettings(), Scrambled()));
}

// Workers read the record while the start loads it: each copy they take must be wholly the
// defaults or wholly the stored settings.
TEST_F(SettingsStoreTest, WorkersSeeTheDefaultsOrTheLoadedSettingsNeverAMix) {
  constexpr int kStarts = 200;  // enough loads for the readers to land inside one
  ReplaceSettings(Scrambled());
  SaveSettings();
  std::atomic<bool> loaded{false};
  std::atomic<int> mixed{0};
  auto worker = [&] {
    do {
      ProxySettings seen = CurrentSettings();
      if (!Same(seen, ProxySettings{}) && !Same(seen, Scrambled())) ++mixed;
    } while (!loaded);
  };
  std::thread a(worker);
  std::thread b(worker);
  for (int start = 0; start < kStarts; ++start) {
    ReplaceSettings(ProxySettings{});
    LoadSettings();
  }
  loaded = true;
  a.join();
  b.join();
  EXPECT_EQ(mixed, 0);
  EXPECT_TRUE(Same(CurrentSettings(), Scrambled()));
}

}  // namespace
