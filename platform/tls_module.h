// What the TLS module hands the program: every call of tls.h, as a table. OpenSSL lives in that
// module (platform/openssl/), which the program loads only when HTTPS inspection is first
// turned on (platform/posix/tls_loader.cpp), so that a proxy that never inspects neither maps
// nor relocates the TLS libraries.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "platform/tls.h"

// Raised whenever the table or TlsStream changes: a module of another build is refused.
inline constexpr int kTlsModuleVersion = 5;

// The module's file name, and the one name it exports.
inline constexpr char kTlsModuleFile[] = "corvane-tls.so";
inline constexpr char kTlsModuleEntry[] = "corvane_tls_module";

struct TlsModule {
  int version;
  size_t streamSize;  // sizeof(TlsStream) as the module sees it
  bool (*makeAuthorityPem)(std::string_view, std::string_view, std::string*, std::string*);
  AuthorityUse (*useAuthority)(std::string_view, std::string_view);
  bool (*authorityInUse)();
  void (*stopUsingAuthority)();
  bool (*hostCertificatePem)(const char*, std::string*);
  BrowserHandshake (*acceptBrowser)(TlsStream*, const Socket&, const char*, int);
  OriginHandshake (*connectOrigin)(TlsStream*, const Socket&, const char*, int, int,
                                   std::span<char>, bool);
  void (*setIdleTimeout)(TlsStream*, int);
  long (*receive)(TlsStream*, std::span<char>, int);
  int (*send)(TlsStream*, std::span<const char>);
  bool (*endedWithGoodbye)(const TlsStream*);
  bool (*askedForClientCertificate)(const TlsStream*);
  bool (*resumed)(const TlsStream*);
  bool (*hasBuffered)(const TlsStream*);
  void (*endSending)(TlsStream*);
  void (*close)(TlsStream*);
  void (*abort)(TlsStream*);
};

using TlsModuleEntry = const TlsModule* (*)();
