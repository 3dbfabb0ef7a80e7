#include "core/last_page_url.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace {

struct Memory {
  IpAddress client;  // none: this machine's clients
  uint64_t lastUse = 0;
  bool used = false;
  char url[kLastPageUrlSize] = {};
};

struct Memories {
  std::mutex lock;
  uint64_t clock = 0;
  Memory local;
  Memory others[kRememberedClients];
};

// Never destroyed: detached workers may use it while the process exits.
Memories& TheMemories() {
  static auto* memories = new Memories;
  return *memories;
}

thread_local IpAddress currentClient;

// The calling thread's client's memory, made when create is set (forgetting the client idle
// longest when all are taken); null otherwise when it has none. Under the lock.
Memory* Find(Memories& m, bool create) {
  if (currentClient.length == 0) return &m.local;
  Memory* oldest = &m.others[0];
  for (Memory& memory : m.others) {
    if (memory.used && memory.client == currentClient) {
      memory.lastUse = ++m.clock;
      return &memory;
    }
    if (!memory.used || (oldest->used && memory.lastUse < oldest->lastUse)) oldest = &memory;
  }
  if (!create) return nullptr;
  *oldest = Memory{currentClient, ++m.clock, true, {}};
  return oldest;
}

// Where the user name and password of an absolute address lie: from just after "//" to the
// last "@" before the path. Empty when there are none.
std::string_view Credentials(std::string_view address) {
  size_t scheme = address.find("://");
  if (scheme == std::string_view::npos) return {};
  size_t start = scheme + 3;
  size_t end = std::min(address.find_first_of("/?#", start), address.size());
  size_t at = address.substr(start, end - start).rfind('@');
  if (at == std::string_view::npos) return {};
  return address.substr(start, at + 1);
}

}  // namespace

void UsePageMemoryOf(const IpAddress& client) {
  currentClient = client;
}

void CopyLastPageUrl(std::span<char> dst) {
  if (dst.empty()) return;
  Memories& m = TheMemories();
  std::lock_guard<std::mutex> hold(m.lock);
  const Memory* memory = Find(m, false);
  const char* url = memory != nullptr ? memory->url : "";
  size_t n = std::min(::strnlen(url, kLastPageUrlSize - 1), dst.size() - 1);
  std::memcpy(dst.data(), url, n);
  dst[n] = '\0';
}

void SetLastPageUrl(std::string_view address) {
  std::string_view credentials = Credentials(address);
  size_t skipFrom = credentials.empty() ? address.size() : credentials.data() - address.data();
  std::string_view before = address.substr(0, skipFrom);
  std::string_view after = address.substr(std::min(address.size(), skipFrom + credentials.size()));
  Memories& m = TheMemories();
  std::lock_guard<std::mutex> hold(m.lock);
  char* url = Find(m, true)->url;
  size_t n = std::min(before.size(), kLastPageUrlSize - 1);
  if (n > 0) std::memcpy(url, before.data(), n);
  size_t rest = std::min(after.size(), kLastPageUrlSize - 1 - n);
  if (rest > 0) std::memcpy(url + n, after.data(), rest);
  url[n + rest] = '\0';
}

void EditLastPageUrl(void (*edit)(std::span<char> address)) {
  Memories& m = TheMemories();
  std::lock_guard<std::mutex> hold(m.lock);
  char* url = Find(m, true)->url;
  edit(std::span<char>(url, kLastPageUrlSize));
  url[kLastPageUrlSize - 1] = '\0';
}
