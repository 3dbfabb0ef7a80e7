#include <algorithm>
#include <cstdio>

#include "platform/socket.h"

namespace {

// Appends to a fixed buffer, dropping what does not fit and keeping the terminator.
struct Text {
  std::span<char> out;
  size_t used = 0;
  void Put(const char* piece) {
    for (; *piece != '\0'; ++piece)
      if (used + 1 < out.size()) out[used++] = *piece;
    out[used] = '\0';
  }
};

// The IPv6 address in the compressed form of RFC 5952: the first longest run of two or more zero
// groups becomes "::", hexadecimal digits in lower case without leading zeros.
void PutIpv6(Text* text, std::span<const uint8_t> a) {
  uint16_t groups[8];
  for (size_t i = 0; i < 8; ++i)
    groups[i] = static_cast<uint16_t>(a[2 * i] << 8 | a[2 * i + 1]);
  size_t bestAt = 8, bestLength = 0;
  for (size_t i = 0; i < 8;) {
    size_t j = i;
    while (j < 8 && groups[j] == 0)
      ++j;
    if (j - i > bestLength && j - i >= 2) {
      bestAt = i;
      bestLength = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  for (size_t i = 0; i < 8; ++i) {
    if (i == bestAt) {
      text->Put("::");
      i += bestLength - 1;
      continue;
    }
    char group[8];
    std::snprintf(group, sizeof group, "%x", groups[i]);
    if (i != 0 && !(i == bestAt + bestLength && bestAt < 8)) text->Put(":");
    text->Put(group);
  }
}

bool AllZero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

}  // namespace

void SetIpAddress(std::span<const uint8_t> bytes, IpAddress* out) {
  *out = IpAddress{};
  if (bytes.size() == 16 && std::equal(bytes.begin(), bytes.begin() + 12, kMappedPrefix))
    bytes = bytes.subspan(12);
  if (bytes.size() != 4 && bytes.size() != 16) return;
  std::copy(bytes.begin(), bytes.end(), out->bytes);
  out->length = static_cast<uint8_t>(bytes.size());
}

bool IsLoopbackAddress(const IpAddress& a) {
  if (a.length == 4) return a.bytes[0] == 127;
  return a.length == 16 && AllZero({a.bytes, 15}) && a.bytes[15] == 1;
}

bool IsUnspecifiedAddress(const IpAddress& a) {
  if (a.length == 4) return a.bytes[0] == 0;
  return a.length == 16 && AllZero(a.Bytes());
}

bool IsLinkLocalAddress(const IpAddress& a) {
  if (a.length == 4) return a.bytes[0] == 169 && a.bytes[1] == 254;
  return a.length == 16 && a.bytes[0] == 0xfe && (a.bytes[1] & 0xc0) == 0x80;
}

void FormatAddressAndPort(std::span<const uint8_t> address, uint16_t port, std::span<char> out) {
  if (out.empty()) return;
  Text text{out};
  out[0] = '\0';
  if (address.size() == 16 && std::equal(address.begin(), address.begin() + 12, kMappedPrefix))
    address = address.subspan(12);
  if (AllZero(address)) {
    text.Put("*");
  } else if (address.size() == 4) {
    char v4[16];
    std::snprintf(v4, sizeof v4, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
    text.Put(v4);
  } else if (address.size() == 16) {
    text.Put("[");
    PutIpv6(&text, address);
    text.Put("]");
  } else {
    return;
  }
  char number[8];
  std::snprintf(number, sizeof number, ":%u", port);
  text.Put(number);
}
