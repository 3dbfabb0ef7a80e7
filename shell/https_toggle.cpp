#include "shell/https_toggle.h"

#include <cstdio>
#include <string>

#include "core/local_authority.h"
#include "core/settings.h"
#include "platform/message_box.h"
#include "platform/private_files.h"
#include "platform/text_convert.h"
#include "shell/trust_helpers.h"
#include "store/settings_store.h"

namespace {

constexpr char16_t kOfferTrust[] =
    u"Corvane has made its own certificate authority for HTTPS inspection.\n\n"
    u"Register it with your browsers now (Chromium and every Firefox profile, through "
    u"certutil)? Until then they refuse inspected pages. \"corvane --untrust-ca\" takes it back.";
// What the trust helper says, shown in one box.
constexpr size_t kReportUnits = 2048;

void SaveInspection(int32_t on) {
  ProxySettings settings = CurrentSettings();
  settings.InspectHttps = on;
  ReplaceSettings(settings);
  SaveSettings();
}

// Runs --trust-ca and shows what it printed.
void RegisterWithBrowsers() {
  std::FILE* report = std::tmpfile();
  if (report == nullptr) return;
  TrustLocalAuthority(nullptr, nullptr, report);
  std::rewind(report);
  char text[kReportUnits];
  size_t n = std::fread(text, 1, sizeof text - 1, report);
  std::fclose(report);
  text[n] = '\0';
  char16_t wide[kReportUnits];
  size_t units = SingleByteToWide(text, wide);
  ShowMessageBox({wide, units});
}

}  // namespace

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
  if (firstTime && AskYesNo(kOfferTrust)) RegisterWithBrowsers();
}
