// TLS for HTTPS inspection: a local certificate authority, certificates made for hosts on the
// fly, and TLS streams to the browser and to the origin over an already connected socket.
//
// The OpenSSL backend (platform/openssl/) is the one place OpenSSL enters. A build without it has
// TlsAvailable() false and every other call failing, so inspection stays off there.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "platform/socket.h"

// True when this build can inspect HTTPS at all.
bool TlsAvailable();

// Makes a new authority: an ECDSA P-256 key and a self-signed certificate valid from one day ago
// for ten years, with the subject given. Both come as PEM texts.
bool MakeAuthorityPem(std::string_view commonName, std::string_view organization,
                      std::string* certificatePem, std::string* keyPem);

enum class AuthorityUse {
  kInUse,
  kBadCertificate,  // the certificate's text holds no PEM certificate
  kBadKey,          // the key's text holds no unencrypted PEM private key
  kMismatched,      // the key is not the certificate's
  kFailed,          // the TLS contexts cannot be set up
};

// Signs host certificates with this authority from now on, and sets up the TLS contexts. Anything
// but kInUse leaves the authority in use as it was.
AuthorityUse UseAuthority(std::string_view certificatePem, std::string_view keyPem);

// True once UseAuthority has succeeded.
bool AuthorityInUse();

// Forgets the authority in use and every certificate made with it.
void StopUsingAuthority();

// The certificate the browser is shown for host (a DNS name or an IP address), as PEM. False for
// a host that cannot be named in a certificate, or with no authority in use.
bool HostCertificatePem(const char* host, std::string* pem);

// Host names longer than this are never given a certificate (DNS allows 253).
inline constexpr size_t kMaxCertificateHost = 255;

struct TlsSession;

enum class OriginHandshake { kConnected, kUnverified, kFailed };

// One TLS connection over a socket the caller owns. Not copyable; closing it leaves the socket
// open.
class TlsStream {
 public:
  TlsStream() = default;
  ~TlsStream() { Close(); }
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // The browser's side: we are the server, showing the certificate for the name the browser
  // asks for (SNI), or for fallbackHost when it names none.
  bool AcceptBrowser(const Socket& s, const char* fallbackHost);

  // The origin's side: we are the client. The origin's chain is verified against the system's
  // trust store and its certificate against host. kUnverified leaves the reason in error. A
  // session this origin (host and port) gave before is offered again, so that it can resume.
  OriginHandshake ConnectOrigin(const Socket& s, const char* host, int port, std::span<char> error);

  // As ReceiveSome and SendAll for a plain socket.
  long Receive(std::span<char> buffer, int timeoutMs = -1);
  int Send(std::span<const char> bytes);

  // True when the peer's last handshake resumed an earlier session.
  bool Resumed() const;

  // True when received bytes wait in the stream, decrypted or not, so that the socket may show
  // nothing to read.
  bool HasBuffered() const;

  // Says goodbye (close_notify) once; what the peer still sends can be received after it.
  void EndSending();

  // Says goodbye (close_notify) when the connection is still sound, and frees it.
  void Close();

  bool Active() const { return session_ != nullptr; }

 private:
  TlsSession* session_ = nullptr;
  int fd_ = -1;
  bool broken_ = false;
  bool saidGoodbye_ = false;
  int originPort_ = 0;                             // set while connected to an origin
  char originHost_[kMaxCertificateHost + 1] = {};  // its host, the key of its kept session
};
