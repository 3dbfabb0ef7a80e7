// The local authority's files on Windows: made in %APPDATA%\Lumet with the key for the user
// alone, used again as they are, and never replaced: a key whose access list lets anyone else in,
// or one left without its certificate, keeps inspection off and the files as they were.
#include "core/local_authority.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>  // needs windows.h first

#include <string>

#include "platform/private_files.h"
#include "platform/tls.h"
#include "platform/trust_store.h"

namespace {

class Win32AuthorityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakerFolder(kAuthorityMaker, &folder_));
    key_ = FileIn(folder_, kAuthorityKeyName);
    certificate_ = FileIn(folder_, kAuthorityCertificateName);
    Forget();
  }
  void TearDown() override { Forget(); }
  void Forget() {
    StopUsingAuthority();
    RemoveFile(key_);
    RemoveFile(certificate_);
  }
  std::string Read(const std::string& path) {
    std::string text;
    EXPECT_TRUE(ReadSmallFile(path, &text)) << path;
    return text;
  }
  std::string folder_;
  std::string key_;
  std::string certificate_;
};

// Lets everyone read the file, as copying it somewhere shared might.
void LetEveryoneRead(const std::string& path) {
  PACL old = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::wstring wide(path.begin(), path.end());
  ASSERT_EQ(GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &old, nullptr, &descriptor),
            ERROR_SUCCESS);
  wchar_t everyone[] = L"EVERYONE";
  EXPLICIT_ACCESSW access{};
  BuildExplicitAccessWithNameW(&access, everyone, GENERIC_READ, GRANT_ACCESS, NO_INHERITANCE);
  PACL wider = nullptr;
  ASSERT_EQ(SetEntriesInAclW(1, &access, old, &wider), ERROR_SUCCESS);
  ASSERT_EQ(SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, wider, nullptr),
            ERROR_SUCCESS);
  LocalFree(wider);
  LocalFree(descriptor);
}

TEST_F(Win32AuthorityTest, IsMadeBesideTheSettingsForTheUserAloneAndUsedAgainAsItIs) {
  ASSERT_TRUE(TlsAvailable());
  std::string file;
  ASSERT_EQ(StartLocalAuthority(&file), AuthorityStart::kReady) << file;
  EXPECT_NE(folder_.find("\\AppData\\Roaming\\Lumet"), std::string::npos) << folder_;
  EXPECT_EQ(CheckPrivateFile(key_), FileSafety::kPrivate);
  std::string pem;
  EXPECT_TRUE(HostCertificatePem("example.com", &pem));

  std::string made = Read(certificate_);
  StopUsingAuthority();
  ASSERT_EQ(StartLocalAuthority(&file), AuthorityStart::kReady) << file;
  EXPECT_EQ(Read(certificate_), made);
}

TEST_F(Win32AuthorityTest, AKeyOthersCanReadOrOneWithoutItsCertificateIsRefusedAndKept) {
  std::string file;
  ASSERT_EQ(StartLocalAuthority(&file), AuthorityStart::kReady) << file;
  StopUsingAuthority();
  std::string key = Read(key_);

  LetEveryoneRead(key_);
  EXPECT_EQ(CheckPrivateFile(key_), FileSafety::kExposed);
  EXPECT_EQ(StartLocalAuthority(&file), AuthorityStart::kUnsafeKey);
  EXPECT_EQ(file, key_);
  EXPECT_FALSE(AuthorityInUse());
  EXPECT_NE(AuthorityRefusal(AuthorityStart::kUnsafeKey, file).find(key_), std::string::npos);

  RemoveFile(key_);
  ASSERT_TRUE(ReplaceFileAtomically(folder_, kAuthorityKeyName, key, 0600));
  ASSERT_TRUE(RemoveFile(certificate_));
  EXPECT_EQ(StartLocalAuthority(&file), AuthorityStart::kHalfMissing);
  EXPECT_EQ(file, certificate_);
  EXPECT_EQ(Read(key_), key);
  EXPECT_FALSE(FileExists(certificate_));
}

TEST(Win32RootStore, OriginsAreVerifiedAgainstTheRootStoreOfWindows) {
  std::vector<std::string> roots;
  ASSERT_TRUE(SystemRootCertificates(&roots));
  EXPECT_GT(roots.size(), 10u);  // the machine's authorities, as Wine takes them from its host
}

}  // namespace
