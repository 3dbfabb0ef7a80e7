#include "core/access_rules.h"

#include <algorithm>
#include <charconv>

namespace {

// Whether a matches range/prefix: the first prefix bits agree, both of one family.
bool InRange(const IpAddress& a, const IpAddress& range, int prefix) {
  if (a.length != range.length) return false;
  for (int bit = 0; bit < prefix; bit += 8) {
    int bits = prefix - bit < 8 ? prefix - bit : 8;
    auto mask = static_cast<uint8_t>(0xFF << (8 - bits));
    if ((a.bytes[bit / 8] & mask) != (range.bytes[bit / 8] & mask)) return false;
  }
  return true;
}

// One entry of the allowed list: an address, or an address and a prefix length.
bool Matches(const IpAddress& client, std::string_view entry) {
  size_t slash = entry.find('/');
  IpAddress range;
  if (!ParseIpAddress(entry.substr(0, slash), &range)) return false;
  int prefix = range.length * 8;
  if (slash != std::string_view::npos) {
    std::string_view bits = entry.substr(slash + 1);
    auto [end, error] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
    if (error != std::errc() || end != bits.data() + bits.size() || prefix < 0 ||
        prefix > range.length * 8)
      return false;
  }
  return InRange(client, range, prefix);
}

}  // namespace

bool IsLocalClient(const IpAddress& client) {
  return IsLoopbackAddress(client) || IsOwnAddress(client);
}

bool ClientAllowed(const IpAddress& client, std::string_view allowed) {
  if (IsLoopbackAddress(client)) return true;
  constexpr std::string_view kSeparators = " ;\t";
  for (size_t at = allowed.find_first_not_of(kSeparators); at != std::string_view::npos;
       at = allowed.find_first_not_of(kSeparators, at)) {
    size_t end = std::min(allowed.find_first_of(kSeparators, at), allowed.size());
    if (Matches(client, allowed.substr(at, end - at))) return true;
    at = end;
  }
  return IsOwnAddress(client);
}

ConnectResult JudgeTarget(const IpAddress& address, uint16_t port, const void* context) {
  const auto& rules = *static_cast<const TargetRules*>(context);
  bool mayLoop = port == rules.listeningPort;
  bool mayTrespass = rules.remoteClient && !rules.upstream;
  if (!mayLoop && !mayTrespass) return ConnectResult::kConnected;  // the common case, at no cost
  if (mayTrespass && IsLinkLocalAddress(address)) return ConnectResult::kForbidden;
  // The machine's own addresses are asked of the system last: it costs a call.
  bool thisMachine =
      IsLoopbackAddress(address) || IsUnspecifiedAddress(address) || IsOwnAddress(address);
  if (!thisMachine) return ConnectResult::kConnected;
  return mayLoop ? ConnectResult::kLoop : ConnectResult::kForbidden;
}
