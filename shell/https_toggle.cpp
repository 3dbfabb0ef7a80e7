#include "shell/https_toggle.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/local_authority.h"
#include "core/report_failure.h"
#include "core/settings.h"
#include "platform/message_box.h"
#include "platform/private_files.h"
#include "platform/text_convert.h"
#include "platform/trust_store.h"
#include "platform/window_types.h"
#include "shell/trust_helpers.h"
#include "store/settings_store.h"

namespace {

constexpr char16_t kOfferTrust[] =
    u"HTTPS の検査のために、Corvane はあなた専用の認証局を作りました。\n\n"
    u"いまブラウザ (Chromium とすべての Firefox プロファイル) に登録しますか? 登録するまで、"
    u"ブラウザは検査したページを受け付けません。登録は \"corvane --untrust-ca\" で取り消せます。";

// Where the system has a Root store of the user's (Windows), the authority goes there instead.
constexpr char16_t kOfferRootStore[] =
    u"HTTPS の検査のために、Corvane はあなた専用の認証局を作りました。\n\n"
    u"いま Windows の証明書ストア (現在のユーザーの信頼されたルート証明機関) に登録しますか? "
    u"Edge と Chrome はここを読み、Firefox も読むように設定します。続いて Windows "
    u"が確認を求めます。登録するまで、ブラウザは検査したページを受け付けません。登録は "
    u"\"corvane --untrust-ca\" で取り消せます。";

constexpr char16_t kRegistered[] =
    u"認証局をブラウザに登録しました。ブラウザを起動し直すと、HTTPS のページを検査できます。";

void SaveInspection(int32_t on) {
  ProxySettings settings = CurrentSettings();
  settings.InspectHttps = on;
  ReplaceSettings(settings);
  SaveSettings();
}

// The folder as the user knows it: "~/" for the home folder.
std::u16string Shown(const std::string& folder) {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/' && folder.starts_with(std::string(home) + "/"))
    return SingleByteToWide("~" + folder.substr(std::strlen(home)));
  return SingleByteToWide(folder);
}

// The databases that ended as given, one line each after a heading; nothing when there is none.
std::u16string Listed(const std::vector<TrustedDatabase>& done, DatabaseTrust result,
                      std::u16string_view heading, std::u16string_view reason) {
  std::u16string list;
  for (const TrustedDatabase& database : done) {
    if (database.result != result) continue;
    if (list.empty()) list = u"\n\n" + std::u16string(heading);
    list += u"\n・" + SingleByteToWide(database.browser) + u": " +
            (database.browser == "Windows" ? u"現在のユーザーの信頼されたルート証明機関"
                                           : Shown(database.folder));
  }
  if (!list.empty() && !reason.empty()) list += u"\n" + std::u16string(reason);
  return list;
}

// Registers the authority with the browsers: what certutil did goes to standard error as the
// command line prints it, and the user gets a box that says how it ended and for which browsers.
void RegisterWithBrowsers() {
  std::vector<TrustedDatabase> done;
  TrustOutcome outcome = RegisterLocalAuthority(stderr, &done);
  std::u16string databases =
      Listed(done, DatabaseTrust::kTrusted, u"登録した先:", u"") +
      Listed(done, DatabaseTrust::kFailed, u"登録できなかった先:",
             u"certutil が失敗しました。ブラウザを閉じてから \"corvane --trust-ca\" "
             u"を実行すると、理由が表示されます。") +
      Listed(done, DatabaseTrust::kNotUsedYet, u"登録しなかった先 (cert9.db がありません):",
             u"このプロファイルで Firefox をまだ一度も起動していません。一度起動して閉じてから、"
             u"\"corvane --trust-ca\" を実行してください。") +
      Listed(done, DatabaseTrust::kNoFolder, u"登録しなかった先 (フォルダーがありません):",
             u"profiles.ini にあるプロファイルのフォルダーがありません。");
  switch (outcome) {
    case TrustOutcome::kTrusted:
      ShowMessageBox(kRegistered + databases, kBoxCaption, kMbOk | kMbIconInformation);
      return;
    case TrustOutcome::kNoCertutil:
      ShowMessageBox(
          u"認証局をブラウザに登録できませんでした。\ncertutil がありません。"
          u"libnss3-tools パッケージを入れてから、\"corvane --trust-ca\" を実行してください。",
          kBoxCaption, kMbOk | kMbIconError);
      return;
    case TrustOutcome::kNotAll:
      ShowMessageBox(u"認証局を一部のブラウザに登録できませんでした。" + databases, kBoxCaption,
                     kMbOk | kMbIconError);
      return;
    case TrustOutcome::kDeclined:
      ShowMessageBox(u"認証局を登録しませんでした。あとで \"corvane --trust-ca\" で登録できます。",
                     kBoxCaption, kMbOk | kMbIconInformation);
      return;
    case TrustOutcome::kUnusable:
      ShowMessageBox(
          u"認証局をブラウザに登録できませんでした。\n"
          u"ブラウザを閉じてから \"corvane --trust-ca\" を実行すると、理由が表示されます。",
          kBoxCaption, kMbOk | kMbIconError);
      return;
  }
}

}  // namespace

void ResumeInspection() {
  // Started at once (made the first time), so that a key file that others can read is reported
  // at start rather than at the first CONNECT.
  if (CurrentSettings().InspectHttps != 0) EnableInspection();
}

void ToggleInspection() {
  // A setting left on with an authority that could not be used shows unchecked: choosing the
  // item then tries to turn it on again.
  if (InspectionReady()) {
    SaveInspection(0);
    return;
  }
  std::string certificate;
  bool firstTime = LocalAuthorityCertificatePath(&certificate) && !FileExists(certificate);
  if (!EnableInspection()) return;  // the box said why; it stays off
  SaveInspection(1);
  const char16_t* offer = HasUserRootStore() ? kOfferRootStore : kOfferTrust;
  if (firstTime && ShowMessageBox(offer, kBoxCaption, kMbYesNo | kMbIconQuestion) == kIdYes)
    RegisterWithBrowsers();
}
