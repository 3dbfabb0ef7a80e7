// The module's one exported name: the table of its calls. Everything else in the module is
// hidden, so its own calls stay within it.
#include "platform/tls_module.h"

namespace {

const TlsModule kModule = {
    kTlsModuleVersion,
    sizeof(TlsStream),
    MakeAuthorityPem,
    UseAuthority,
    AuthorityInUse,
    StopUsingAuthority,
    HostCertificatePem,
    [](TlsStream* s, const Socket& socket, const char* host, int timeoutMs) {
      return s->AcceptBrowser(socket, host, timeoutMs);
    },
    [](TlsStream* s, const Socket& socket, const char* host, int port, int timeoutMs,
       std::span<char> error, bool offerHttp2) {
      return s->ConnectOrigin(socket, host, port, timeoutMs, error, offerHttp2);
    },
    [](TlsStream* s, int timeoutMs) { s->SetIdleTimeout(timeoutMs); },
    [](TlsStream* s, std::span<char> buffer, int timeoutMs) {
      return s->Receive(buffer, timeoutMs);
    },
    [](TlsStream* s, std::span<const char> bytes) { return s->Send(bytes); },
    [](const TlsStream* s) { return s->EndedWithGoodbye(); },
    [](const TlsStream* s) { return s->AskedForClientCertificate(); },
    [](const TlsStream* s) { return s->Resumed(); },
    [](const TlsStream* s) { return s->HasBuffered(); },
    [](TlsStream* s) { s->EndSending(); },
    [](TlsStream* s) { s->Close(); },
    [](TlsStream* s) { s->Abort(); },
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const TlsModule* corvane_tls_module() {
  return &kModule;
}
