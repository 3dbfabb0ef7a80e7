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

std::string FolderOf(const std::string& file) {
  return file.substr(0, file.find_last_of("/\\"));
}

bool IsKeyFile(const std::string& file) {
  return file.ends_with(kAuthorityKeyName);
}

// The other file of the pair.
std::string PartnerOf(const std::string& file) {
  return FileIn(FolderOf(file), IsKeyFile(file) ? kAuthorityCertificateName : kAuthorityKeyName);
}

// The files already made are at fault: only a new authority helps, and the old one may still be
// trusted by the browsers.
bool NeedsNewAuthority(AuthorityStart why) {
  return why == AuthorityStart::kHalfMissing || why == AuthorityStart::kUnreadable ||
         why == AuthorityStart::kDamaged || why == AuthorityStart::kMismatched;
}

// Makes a new authority and writes it, the key first, so that a certificate never stands
// without its key; a key left without its certificate goes again.
AuthorityStart MakeAuthority(const std::string& folder, std::string* file) {
  std::string certificate;
  std::string key;
  if (!MakeAuthorityPem(LocalAuthorityName(), kOrganization, &certificate, &key))
    return AuthorityStart::kFailed;
  std::string keyPath = FileIn(folder, kAuthorityKeyName);
  *file = keyPath;
  if (!ReplaceFileAtomically(folder, kAuthorityKeyName, key, kKeyMode))
    return AuthorityStart::kFailed;
  *file = FileIn(folder, kAuthorityCertificateName);
  if (!ReplaceFileAtomically(folder, kAuthorityCertificateName, certificate, kCertificateMode)) {
    RemoveFile(keyPath);
    return AuthorityStart::kFailed;
  }
  return UseAuthority(certificate, key) == AuthorityUse::kInUse ? AuthorityStart::kReady
                                                                : AuthorityStart::kFailed;
}

// Uses the authority already made, whose two files are there.
AuthorityStart LoadAuthority(const std::string& keyPath, const std::string& certificatePath,
                             std::string* file) {
  std::string key;
  std::string certificate;
  *file = keyPath;
  if (!ReadSmallFile(keyPath, &key)) return AuthorityStart::kUnreadable;
  *file = certificatePath;
  if (!ReadSmallFile(certificatePath, &certificate)) return AuthorityStart::kUnreadable;
  switch (UseAuthority(certificate, key)) {
    case AuthorityUse::kInUse:
      return AuthorityStart::kReady;
    case AuthorityUse::kBadCertificate:
      return AuthorityStart::kDamaged;
    case AuthorityUse::kBadKey:
      *file = keyPath;
      return AuthorityStart::kDamaged;
    case AuthorityUse::kMismatched:
      *file = keyPath;
      return AuthorityStart::kMismatched;
    case AuthorityUse::kFailed:
      break;
  }
  return AuthorityStart::kFailed;
}

// The box: the same as AuthorityRefusal, in the words of the menu.
std::u16string RefusalBox(AuthorityStart why, const std::string& file) {
  std::u16string box = u"HTTPS の検査は無効のままです。\n";
  std::u16string named = SingleByteToWide(file);
  switch (why) {
    case AuthorityStart::kReady:
      break;
    case AuthorityStart::kUnsafeKey:
      box += named +
             u" をほかのユーザーが読めるか、ほかのユーザーのものです (自分だけが読める "
             u"ようにしてください)。";
      break;
    case AuthorityStart::kHalfMissing:
      box += named + u" がありません (" + SingleByteToWide(PartnerOf(file)) + u" は残っています)。";
      break;
    case AuthorityStart::kUnreadable:
      box += named + u" を読めません。";
      break;
    case AuthorityStart::kDamaged:
      box += named + u" を PEM 形式の" +
             (IsKeyFile(file) ? u"秘密鍵 (パスフレーズなし)" : u"証明書") +
             u"として読み取れません。壊れている可能性があります。";
      break;
    case AuthorityStart::kMismatched:
      box += named + u" は " + SingleByteToWide(PartnerOf(file)) + u" の鍵ではありません。";
      break;
    case AuthorityStart::kFailed:
      box += named + u" を作れないか、使えません。";
      break;
    case AuthorityStart::kUnavailable:
      box += u"このビルドには TLS がありません。";
      break;
  }
  if (NeedsNewAuthority(why)) {
    box += u"\n\n新しい認証局で始め直すには、" + SingleByteToWide(FolderOf(file)) + u" の " +
           SingleByteToWide(kAuthorityCertificateName) + u" と " +
           SingleByteToWide(kAuthorityKeyName) +
           u" を両方削除し、\"corvane --untrust-ca\" を実行してから、メニューの「HTTPS "
           u"を検査」をもう一度選んでください。";
  }
  return box;
}

