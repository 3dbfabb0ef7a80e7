#include "core/client_hello.h"

#include <cstdint>

#include "core/toolkit.h"

namespace {

// Reads big-endian lengths and skips fields, never past the end.
struct Reader {
  std::string_view bytes;
  bool ok = true;

  size_t Number(size_t width) {
    if (bytes.size() < width) {
      ok = false;
      return 0;
    }
    size_t value = 0;
    for (size_t i = 0; i < width; ++i)
      value = value << 8 | static_cast<uint8_t>(bytes[i]);
    bytes.remove_prefix(width);
    return value;
  }
  std::string_view Take(size_t count) {
    if (bytes.size() < count) {
      ok = false;
      return {};
    }
    std::string_view taken = bytes.substr(0, count);
    bytes.remove_prefix(count);
    return taken;
  }
};

constexpr uint8_t kHandshakeRecord = 22;
constexpr uint8_t kClientHello = 1;
constexpr size_t kServerNameExtension = 0;
constexpr size_t kHostName = 0;

}  // namespace

HelloName ServerNameOf(std::string_view bytes, std::string_view* name) {
  Reader record{bytes};
  if (!bytes.empty() && static_cast<uint8_t>(bytes[0]) != kHandshakeRecord)
    return HelloName::kNotTls;
  record.Number(1);
  record.Number(2);  // the record layer's version
  size_t length = record.Number(2);
  if (!record.ok) return HelloName::kIncomplete;
  std::string_view body = record.Take(length);
  if (!record.ok) return HelloName::kIncomplete;
  // A ClientHello spread over several records is left unread: browsers send one of a few KB.
  Reader hello{body};
  if (hello.Number(1) != kClientHello) return HelloName::kNotTls;
  hello.bytes = hello.Take(hello.Number(3));
  hello.Number(2);              // client version
  hello.Take(32);               // random
  hello.Take(hello.Number(1));  // session id
  hello.Take(hello.Number(2));  // cipher suites
  hello.Take(hello.Number(1));  // compression methods
  if (!hello.ok) return HelloName::kNotTls;
  if (hello.bytes.empty()) return HelloName::kNone;  // no extensions at all
  Reader extensions{hello.Take(hello.Number(2))};
  while (hello.ok && extensions.ok && !extensions.bytes.empty()) {
    size_t type = extensions.Number(2);
    Reader data{extensions.Take(extensions.Number(2))};
    if (!extensions.ok || type != kServerNameExtension) continue;
    Reader list{data.Take(data.Number(2))};
    while (list.ok && !list.bytes.empty()) {
      size_t kind = list.Number(1);
      std::string_view host = list.Take(list.Number(2));
      if (list.ok && kind == kHostName) {
        *name = host;
        return HelloName::kNamed;
      }
    }
    return HelloName::kNotTls;  // a server name extension without a host name
  }
  return hello.ok && extensions.ok ? HelloName::kNone : HelloName::kNotTls;
}

bool SameHostName(std::string_view named, std::string_view host) {
  if (named.ends_with('.')) named.remove_suffix(1);
  return named.size() == host.size() &&
         MatchNoCase(named, host, static_cast<int>(host.size())) == 1;
}
