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

enum class BrowserHandshake {
  kAccepted,
  kFailed,     // the browser went away, spoke no TLS, or the time ran out
  kOtherName,  // its ClientHello named another host (SNI): refused with unrecognized_name
};

enum class OriginHandshake {
  kConnected,
  kUnverified,         // the origin's certificate failed verification; error says why
  kFailed,             // the handshake failed otherwise; error says how, when known
  kClientCertificate,  // the origin asked for a client certificate, which only the browser has
  kOldProtocol,        // the origin offers nothing newer than TLS 1.1
  kOnlyHttp2,          // the origin speaks HTTP/2 alone
  kTimedOut,           // no handshake within the time allowed
};

// One TLS connection over a socket the caller owns. Not copyable; closing it leaves the socket
// open. While the stream is open the socket is non-blocking: every wait goes through the stream,
// so a record the peer sends of its own accord (a session ticket, a key update) is taken in
// without ever blocking the relay that waits on both sides.
class TlsStream {
 public:
  TlsStream() = default;
  ~TlsStream() { Close(); }
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;
  // A stream moves with its socket (a connection kept for the next request): its state is all
  // plain data, so moving it never calls into the TLS backend but to close what it replaces.
  TlsStream(TlsStream&& other) noexcept { Take(other); }
  TlsStream& operator=(TlsStream&& other) noexcept {
    if (this != &other) {
      Close();
      Take(other);
    }
    return *this;
  }

  // The browser's side: we are the server, showing the certificate for host, the host the
  // CONNECT named and the only one that is verified; a ClientHello that names another is refused.
  // ALPN offers "h2" before "http/1.1". The handshake must end within timeoutMs.
  BrowserHandshake AcceptBrowser(const Socket& s, const char* host, int timeoutMs);

  // The origin's side: we are the client. The origin's chain is verified against the system's
  // trust store (on Windows the Root store, read when the authority is put in use) and its
  // certificate against host. error gets the reason of a failure. A session
  // this origin (host and port) gave before is offered again, so that it can resume. ALPN offers
  // "h2" and "http/1.1", or with offerHttp2 false "http/1.1" alone. The handshake must end
  // within timeoutMs.
  OriginHandshake ConnectOrigin(const Socket& s, const char* host, int port, int timeoutMs,
                                std::span<char> error, bool offerHttp2 = true);

  // How long a later receive without a time of its own, or a send, waits for the peer.
  void SetIdleTimeout(int timeoutMs);

  // As ReceiveSome and SendAll for a plain socket. A receive of 0 is the peer's end; whether it
  // said goodbye first tells EndedWithGoodbye.
  long Receive(std::span<char> buffer, int timeoutMs = -1);
  int Send(std::span<const char> bytes);

  // After a receive of 0: true when the peer ended with close_notify, false when its connection
  // just closed, which may have cut the data short.
  bool EndedWithGoodbye() const;

  // True when the origin asked for a client certificate during the handshake: a failure that
  // follows is most likely its refusal to go on without one.
  bool AskedForClientCertificate() const;

  // True when the peer's last handshake resumed an earlier session.
  bool Resumed() const;

  // True when received bytes wait in the stream, decrypted or not, so that the socket may show
  // nothing to read.
  bool HasBuffered() const;

  // Says goodbye (close_notify) once; what the peer still sends can be received after it.
  void EndSending();

  // Says goodbye (close_notify) when the connection is still sound, and frees it.
  void Close();

  // Frees it without a goodbye: the peer sees the data end without one, as cut short.
  void Abort();

  bool Active() const { return session_ != nullptr; }

  // The peer chose HTTP/2 (ALPN "h2") in the handshake.
  bool SpeaksHttp2() const { return http2_; }

 private:
  void Take(TlsStream& other) {
    session_ = other.session_;
    fd_ = other.fd_;
    idleMs_ = other.idleMs_;
    broken_ = other.broken_;
    saidGoodbye_ = other.saidGoodbye_;
    heardGoodbye_ = other.heardGoodbye_;
    certificateRequested_ = other.certificateRequested_;
    http2_ = other.http2_;
    originPort_ = other.originPort_;
    for (size_t i = 0; i < sizeof originHost_; ++i)
      originHost_[i] = other.originHost_[i];
    other.session_ = nullptr;
    other.fd_ = kNoSocketHandle;
    other.originPort_ = 0;
    other.broken_ = other.saidGoodbye_ = other.heardGoodbye_ = other.http2_ = false;
  }

  TlsSession* session_ = nullptr;
  SocketHandle fd_ = kNoSocketHandle;  // blocking again when the stream closes
  int idleMs_ = -1;
  bool broken_ = false;
  bool saidGoodbye_ = false;
  bool heardGoodbye_ = false;
  bool certificateRequested_ = false;
  bool http2_ = false;
  int originPort_ = 0;                             // set while connected to an origin
  char originHost_[kMaxCertificateHost + 1] = {};  // its host, the key of its kept session
};
