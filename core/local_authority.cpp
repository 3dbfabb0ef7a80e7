#include "core/local_authority.h"

#include "core/report_failure.h"
#include "core/settings.h"
#include "platform/message_box.h"
#include "platform/private_files.h"
#include "platform/text_convert.h"
#include "platform/tls.h"
#include "platform/window_types.h"

namespace {

constexpr unsigned kCertificateMode = 0644;  // browsers' trust tools read it
constexpr unsigned kKeyMode = 0600;
constexpr char kOrganization[] = "Corvane";

// Makes a new authority and writes it, the key first, so that a certificate never stands
// without its key.
AuthorityStart MakeAuthority(const std::string& folder, std::string* file) {
  std::string certificate;
  std::string key;
  if (!MakeAuthorityPem(LocalAuthorityName(), kOrganization, &certificate, &key))
    return AuthorityStart::kFailed;
  *file = folder + "/" + kAuthorityKeyName;
  if (!ReplaceFileAtomically(folder, kAuthorityKeyName, key, kKeyMode))
    return AuthorityStart::kFailed;
  *file = folder + "/" + kAuthorityCertificateName;
  if (!ReplaceFileAtomically(folder, kAuthorityCertificateName, certificate, kCertificateMode))
    return AuthorityStart::kFailed;
  return UseAuthority(certificate, key) ? AuthorityStart::kReady : AuthorityStart::kFailed;
}

// Standard error gets the reason in English, the user a box in the words of the menu.
void ShowRefusal(AuthorityStart why, const std::string& file) {
  std::string line = "HTTPS inspection stays off: ";
  std::u16string box = u"HTTPS の検査は無効のままです。\n";
  char16_t wideFile[1024];
  std::u16string_view fileText(wideFile, SingleByteToWide(file, wideFile));
  if (why == AuthorityStart::kUnsafeKey) {
    line += file + " can be read by others or belongs to another user (it must be yours, 0600)";
    box += fileText;
    box +=
        u" をほかのユーザーが読めるか、ほかのユーザーのものです (自分だけが読める 0600 "
        u"にしてください)。";
  } else if (why == AuthorityStart::kUnavailable) {
    line += "this build has no TLS";
    box += u"このビルドには TLS がありません。";
  } else {
    line += file + " cannot be made or used";
    box += fileText;
    box += u" を作れないか、使えません。";
  }
  char16_t wideLine[1024];
  WriteMessageLine({wideLine, SingleByteToWide(line, wideLine)});
  ShowMessageBox(box, kBoxCaption, kMbOk | kMbIconError);
}

}  // namespace

AuthorityStart StartLocalAuthority(std::string* file) {
  if (!TlsAvailable()) return AuthorityStart::kUnavailable;
  std::string folder;
  if (!MakerFolder(kAuthorityMaker, &folder)) {
    *file = folder;
    return AuthorityStart::kFailed;
  }
  std::string keyPath = folder + "/" + kAuthorityKeyName;
  std::string certificatePath = folder + "/" + kAuthorityCertificateName;
  *file = keyPath;
  switch (CheckPrivateFile(keyPath)) {
    case FileSafety::kExposed:
      return AuthorityStart::kUnsafeKey;
    case FileSafety::kMissing:
      return MakeAuthority(folder, file);
    case FileSafety::kPrivate:
      break;
  }
  if (!FileExists(certificatePath)) return MakeAuthority(folder, file);
  std::string certificate;
  std::string key;
  if (!ReadSmallFile(keyPath, &key)) return AuthorityStart::kFailed;
  *file = certificatePath;
  if (!ReadSmallFile(certificatePath, &certificate) || !UseAuthority(certificate, key))
    return AuthorityStart::kFailed;
  return AuthorityStart::kReady;
}

bool EnableInspection() {
  if (AuthorityInUse()) return true;
  std::string file;
  AuthorityStart started = StartLocalAuthority(&file);
  if (started == AuthorityStart::kReady) return true;
  ShowRefusal(started, file);
  return false;
}

bool LocalAuthorityCertificatePath(std::string* path) {
  std::string folder;
  if (!MakerFolder(kAuthorityMaker, &folder)) return false;
  *path = folder + "/" + kAuthorityCertificateName;
  return true;
}

std::string LocalAuthorityName() {
  return "Corvane Local CA (" + UserAtHost() + ")";
}

bool InspectionReady() {
  return CurrentSettings().InspectHttps != 0 && AuthorityInUse();
}
