// corvane --trust-ca, --untrust-ca and --ca-path, run as the program itself in a home of the
// test's own, with the NSS databases read back through certutil; and every option as the man
// page documents it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

struct Ran {
  int status;
  std::string out;
  std::string err;
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
    std::string errors = home_ + "/standard-error";
    std::string line = "env -i HOME=" + home_ + " XDG_CONFIG_HOME=" + home_ +
                       "/.config PATH=" + path + " " + command + " 2>" + errors;
    FILE* pipe = ::popen(line.c_str(), "r");
    Ran ran{-1, "", ""};
    if (pipe == nullptr) return ran;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      ran.out.append(buffer, n);
    int status = ::pclose(pipe);
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ostringstream err;
    err << std::ifstream(errors).rdbuf();
    ran.err = err.str();
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

// The OPTIONS section of the man page: each option's paragraph by its name, and the paragraphs
// about other arguments under "".
std::map<std::string, std::string> DocumentedOptions() {
  std::ifstream page(CORVANE_MAN_PAGE);
  std::map<std::string, std::string> paragraphs;
  std::string line;
  while (std::getline(page, line) && line != ".SH OPTIONS") {
  }
  std::string key;
  bool tag = false;
  while (std::getline(page, line) && !line.starts_with(".SH")) {
    if (line == ".TP" || line == ".PP") {
      tag = line == ".TP";
      key.clear();
    } else if (tag) {
      key = line.substr(line.find(' ') + 1);
      for (size_t at; (at = key.find("\\-")) != std::string::npos;)
        key.erase(at, 1);  // "\-" is roff's hyphen
      tag = false;
    } else {
      paragraphs[key] += line + "\n";
    }
  }
  return paragraphs;
}

// Each digit that follows "status " in text.
std::set<int> StatusesIn(const std::string& text) {
  std::set<int> statuses;
  for (size_t at = 0; (at = text.find("status ", at)) != std::string::npos;) {
    at += 7;
    if (at < text.size() && text[at] >= '0' && text[at] <= '9') statuses.insert(text[at] - '0');
  }
  return statuses;
}

// Every option the man page documents is the program's (--help lists the same), and each, run in
// a fresh home as the page describes, ends with a status its paragraph gives.
TEST_F(TrustHelpersTest, EveryDocumentedOptionEndsWithItsDocumentedStatus) {
  std::map<std::string, std::string> documented = DocumentedOptions();
  Ran help = Shell(CORVANE_EXECUTABLE " --help");
  std::set<std::string> listed;
  // Each line of --help that starts with two spaces and an option names it.
  for (size_t at = 0; (at = help.out.find("\n  --", at)) != std::string::npos;) {
    size_t start = at + 3;
    size_t end = help.out.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", start + 2);
    listed.insert(help.out.substr(start, end - start));
    at = start;
  }
  std::set<std::string> named;
  for (const auto& [name, text] : documented)
    if (!name.empty()) named.insert(name);
  EXPECT_EQ(named, listed) << help.out;

  const std::string certificate = home_ + "/.config/Lumet/Corvane-ca.crt";
  const int certutil = HasCertutil() ? 0 : 1;  // without it the trust options fail, as documented
  struct Run {
    std::string option;  // "" for an argument that names none
    std::string arguments;
    int status;
    std::string out;  // what standard output starts with
    std::string err;  // a part of standard error, if any
  };
  const Run runs[] = {
      {"--help", "--help", 0, "Usage: corvane", ""},
      {"--version", "--version", 0, "corvane ", ""},
      {"--ca-path", "--ca-path", 1, certificate + "\n",
       "made the first time HTTPS inspection is turned on"},  // no authority yet
      {"--trust-ca", "--trust-ca", certutil, "", ""},
      {"--ca-path", "--ca-path", 0, certificate + "\n", ""},
      {"--untrust-ca", "--untrust-ca", certutil, "", ""},
      {"", "--bogus", 2, "", "unknown option '--bogus'"},
      {"", "--version=1", 2, "", "takes no value"},
  };
  std::set<std::string> run;
  for (const Run& r : runs) {
    ASSERT_TRUE(documented.contains(r.option)) << r.option << " is not in the man page";
    Ran ran = Shell(CORVANE_EXECUTABLE " " + r.arguments);
    EXPECT_EQ(ran.status, r.status) << r.arguments << ": " << ran.out << ran.err;
    EXPECT_TRUE(StatusesIn(documented[r.option]).contains(r.status))
        << "the man page gives " << r.arguments << " no status " << r.status;
    EXPECT_EQ(ran.out.rfind(r.out, 0), 0u) << r.arguments << ": " << ran.out;
    EXPECT_NE(ran.err.find(r.err), std::string::npos) << r.arguments << ": " << ran.err;
    run.insert(r.option);
  }
  for (const auto& [name, text] : documented)
    EXPECT_TRUE(run.contains(name)) << name << " is documented but not run here";
}

}  // namespace