// Standard error gets the reason in English, the user a box in the words of the menu.
void ShowRefusal(AuthorityStart why, const std::string& file) {
  std::u16string line =
      SingleByteToWide("HTTPS inspection stays off: " + AuthorityRefusal(why, file) + ".");
  WriteMessageLine(line);
  ShowMessageBox(RefusalBox(why, file), kBoxCaption, kMbOk | kMbIconError);
}

}  // namespace

AuthorityStart StartLocalAuthority(std::string* file) {
  if (!TlsAvailable()) return AuthorityStart::kUnavailable;
  std::string folder;
  if (!MakerFolder(kAuthorityMaker, &folder)) {
    *file = folder;
    return AuthorityStart::kFailed;
  }
  std::string keyPath = FileIn(folder, kAuthorityKeyName);
  std::string certificatePath = FileIn(folder, kAuthorityCertificateName);
  FileSafety key = CheckPrivateFile(keyPath);
  bool hasCertificate = FileExists(certificatePath);
  if (key == FileSafety::kExposed) {
    *file = keyPath;
    return AuthorityStart::kUnsafeKey;
  }
  if (key == FileSafety::kMissing && !hasCertificate) return MakeAuthority(folder, file);
  if (key == FileSafety::kMissing || !hasCertificate) {
    // The other file may still be trusted by the browsers: making a new pair here would leave
    // that one trusted and useless, so the user decides.
    *file = key == FileSafety::kMissing ? keyPath : certificatePath;
    return AuthorityStart::kHalfMissing;
  }
  return LoadAuthority(keyPath, certificatePath, file);
}

std::string AuthorityRefusal(AuthorityStart why, const std::string& file) {
  std::string line;
  switch (why) {
    case AuthorityStart::kReady:
      break;
    case AuthorityStart::kUnsafeKey:
      line = file +
             " can be read by others or belongs to another user (it must be yours, readable by you "
             "alone)";
      break;
    case AuthorityStart::kHalfMissing:
      line = file + " is missing while " + PartnerOf(file) + " is there";
      break;
    case AuthorityStart::kUnreadable:
      line = file + " cannot be read";
      break;
    case AuthorityStart::kDamaged:
      line = file + " cannot be parsed as a PEM " +
             (IsKeyFile(file) ? "private key (without a passphrase)" : "certificate");
      break;
    case AuthorityStart::kMismatched:
      line = file + " is not the key of " + PartnerOf(file);
      break;
    case AuthorityStart::kFailed:
      line = file + " cannot be made or used";
      break;
    case AuthorityStart::kUnavailable:
      line = "this build has no TLS";
      break;
  }
  if (NeedsNewAuthority(why)) {
    line += ". To start over with a new authority, remove both " +
            std::string(kAuthorityCertificateName) + " and " + kAuthorityKeyName + " from " +
            FolderOf(file) + ", run corvane --untrust-ca, then turn HTTPS inspection on again";
  }
  return line;
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
  *path = FileIn(folder, kAuthorityCertificateName);
  return true;
}

std::string LocalAuthorityName() {
  return "Corvane Local CA (" + UserAtHost() + ")";
}

bool InspectionReady() {
  return CurrentSettings().InspectHttps != 0 && AuthorityInUse();
}
