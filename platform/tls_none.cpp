// A build without a TLS backend: HTTPS inspection stays off and every CONNECT a blind tunnel.
#include "platform/tls.h"

bool TlsAvailable() {
  return false;
}

bool MakeAuthorityPem(std::string_view, std::string_view, std::string*, std::string*) {
  return false;
}

AuthorityUse UseAuthority(std::string_view, std::string_view) {
  return AuthorityUse::kFailed;
}

bool AuthorityInUse() {
  return false;
}

void StopUsingAuthority() {}

bool HostCertificatePem(const char*, std::string*) {
  return false;
}

BrowserHandshake TlsStream::AcceptBrowser(const Socket&, const char*, int) {
  return BrowserHandshake::kFailed;
}

OriginHandshake TlsStream::ConnectOrigin(const Socket&, const char*, int, int,
                                         std::span<char> error, bool) {
  if (!error.empty()) error[0] = '\0';
  return OriginHandshake::kFailed;
}

void TlsStream::SetIdleTimeout(int) {}

bool TlsStream::EndedWithGoodbye() const {
  return false;
}

bool TlsStream::AskedForClientCertificate() const {
  return false;
}

void TlsStream::Abort() {}

long TlsStream::Receive(std::span<char>, int) {
  return -1;
}

int TlsStream::Send(std::span<const char>) {
  return 0;
}

bool TlsStream::Resumed() const {
  return false;
}

bool TlsStream::HasBuffered() const {
  return false;
}

void TlsStream::EndSending() {}

void TlsStream::Close() {}
