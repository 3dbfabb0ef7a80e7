// tls.h for the program: each call goes to the TLS module, loaded the first time inspection
// needs it. Until then (and for good when the module cannot be loaded) nothing is inspected, as
// in a build without TLS.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/tls_module.h"

namespace {

std::atomic<const TlsModule*> loadedModule{nullptr};

// Opens the module at path when it is one of this build; null otherwise.
const TlsModule* OpenModuleAt(const std::string& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  auto entry = reinterpret_cast<TlsModuleEntry>(::dlsym(handle, kTlsModuleEntry));
  const TlsModule* module = entry != nullptr ? entry() : nullptr;
  if (module != nullptr && module->version == kTlsModuleVersion &&
      module->streamSize == sizeof(TlsStream))
    return module;  // stays loaded for the life of the process
  std::fprintf(stderr, "corvane: %s is of another build; HTTPS inspection stays off\n",
               path.c_str());
  ::dlclose(handle);
  return nullptr;
}

// The folders the program's own search path names (its RUNPATH: the build folder when it runs
// from there). They are read and tried by hand: under the sanitizers dlopen searches from their
// library, not from the program.
std::vector<std::string> ProgramSearchFolders() {
  std::vector<std::string> folders;
  void* self = ::dlopen(nullptr, RTLD_NOW);
  Dl_serinfo size;
  if (self == nullptr || ::dlinfo(self, RTLD_DI_SERINFOSIZE, &size) != 0) return folders;
  std::vector<std::max_align_t> room(size.dls_size / sizeof(std::max_align_t) + 1);
  auto* info = reinterpret_cast<Dl_serinfo*>(room.data());
  *info = size;
  if (::dlinfo(self, RTLD_DI_SERINFO, info) != 0) return folders;
  for (unsigned i = 0; i < info->dls_cnt; ++i) {
    if (info->dls_serpath[i].dls_name[0] != '\0')
      folders.emplace_back(info->dls_serpath[i].dls_name);
  }
  return folders;
}

// An installed program finds the module in a folder relative to its own (CMake's install
// layout, e.g. "../lib/x86_64-linux-gnu/corvane"), so that any prefix works; one in a build
// folder finds it through its search path.
const TlsModule* OpenModule() {
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string program(self, static_cast<size_t>(n));
    std::string folder = program.substr(0, program.rfind('/') + 1) + CORVANE_TLS_MODULE_FROM_BIN;
    if (const TlsModule* module = OpenModuleAt(folder + "/" + kTlsModuleFile)) return module;
  }
  for (const std::string& folder : ProgramSearchFolders()) {
    if (const TlsModule* module = OpenModuleAt(folder + "/" + kTlsModuleFile)) return module;
  }
  return nullptr;
}

// Loads the module once; null when it cannot be had.
const TlsModule* Module() {
  static const TlsModule* module = [] {
    const TlsModule* opened = OpenModule();
    loadedModule.store(opened, std::memory_order_release);
    return opened;
  }();
  return module;
}

// The module when it has been loaded, without loading it: the calls an exchange makes on every
// request stay a load and a test while inspection has never been on.
const TlsModule* Loaded() {
  return loadedModule.load(std::memory_order_acquire);
}

}  // namespace

bool TlsAvailable() {
  return Module() != nullptr;
}

bool MakeAuthorityPem(std::string_view commonName, std::string_view organization,
                      std::string* certificatePem, std::string* keyPem) {
  const TlsModule* m = Module();
  return m != nullptr && m->makeAuthorityPem(commonName, organization, certificatePem, keyPem);
}

AuthorityUse UseAuthority(std::string_view certificatePem, std::string_view keyPem) {
  const TlsModule* m = Module();
  return m != nullptr ? m->useAuthority(certificatePem, keyPem) : AuthorityUse::kFailed;
}

bool AuthorityInUse() {
  const TlsModule* m = Loaded();
  return m != nullptr && m->authorityInUse();
}

void StopUsingAuthority() {
  if (const TlsModule* m = Loaded()) m->stopUsingAuthority();
}

bool HostCertificatePem(const char* host, std::string* pem) {
  const TlsModule* m = Loaded();
  return m != nullptr && m->hostCertificatePem(host, pem);
}

BrowserHandshake TlsStream::AcceptBrowser(const Socket& s, const char* host, int timeoutMs) {
  const TlsModule* m = Loaded();
  return m != nullptr ? m->acceptBrowser(this, s, host, timeoutMs) : BrowserHandshake::kFailed;
}

OriginHandshake TlsStream::ConnectOrigin(const Socket& s, const char* host, int port, int timeoutMs,
                                         std::span<char> error, bool offerHttp2) {
  if (const TlsModule* m = Loaded())
    return m->connectOrigin(this, s, host, port, timeoutMs, error, offerHttp2);
  if (!error.empty()) error[0] = '\0';
  return OriginHandshake::kFailed;
}

void TlsStream::SetIdleTimeout(int timeoutMs) {
  if (const TlsModule* m = Loaded()) m->setIdleTimeout(this, timeoutMs);
}

bool TlsStream::EndedWithGoodbye() const {
  const TlsModule* m = Loaded();
  return m != nullptr && m->endedWithGoodbye(this);
}

bool TlsStream::AskedForClientCertificate() const {
  const TlsModule* m = Loaded();
  return m != nullptr && m->askedForClientCertificate(this);
}

void TlsStream::Abort() {
  if (session_ == nullptr) return;
  if (const TlsModule* m = Loaded()) m->abort(this);
}

long TlsStream::Receive(std::span<char> buffer, int timeoutMs) {
  const TlsModule* m = Loaded();
  return m != nullptr ? m->receive(this, buffer, timeoutMs) : -1;
}

int TlsStream::Send(std::span<const char> bytes) {
  const TlsModule* m = Loaded();
  return m != nullptr ? m->send(this, bytes) : 0;
}

bool TlsStream::Resumed() const {
  const TlsModule* m = Loaded();
  return m != nullptr && m->resumed(this);
}

bool TlsStream::HasBuffered() const {
  const TlsModule* m = Loaded();
  return m != nullptr && m->hasBuffered(this);
}

void TlsStream::EndSending() {
  if (const TlsModule* m = Loaded()) m->endSending(this);
}

void TlsStream::Close() {
  // Every exchange closes both of its streams; one never opened needs no call into the module.
  if (session_ == nullptr) return;
  if (const TlsModule* m = Loaded()) m->close(this);
}
