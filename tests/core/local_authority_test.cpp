// The user's certificate authority and the certificates made with it, checked by the openssl tool
// as a strict verifier would check them.
#include "core/local_authority.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "platform/message_box.h"
#include "platform/private_files.h"
#include "platform/tls.h"
#include "platform/window_types.h"
#include "tests/store/config_home.h"

namespace {

namespace fs = std::filesystem;

// Runs a shell command; its exit code and what it printed, standard error included.
int RunShell(const std::string& command, std::string* output) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    output->append(buffer, n);
  return ::pclose(pipe);
}

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

class LocalAuthorityTest : public ConfigHomeTest {
 protected:
  void SetUp() override {
    ConfigHomeTest::SetUp();
    if (!TlsAvailable()) GTEST_SKIP() << "built without TLS (CORVANE_TLS off)";
    StopUsingAuthority();
  }
  void TearDown() override {
    StopUsingAuthority();
    ConfigHomeTest::TearDown();
  }
  std::string CertificatePath() const { return FolderPath() + "/Corvane-ca.crt"; }
  std::string KeyPath() const { return FolderPath() + "/Corvane-ca.key"; }
  std::string Started() {
    std::string file;
    EXPECT_EQ(StartLocalAuthority(&file), AuthorityStart::kReady) << file;
    std::string pem;
    EXPECT_TRUE(ReadSmallFile(CertificatePath(), &pem));
    return pem;
  }
};

TEST_F(LocalAuthorityTest, IsMadeOnceWithItsKeyReadableByTheUserAlone) {
  std::string first = Started();
  EXPECT_EQ(ModeOf(FolderPath()), 0700u);
  EXPECT_EQ(ModeOf(CertificatePath()), 0644u);
  EXPECT_EQ(ModeOf(KeyPath()), 0600u);
  StopUsingAuthority();
  EXPECT_EQ(Started(), first);  // a later start uses the same authority

  std::string text;
  ASSERT_EQ(RunShell("openssl x509 -noout -text -in " + CertificatePath(), &text), 0);
  for (const char* expected :
       {"Subject: CN = Corvane Local CA (", "), O = Corvane", "ASN1 OID: prime256v1",
        "Signature Algorithm: ecdsa-with-SHA256", "X509v3 Basic Constraints: critical",
        "CA:TRUE, pathlen:0", "X509v3 Key Usage: critical", "Certificate Sign, CRL Sign",
        "X509v3 Subject Key Identifier"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  // Ten years from one day ago: valid in 3650 days, no longer in 3652.
  std::string dates;
  EXPECT_EQ(RunShell("openssl x509 -noout -checkend 315360000 -in " + CertificatePath(), &dates),
            0);
  EXPECT_NE(RunShell("openssl x509 -noout -checkend 315532800 -in " + CertificatePath(), &dates),
            0);
  std::string serial;
  ASSERT_EQ(RunShell("openssl x509 -noout -serial -in " + CertificatePath(), &serial), 0);
  EXPECT_GE(serial.size(), std::string("serial=\n").size() + 30) << serial;  // about 128 bits
}

// What the folder holds, byte for byte and with each file's time.
std::map<std::string, std::pair<std::string, fs::file_time_type>> Snapshot(
    const std::string& folder) {
  std::map<std::string, std::pair<std::string, fs::file_time_type>> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    std::string bytes;
    ReadSmallFile(entry.path().string(), &bytes);  // a folder in a file's place reads as empty
    files[entry.path().string()] = {bytes, entry.last_write_time()};
  }
  return files;
}

std::u16string boxText;
int RecordBox(std::u16string_view text, std::u16string_view, uint32_t) {
  boxText = text;
  return kIdOk;
}

TEST_F(LocalAuthorityTest, AnAuthorityThatCannotBeUsedIsNeverReplaced) {
  std::string otherKey;
  std::string otherCertificate;
  ASSERT_TRUE(MakeAuthorityPem("other", "other", &otherCertificate, &otherKey));
  const std::string key = KeyPath();
  const std::string certificate = CertificatePath();
  struct Row {
    const char* name;
    std::function<void()> damage;
    AuthorityStart expected;
    std::string file;
  } rows[] = {
      {"only the certificate", [&] { fs::remove(key); }, AuthorityStart::kHalfMissing, key},
      {"only the key", [&] { fs::remove(certificate); }, AuthorityStart::kHalfMissing, certificate},
      {"garbage key", [&] { std::ofstream(key) << "garbage\n"; }, AuthorityStart::kDamaged, key},
      {"garbage certificate", [&] { std::ofstream(certificate) << "garbage\n"; },
       AuthorityStart::kDamaged, certificate},
      {"another authority's key", [&] { std::ofstream(key) << otherKey; },
       AuthorityStart::kMismatched, key},
      {"a folder for a certificate",
       [&] {
         fs::remove(certificate);
         fs::create_directory(certificate);
       },
       AuthorityStart::kUnreadable, certificate},
      {"key readable by others",
       [&] { fs::permissions(key, fs::perms::others_read, fs::perm_options::add); },
       AuthorityStart::kUnsafeKey, key},
  };
  SetMessageBoxHandler(RecordBox);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(FolderPath());
    Started();
    StopUsingAuthority();
    row.damage();
    auto before = Snapshot(FolderPath());

    std::string file;
    EXPECT_EQ(StartLocalAuthority(&file), row.expected);
    EXPECT_EQ(file, row.file);
    boxText.clear();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(EnableInspection());
    std::string line = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(AuthorityInUse());
    EXPECT_EQ(Snapshot(FolderPath()), before);

    // Both say which file; all but the unsafe key (made safe with chmod) say how to start over.
    bool startOver = row.expected != AuthorityStart::kUnsafeKey;
    std::u16string wideFile(row.file.begin(), row.file.end());  // the paths are ASCII
    EXPECT_NE(line.find(row.file), std::string::npos) << line;
    EXPECT_NE(boxText.find(wideFile), std::u16string::npos);
    EXPECT_EQ(line.find("corvane --untrust-ca") != std::string::npos, startOver) << line;
    EXPECT_EQ(boxText.find(u"corvane --untrust-ca") != std::u16string::npos, startOver);
  }
  SetMessageBoxHandler(nullptr);

  // Both files gone: a new authority, as on the first start.
  fs::remove_all(FolderPath());
  Started();
}

