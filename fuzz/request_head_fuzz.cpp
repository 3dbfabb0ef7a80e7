// A received request head through everything that edits it before it leaves, in the exchange's
// order: the request filters under the settings taken from the input, the request address, the
// "[object]" repair, the connection line, and the choice of target with its Host line.
//
// Input: one byte of settings flags, the UAName text, a NUL, the remembered page, a NUL, and the
// received bytes. Flag bits, from the lowest: SendReferer, ChangeUA, SendMachine, SpaceConvert,
// SpaceConvertAll, UseProxy; bit 6 switches flags on with -1 instead of 1; bit 7 takes UAName as
// UTF-16 units (two bytes each, least significant first) instead of UTF-8.
#include <algorithm>
#include <cstdint>
#include <string>

#include "core/connection_close.h"
#include "core/last_page_url.h"
#include "core/request_head.h"
#include "core/request_target.h"
#include "core/server.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/object_repair_check.h"
#include "fuzz/text_model.h"
#include "platform/text_convert.h"
#include "rewrite/page_memory.h"
#include "rewrite/request_filters.h"

namespace {

constexpr std::string_view kLengthName = "Content-Length:";
// The filters read an old length value of at most this many bytes.
constexpr size_t kMaxLengthValue = 63;

struct Input {
  uint8_t flags = 0;
  std::string_view uaName;
  std::string_view page;
  std::string_view received;
};

Input Parse(const uint8_t* data, size_t size) {
  Input in;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  if (rest.empty()) return in;
  in.flags = static_cast<uint8_t>(rest[0]);
  rest.remove_prefix(1);
  in.uaName = TakeField(&rest);
  in.page = TakeField(&rest);
  in.received = rest.substr(0, std::min(rest.size(), kChunkReceiveLimit));
  return in;
}

ProxySettings SettingsFor(const Input& in) {
  int32_t on = (in.flags & 0x40) != 0 ? -1 : 1;
  auto flag = [&](int bit) { return (in.flags >> bit & 1) != 0 ? on : 0; };
  ProxySettings settings;
  settings.SendReferer = flag(0);
  settings.ChangeUA = flag(1);
  settings.SendMachine = flag(2);
  settings.SpaceConvert = flag(3);
  settings.SpaceConvertAll = flag(4);
  settings.UseProxy = flag(5);
  if ((in.flags & 0x80) != 0) {
    size_t units = std::min(in.uaName.size() / 2, std::size(settings.UAName) - 1);
    for (size_t i = 0; i < units; ++i)
      settings.UAName[i] = static_cast<char16_t>(static_cast<uint8_t>(in.uaName[2 * i]) |
                                                 static_cast<uint8_t>(in.uaName[2 * i + 1]) << 8);
  } else {
    SingleByteToWide(in.uaName, settings.UAName);
  }
  return settings;
}

std::string RememberedPage() {
  char page[kLastPageUrlSize];
  CopyLastPageUrl(page);
  return std::string(TextIn(page));
}

void CheckRememberedPageTerminated() {
  EditLastPageUrl([](std::span<char> page) { FUZZ_CHECK(TerminatedWithin(page)); });
}

bool IsLengthLine(std::string_view line) {
  return StartsWithNoCase(line, kLengthName);
}

// The header lines of a head (cut after each line feed, the request line left out), without
// those that carry a length.
std::vector<std::string_view> OtherHeaderLines(std::string_view head) {
  std::vector<std::string_view> lines = Pieces(head, "\n");
  std::vector<std::string_view> others;
  for (size_t i = 1; i < lines.size(); ++i)
    if (!IsLengthLine(lines[i])) others.push_back(lines[i]);
  return others;
}

std::vector<std::string_view> LengthLines(std::string_view head) {
  std::vector<std::string_view> lines = Pieces(head, "\n");
  std::vector<std::string_view> found;
  for (size_t i = 1; i < lines.size(); ++i)
    if (IsLengthLine(lines[i])) found.push_back(lines[i]);
  return found;
}

// A length line that stands between two "\r\n", with no bare "\n" before or in it, can be taken
// out whole and written anew elsewhere; any other is corrected where it stands.
bool IsWholeLine(std::string_view head, std::string_view line) {
  size_t at = static_cast<size_t>(line.data() - head.data());
  return at >= 2 && head.substr(at - 2, 2) == "\r\n" && line.ends_with("\r\n");
}

// text with the number after the length line's name (white space, sign, digits) lowered by
// shrink in place; unchanged when the value up to the line feed does not fit 63 bytes.
std::string ValueRewrittenInPlace(std::string_view text, std::string_view line, size_t shrink) {
  std::string_view value = line.substr(kLengthName.size());
  value = value.substr(0, value.find('\n'));
  if (value.size() > kMaxLengthValue) return std::string(text);
  size_t from = static_cast<size_t>(line.data() - text.data()) + kLengthName.size();
  while (from < text.size() && (text[from] == ' ' || text[from] == '\t'))
    ++from;
  size_t to = from;
  if (to < text.size() && (text[to] == '-' || text[to] == '+')) ++to;
  while (to < text.size() && text[to] >= '0' && text[to] <= '9')
    ++to;
  long long corrected =
      static_cast<long long>(DecimalValue(value)) - static_cast<long long>(shrink);
  return std::string(text.substr(0, from)) + std::to_string(corrected) +
         std::string(text.substr(to));
}

// The form conversion, the last filter, against a model of it: before is the chunk as the other
// filters leave it, after the chunk as it leaves the filters. Every "%3F" (or "%3E%3F") of a form
// post is converted, and when the body lost bytes its length line declares exactly that many
// bytes fewer: the length of the body left in the chunk when it had declared the body whole.
void CheckFormConversion(std::string_view before, std::string_view after,
                         const ProxySettings& settings) {
  if (settings.SpaceConvert == 0 ||
      before.find("x-www-form-urlencoded") == std::string_view::npos) {
    FUZZ_CHECK(after == before);
    return;
  }
  std::string converted = settings.SpaceConvertAll != 0
                              ? ReplaceFirstNoCase(before, "%3F", "+", SIZE_MAX)
                              : ReplaceFirstNoCase(before, "%3E%3F", "%3E+", SIZE_MAX);
  HeadBody b = SplitHead(before);
  HeadBody c = SplitHead(converted);
  HeadBody a = SplitHead(after);
  size_t shrink = b.body.size() - c.body.size();
  // The length line is read after the conversion, which may have reached into it.
  std::vector<std::string_view> oldLengths = LengthLines(c.head);
  if (shrink == 0 || oldLengths.empty()) {
    FUZZ_CHECK(after == converted);
    return;
  }
  FUZZ_CHECK(a.complete == c.complete);
  FUZZ_CHECK(a.body == c.body);
  std::string_view old = oldLengths.front();
  if (!IsWholeLine(c.head, old)) {
    FUZZ_CHECK(after == ValueRewrittenInPlace(converted, old, shrink));
    return;
  }
  std::string_view oldValue = old.substr(kLengthName.size(), old.size() - kLengthName.size() - 2);
  if (oldValue.size() > kMaxLengthValue) {
    FUZZ_CHECK(after == converted);
    return;
  }
  FUZZ_CHECK(OtherHeaderLines(a.head) == OtherHeaderLines(c.head));
  std::vector<std::string_view> newLengths = LengthLines(a.head);
  FUZZ_CHECK(newLengths.size() == oldLengths.size());
  if (oldLengths.size() != 1) return;
  long long declared = DecimalValue(oldValue);
  long long corrected = declared - static_cast<long long>(shrink);
  std::string expected =
      std::string(old.substr(0, kLengthName.size())) + " " + std::to_string(corrected) + "\r\n";
  FUZZ_CHECK(newLengths.front() == expected);
  if (declared == static_cast<long long>(b.body.size()))
    FUZZ_CHECK(corrected == static_cast<long long>(a.body.size()));
}

// Runs the filters over a copy of the chunk with the form conversion left out, so that its
// effect can be told apart from the other filters'. The remembered page is the one the real run
// left, with its "/%7E" repair made.
std::string FilteredWithoutConversion(std::string_view received, ProxySettings settings) {
  settings.SpaceConvert = 0;
  ReplaceSettings(settings);
  FuzzBuffer chunk(kChunkBufferSize);
  std::memcpy(chunk.data(), received.data(), received.size());
  chunk.data()[received.size()] = '\0';
  ApplyRequestFilters(chunk.first(kChunkBufferSize - kConnectionLineRoom));
  return std::string(TextIn(chunk.all()));
}

bool IsHopByHop(std::string_view line) {
  return StartsWithNoCase(line, "Connection:") || StartsWithNoCase(line, "Proxy-Connection:") ||
         StartsWithNoCase(line, "Keep-Alive:");
}

// Whether a head asks to switch protocols: an "Upgrade:" line, and "upgrade" as a whole token of
// a "Connection:" line's comma or space separated value, in any letter case.
bool ModelAsksForUpgrade(const std::vector<std::string_view>& lines) {
  bool line = false;
  bool token = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string lower(lines[i]);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    if (lower.starts_with("upgrade:")) line = true;
    if (!lower.starts_with("connection:")) continue;
    std::string value = lower.substr(11);
    if (value.ends_with("\r\n")) value.resize(value.size() - 2);  // pieces keep their separator
    std::replace_if(
        value.begin(), value.end(), [](char c) { return c == ',' || c == '\t'; }, ' ');
    for (std::string_view word : Pieces(value, " "))
      if (word == "upgrade " || word == "upgrade") token = true;
  }
  return line && token;
}

