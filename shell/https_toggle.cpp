#include "shell/https_toggle.h"

#include <cstdio>
#include <string>

#include "core/local_authority.h"
#include "core/report_failure.h"
#include "core/settings.h"
#include "platform/message_box.h"
#include "platform/private_files.h"
#include "platform/window_types.h"
#include "shell/trust_helpers.h"
#include "store/settings_store.h"

namespace {

constexpr char16_t kOfferTrust[] =
    u"HTTPS の検査のために、Corvane はあなた専用の認証局を作りました。\n\n"
    u"いまブラウザ (Chromium とすべての Firefox プロファイル) に登録しますか? 登録するまで、"
    u"ブラウザは検査したページを受け付けません。登録は \"corvane --untrust-ca\" で取り消せます。";

void SaveInspection(int32_t on) {
  ProxySettings settings = CurrentSettings();
  settings.InspectHttps = on;
  ReplaceSettings(settings);
  SaveSettings();
}

// Registers the authority with the browsers: what certutil did goes to standard error as the
// command line prints it, and the user gets a box that says how it ended.
void RegisterWithBrowsers() {
  TrustOutcome outcome = RegisterLocalAuthority(stderr);
  switch (outcome) {
    case TrustOutcome::kTrusted:
      ShowMessageBox(
          u"認証局をブラウザに登録しました。ブラウザを起動し直すと、HTTPS のページを検査できます。",
          kBoxCaption, kMbOk | kMbIconInformation);
      return;
    case TrustOutcome::kNoCertutil:
      ShowMessageBox(
          u"認証局をブラウザに登録できませんでした。\ncertutil がありません。"
          u"libnss3-tools パッケージを入れてから、\"corvane --trust-ca\" を実行してください。",
          kBoxCaption, kMbOk | kMbIconError);
      return;
    case TrustOutcome::kNotAll:
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
  if (firstTime && ShowMessageBox(kOfferTrust, kBoxCaption, kMbYesNo | kMbIconQuestion) == kIdYes)
    RegisterWithBrowsers();
}
