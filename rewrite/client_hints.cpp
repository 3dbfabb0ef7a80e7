#include "rewrite/client_hints.h"

#include <string_view>

#include "core/header_removal.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "rewrite/header_lines.h"

namespace {

// What a hint tells the site, and so which setting withholds it.
enum class Tells {
  kDevice,   // withheld unless SendMachine is on, as the UA-* lines are
  kBrowser,  // the real browser's name and version: withheld while ChangeUA is on
};

struct ClientHint {
  std::string_view name;
  Tells tells;
};

// The request lines of the HTTP Client Hints and User-Agent Client Hints drafts (with the device
// memory one of the Device Memory draft), and the unprefixed names browsers first sent some of
// them under. A new hint is one more row.
constexpr ClientHint kClientHints[] = {
    {"Sec-CH-UA-Platform", Tells::kDevice},
    {"Sec-CH-UA-Platform-Version", Tells::kDevice},
    {"Sec-CH-UA-Arch", Tells::kDevice},
    {"Sec-CH-UA-Bitness", Tells::kDevice},
    {"Sec-CH-UA-Model", Tells::kDevice},
    {"Sec-CH-UA-WoW64", Tells::kDevice},
    {"Sec-CH-UA-Form-Factors", Tells::kDevice},
    {"Sec-CH-UA-Mobile", Tells::kDevice},
    {"Sec-CH-Viewport-Width", Tells::kDevice},
    {"Sec-CH-Viewport-Height", Tells::kDevice},
    {"Sec-CH-Width", Tells::kDevice},
    {"Sec-CH-DPR", Tells::kDevice},
    {"Sec-CH-Device-Memory", Tells::kDevice},
    {"Viewport-Width", Tells::kDevice},
    {"Width", Tells::kDevice},
    {"DPR", Tells::kDevice},
    {"Device-Memory", Tells::kDevice},
    {"Sec-CH-UA", Tells::kBrowser},
    {"Sec-CH-UA-Full-Version", Tells::kBrowser},
    {"Sec-CH-UA-Full-Version-List", Tells::kBrowser},
};

// The answer lines by which a site asks for hints, the second also for the request again.
constexpr std::string_view kHintRequests[] = {"Accept-CH", "Critical-CH"};

}  // namespace

void RemoveClientHints(std::span<char> chunk) {
  std::string_view text = TextIn(chunk);
  if (text.size() >= chunk.size()) return;  // no terminator: not a text to edit
  ProxySettings settings = CurrentSettings();
  std::string_view withheld[std::size(kClientHints)];
  size_t count = 0;
  for (const ClientHint& hint : kClientHints) {
    bool withhold =
        hint.tells == Tells::kDevice ? settings.SendMachine == 0 : settings.ChangeUA != 0;
    if (withhold) withheld[count++] = hint.name;
  }
  if (count == 0) return;
  size_t length = RemoveHeaderLines(chunk.first(text.size()), HeadLines(text).size(),
                                    std::span<const std::string_view>(withheld, count));
  chunk[length] = '\0';
}

size_t RemoveHintRequests(std::span<char> answer) {
  if (CurrentSettings().SendMachine != 0) return answer.size();
  size_t headEnd = std::string_view(answer.data(), answer.size()).find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return answer.size();
  return RemoveHeaderLines(answer, headEnd + 2, kHintRequests);
}