// A complete head leaves with every hop-by-hop line gone and "Connection: keep-alive" (for one
// that asks to switch protocols, "Connection: Upgrade") as its last line; nothing else in it or in
// the body changes. An incomplete one is left alone.
void CheckConnectionLine(std::string_view before, std::string_view after, int result) {
  HeadBody b = SplitHead(before);
  FUZZ_CHECK(result == (b.complete ? 1 : 0));
  if (!b.complete) {
    FUZZ_CHECK(after == before);
    return;
  }
  HeadBody a = SplitHead(after);
  FUZZ_CHECK(a.complete && a.body == b.body);
  std::vector<std::string_view> lines = Pieces(b.head, "\r\n");
  std::vector<std::string_view> expected(lines.begin(), lines.begin() + 1);
  for (size_t i = 1; i < lines.size(); ++i)
    if (!IsHopByHop(lines[i])) expected.push_back(lines[i]);
  expected.push_back(ModelAsksForUpgrade(lines) ? kConnectionUpgradeLine
                                                : kConnectionKeepAliveLine);
  FUZZ_CHECK(Pieces(a.head, "\r\n") == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in = Parse(data, size);
  ProxySettings settings = SettingsFor(in);
  SetLastPageUrl(std::string(in.page));

  // The chunk as the worker holds it: the received bytes, a NUL, and the room after them.
  FuzzBuffer chunk(kChunkBufferSize);
  if (!in.received.empty()) std::memcpy(chunk.data(), in.received.data(), in.received.size());
  chunk.data()[in.received.size()] = '\0';
  std::string received(TextIn(chunk.all()));
  const size_t rewritableSize = kChunkBufferSize - kConnectionLineRoom;
  std::span<char> rewritable = chunk.first(rewritableSize);

  ReplaceSettings(settings);
  ApplyRequestFilters(rewritable);
  CheckRememberedPageTerminated();
  FUZZ_CHECK(TerminatedWithin(rewritable));
  FUZZ_CHECK(chunk.UntouchedFrom(rewritableSize));
  std::string filtered(TextIn(chunk.all()));
  std::string page = RememberedPage();
  CheckFormConversion(FilteredWithoutConversion(received, settings), filtered, settings);
  ReplaceSettings(settings);
  FUZZ_CHECK(RememberedPage() == page);

  // The address buffer keeps what the worker's previous exchange left in it.
  FuzzBuffer address(kRequestAddressSize);
  std::memcpy(address.data(), "/previous", 10);
  GetRequestAddress(TextIn(chunk.all()), address.all());
  FUZZ_CHECK(TerminatedWithin(address.all()));
  std::string addressBefore(TextIn(address.all()));
  RepairObjectAddress(rewritable, address.all());
  FUZZ_CHECK(TerminatedWithin(rewritable));
  FUZZ_CHECK(TerminatedWithin(address.all()));
  FUZZ_CHECK(chunk.UntouchedFrom(rewritableSize));
  std::string repaired(TextIn(chunk.all()));
  CheckObjectRepair(filtered, repaired, addressBefore, TextIn(address.all()), page);

  int lined = ForceConnectionLine(chunk.all());
  FUZZ_CHECK(TerminatedWithin(chunk.all()));
  CheckConnectionLine(repaired, TextIn(chunk.all()), lined);

  // The target as the exchange takes it from a head read strictly: the Host line sent on names
  // it, exactly once, and the address loses its scheme and host.
  RequestHead head;
  std::string text(TextIn(chunk.all()));
  if (settings.UseProxy == 0 && ReadRequestHead(text, &head) == HeadVerdict::kComplete) {
    FuzzBuffer host(kTargetHostSize);
    host.data()[0] = '\0';
    int32_t port = 0;
    if (RequestTargetOf(head.target, head.host, host.all(), &port)) {
      FUZZ_CHECK(TerminatedWithin(host.all()));
      std::string authority(AuthorityOf(head.target));
      if (!authority.empty() && MatchHostLine(chunk.all(), authority)) {
        FUZZ_CHECK(TerminatedWithin(chunk.all()));
        RequestHead matched;
        FUZZ_CHECK(ReadRequestHead(TextIn(chunk.all()), &matched) == HeadVerdict::kComplete);
        FUZZ_CHECK(matched.host == authority);
      }
      size_t length = TextIn(chunk.all()).size();
      StripAbsoluteAddress(chunk.all());
      FUZZ_CHECK(TerminatedWithin(chunk.all()));
      FUZZ_CHECK(TextIn(chunk.all()).size() <= length);
    }
  }
  return 0;
}
