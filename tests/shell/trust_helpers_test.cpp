// corvane --trust-ca, --untrust-ca and --ca-path, run as the program itself in a home of the
// test's own, with the NSS databases read back through certutil.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct Ran {
  int status;
  std::string out;
};

class TrustHelpersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/corvane-trust-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    home_ = folder;
  }
  void TearDown() override { std::filesystem::remove_all(home_); }

  // The command in a clean environment whose HOME and configuration are the test's.
  Ran Shell(const std::string& command, const std::string& path = "/usr/bin:/bin") {
    std::string line = "env -i HOME=" + home_ + " XDG_CONFIG_HOME=" + home_ +
                       "/.config PATH=" + path + " " + command + " 2>&1";
    FILE* pipe = ::popen(line.c_str(), "r");
    Ran ran{-1, ""};
    if (pipe == nullptr) return ran;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      ran.out.append(buffer, n);
    int status = ::pclose(pipe);
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ran;
  }
  bool HasCertutil() { return Shell("sh -c 'command -v certutil'").status == 0; }
  std::string Listed(const std::string& database) {
    return Shell("certutil -L -d sql:" + database).out;
  }

  std::string home_;
};

TEST_F(TrustHelpersTest, TrustRegistersWithChromiumAndFirefoxAndUntrustTakesItBack) {
  if (!HasCertutil()) GTEST_SKIP() << "certutil is missing (Debian package libnss3-tools)";
  // A profile found by its cert9.db alone, and ESR's: one in use, one Firefox has not used yet.
  std::string firefox = home_ + "/.mozilla/firefox/abcd.default-release";
  std::string esr = home_ + "/.config/mozilla/firefox/efgh.default-esr";
  std::string unused = home_ + "/.config/mozilla/firefox/ijkl.default-esr";
  for (const std::string& profile : {firefox, esr, unused})
    std::filesystem::create_directories(profile);
  std::ofstream(home_ + "/.config/mozilla/firefox/profiles.ini")
      << "[Profile0]\nIsRelative=1\nPath=efgh.default-esr\n\n[Profile1]\nIsRelative=0\nPath="
      << unused << "\n";
  for (const std::string& profile : {firefox, esr})
    ASSERT_EQ(Shell("certutil -N -d sql:" + profile + " --empty-password").status, 0);

  Ran path = Shell(CORVANE_EXECUTABLE " --ca-path");
  EXPECT_EQ(path.status, 0);
  EXPECT_EQ(path.out, home_ + "/.config/Lumet/Corvane-ca.crt\n");

  Ran trust = Shell(CORVANE_EXECUTABLE " --trust-ca");
  EXPECT_EQ(trust.status, 0) << trust.out;
  EXPECT_TRUE(std::filesystem::exists(home_ + "/.config/Lumet/Corvane-ca.key"));
  EXPECT_NE(trust.out.find("Skipped " + unused + " (Firefox): no cert9.db yet"), std::string::npos)
      << trust.out;
  EXPECT_FALSE(std::filesystem::exists(unused + "/cert9.db"));
  for (const std::string& database : {home_ + "/.pki/nssdb", firefox, esr}) {
    EXPECT_NE(trust.out.find("Trusted " + home_ + "/.config/Lumet/Corvane-ca.crt in " + database),
              std::string::npos)
        << trust.out;
    std::string listed = Listed(database);
    EXPECT_NE(listed.find("Corvane Local CA ("), std::string::npos) << listed;
    EXPECT_NE(listed.find("C,,"), std::string::npos) << listed;
  }
  // Trusting again leaves one registration, not two.
  EXPECT_EQ(Shell(CORVANE_EXECUTABLE " --trust-ca").status, 0);
  std::string listed = Listed(home_ + "/.pki/nssdb");
  size_t first = listed.find("Corvane Local CA (");
  EXPECT_EQ(listed.find("Corvane Local CA (", first + 1), std::string::npos) << listed;

  Ran untrust = Shell(CORVANE_EXECUTABLE " --untrust-ca");
  EXPECT_EQ(untrust.status, 0) << untrust.out;
  for (const std::string& database : {home_ + "/.pki/nssdb", firefox, esr}) {
    EXPECT_NE(untrust.out.find("from " + database), std::string::npos) << untrust.out;
    EXPECT_EQ(Listed(database).find("Corvane Local CA ("), std::string::npos);
  }
}

TEST_F(TrustHelpersTest, AnAuthorityMissingItsCertificateIsReportedAndLeftAlone) {
  const std::string folder = home_ + "/.config/Lumet";
  Shell(CORVANE_EXECUTABLE " --trust-ca");  // makes the authority, with or without certutil
  ASSERT_TRUE(std::filesystem::remove(folder + "/Corvane-ca.crt"));
  Ran trust = Shell(CORVANE_EXECUTABLE " --trust-ca");
  EXPECT_EQ(trust.status, 1);
  EXPECT_NE(trust.out.find(folder + "/Corvane-ca.crt is missing"), std::string::npos) << trust.out;
  EXPECT_NE(trust.out.find("corvane --untrust-ca"), std::string::npos) << trust.out;
  EXPECT_FALSE(std::filesystem::exists(folder + "/Corvane-ca.crt"));
}

TEST_F(TrustHelpersTest, WithoutCertutilItNamesThePackage) {
  for (const char* option : {" --trust-ca", " --untrust-ca"}) {
    Ran ran = Shell(std::string(CORVANE_EXECUTABLE) + option, home_);
    EXPECT_EQ(ran.status, 1) << option;
    EXPECT_NE(ran.out.find("libnss3-tools"), std::string::npos) << ran.out;
  }
}

}  // namespace
