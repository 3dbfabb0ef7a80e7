#include "core/origin_pool.h"

#include <cstring>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

struct Idle {
  OriginPlace place;
  Connection connection;
  Clock::time_point since;
};

struct Pool {
  std::mutex lock;
  Idle idle[kMostIdleOrigins];
};

// Never destroyed: workers may still return connections while the process exits.
Pool& ThePool() {
  static auto* pool = new Pool;
  return *pool;
}

// An idle connection's origin has closed it, or sent what no request asked for: either way it
// can carry no next answer.
bool Spoiled(const Connection& c) {
  return c.HasBuffered() || WaitReadable(c.socket, Socket(), 0) != 0;
}

}  // namespace

bool operator==(const OriginPlace& a, const OriginPlace& b) {
  return a.tls == b.tls && a.port == b.port && a.upstreamPort == b.upstreamPort &&
         std::strcmp(a.host, b.host) == 0 && std::strcmp(a.upstream, b.upstream) == 0;
}

bool TakeIdleOrigin(const OriginPlace& place, Connection* into) {
  Pool& p = ThePool();
  for (;;) {
    Connection found;
    Clock::time_point since;
    {
      std::lock_guard<std::mutex> hold(p.lock);
      // The most recently kept first: the least likely to have been closed by its origin.
      Idle* best = nullptr;
      for (Idle& i : p.idle) {
        if (i.connection.Open() && i.place == place && (best == nullptr || i.since > best->since))
          best = &i;
      }
      if (best == nullptr) return false;
      found = std::move(best->connection);
      since = best->since;
    }
    if (Clock::now() - since > std::chrono::milliseconds(kOriginIdleMs) || Spoiled(found)) {
      found.Reset();  // outside the lock, as every close here
      continue;
    }
    *into = std::move(found);
    return true;
  }
}

void KeepIdleOrigin(const OriginPlace& place, Connection* from) {
  Pool& p = ThePool();
  Connection evicted;
  {
    std::lock_guard<std::mutex> hold(p.lock);
    Idle* slot = nullptr;
    Idle* oldestOfPlace = nullptr;
    size_t ofPlace = 0;
    for (Idle& i : p.idle) {
      if (!i.connection.Open()) {
        if (slot == nullptr) slot = &i;
        continue;
      }
      if (i.place == place) {
        ++ofPlace;
        if (oldestOfPlace == nullptr || i.since < oldestOfPlace->since) oldestOfPlace = &i;
      }
    }
    if (ofPlace >= kOriginsPerPlace) {
      slot = oldestOfPlace;
    } else if (slot == nullptr) {
      slot = &p.idle[0];
      for (Idle& i : p.idle)
        if (i.since < slot->since) slot = &i;
    }
    evicted = std::move(slot->connection);
    slot->place = place;
    slot->connection = std::move(*from);
    slot->since = Clock::now();
  }
  if (evicted.Open()) evicted.Close();  // outside the lock: a TLS goodbye may wait
}

void DropStaleOrigins() {
  Pool& p = ThePool();
  auto now = Clock::now();
  for (Idle& i : p.idle) {
    Connection stale;
    {
      std::lock_guard<std::mutex> hold(p.lock);
      if (!i.connection.Open() || now - i.since < std::chrono::milliseconds(kOriginIdleMs))
        continue;
      stale = std::move(i.connection);
    }
    stale.Close();
  }
}

void DropAllOrigins() {
  Pool& p = ThePool();
  for (Idle& i : p.idle) {
    Connection gone;
    {
      std::lock_guard<std::mutex> hold(p.lock);
      gone = std::move(i.connection);
    }
    if (gone.Open()) gone.Close();
  }
}
