// Certificates for the tests' TLS origins: an authority of the test's own, trusted by the proxy
// through SSL_CERT_FILE, and the good and bad certificates it issues.
#pragma once

#include <string>

#include "tests/browser/client_tools.h"

struct PemIdentity {
  std::string certificate;
  std::string key;
};

class TestAuthority {
 public:
  TestAuthority();
  ~TestAuthority();
  TestAuthority(const TestAuthority&) = delete;
  TestAuthority& operator=(const TestAuthority&) = delete;

  // The authority's certificate as a PEM file, for SSL_CERT_FILE and curl's --cacert.
  const std::string& File() const { return file_; }

  // A certificate naming host (an IP address or a DNS name), valid between the two offsets from
  // now, in seconds.
  PemIdentity Issue(const std::string& host, long fromSeconds = -3600,
                    long untilSeconds = 86400) const;

  // A certificate for host that signs itself and that no one trusts.
  static PemIdentity SelfSigned(const std::string& host);

 private:
  struct Keys;
  Keys* keys_;
  ScratchDir dir_;
  std::string file_;
};