TEST_F(LocalAuthorityTest, HostCertificatesPassAStrictServerCheck) {
  Started();
  const std::string longName = std::string(60, 'a') + ".long-name.example";  // over 64 bytes
  struct Row {
    std::string host;
    std::string check;
    bool hasCommonName;
  } rows[] = {
      {"www.example.com", "-verify_hostname www.example.com", true},
      {"127.0.0.1", "-verify_ip 127.0.0.1", true},
      {"::1", "-verify_ip ::1", true},
      {longName, "-verify_hostname " + longName, false},
  };
  for (const Row& row : rows) {
    std::string pem;
    ASSERT_TRUE(HostCertificatePem(row.host.c_str(), &pem)) << row.host;
    std::string path = FolderPath() + "/host.pem";
    std::ofstream(path) << pem;
    std::string out;
    EXPECT_EQ(RunShell("openssl verify -x509_strict -purpose sslserver -CAfile " +
                           CertificatePath() + " " + row.check + " " + path,
                       &out),
              0)
        << row.host << ": " << out;
    out.clear();
    RunShell("openssl x509 -noout -text -in " + path, &out);
    EXPECT_EQ(out.find("Subject: CN = " + row.host) != std::string::npos, row.hasCommonName) << out;
    for (const char* expected : {"CA:FALSE", "Digital Signature", "TLS Web Server Authentication",
                                 "X509v3 Authority Key Identifier"})
      EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
    // 180 days in all, counted from one day ago: still valid in 178 days, no longer in 180.
    out.clear();
    EXPECT_EQ(RunShell("openssl x509 -noout -checkend 15379200 -in " + path, &out), 0) << out;
    EXPECT_NE(RunShell("openssl x509 -noout -checkend 15552000 -in " + path, &out), 0) << out;
  }
  std::string pem;
  EXPECT_FALSE(HostCertificatePem("bad,DNS:bank.example", &pem));  // no name smuggled in
  EXPECT_FALSE(HostCertificatePem("", &pem));
}

}  // namespace
