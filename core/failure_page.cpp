#include "core/failure_page.h"

#include <algorithm>
#include <cstdio>

namespace {

// Room for a page: its fixed words, a host of up to 511 bytes and the system's text, each
// escaped at most sixfold ("&quot;").
constexpr size_t kPageRoom = 4096;

struct Words {
  std::string_view status;  // status line's code and reason
  std::string_view what;    // what happened, after the host's name
};

Words WordsFor(FailureKind kind) {
  switch (kind) {
    case FailureKind::kNoHost:
      return {"400 Bad Request", "The request names no host to send it to"};
    case FailureKind::kNotFound:
      return {"502 Bad Gateway", "was not found"};
    case FailureKind::kRefused:
      return {"502 Bad Gateway", "refused the connection"};
    case FailureKind::kUnreachable:
      return {"502 Bad Gateway", "could not be reached"};
    case FailureKind::kTimedOut:
      return {"504 Gateway Timeout", "did not answer in time"};
    case FailureKind::kSilent:
      return {"504 Gateway Timeout", "accepted the connection but sent no answer"};
    case FailureKind::kBadRequest:
      return {"400 Bad Request", "The request could not be read one way only, so it was not sent"};
    case FailureKind::kHeadTooLarge:
      return {"431 Request Header Fields Too Large",
              "The request's head is larger than the proxy reads, so it was not sent"};
    case FailureKind::kBadPort:
      return {"400 Bad Request", "names a port outside 1 to 65535"};
    case FailureKind::kNotAllowed:
      return {"403 Forbidden", "This proxy serves its own machine and the clients it was told to"};
    case FailureKind::kForbidden:
      return {"403 Forbidden", "is this machine's own, which clients from elsewhere cannot reach"};
    case FailureKind::kLoop:
      return {"508 Loop Detected", "is this proxy itself; the request would come back to it"};
    case FailureKind::kUnverified:
      return {"502 Bad Gateway", "failed the check of its certificate, so nothing was sent to it"};
    case FailureKind::kTlsFailed:
      return {"502 Bad Gateway", "failed the TLS handshake, so nothing was sent to it"};
    case FailureKind::kNoTunnel:
      return {"502 Bad Gateway", "could not be reached through the upstream proxy"};
    case FailureKind::kClientCertificate:
      return {"502 Bad Gateway",
              "asked for a client certificate, which only the browser holds; put the host on "
              "the bypass list (InspectBypass) and the browser answers it itself"};
    case FailureKind::kOldTls:
      return {"502 Bad Gateway", "offers nothing newer than TLS 1.1, which is not safe to use"};
    case FailureKind::kOnlyHttp2:
      return {"502 Bad Gateway", "speaks HTTP/2 alone, which inspection does not speak yet"};
    case FailureKind::kNotHttp1:
      return {"505 HTTP Version Not Supported",
              "was asked for in a protocol other than HTTP/1.x, which inspection does not speak"};
  }
  return {"502 Bad Gateway", "could not be reached"};
}

// Appends to a fixed buffer, dropping what does not fit.
struct Writer {
  std::span<char> out;
  size_t used = 0;

  void Put(std::string_view text) {
    for (char c : text)
      if (used < out.size()) out[used++] = c;
  }
  void PutEscaped(std::string_view text) {
    for (char c : text) {
      switch (c) {
        case '<':
          Put("&lt;");
          break;
        case '>':
          Put("&gt;");
          break;
        case '&':
          Put("&amp;");
          break;
        case '"':
          Put("&quot;");
          break;
        default:
          Put(std::string_view(&c, 1));
      }
    }
  }
};

}  // namespace

size_t WriteFailurePage(std::span<char> out, FailureKind kind, std::string_view host,
                        std::string_view systemText) {
  Words words = WordsFor(kind);
  // The page first, at the end of out, so that its length is known before the head is written.
  constexpr size_t kHeadRoom = 160;
  if (out.size() <= kHeadRoom) return 0;
  size_t pageRoom = std::min(kPageRoom, out.size() - kHeadRoom);
  Writer page{out.subspan(out.size() - pageRoom)};
  page.Put("<!DOCTYPE html>\n<html><head><title>");
  page.Put(words.status);
  page.Put("</title></head><body>\n<h1>");
  page.Put(words.status);
  page.Put("</h1>\n<p>");
  if (kind != FailureKind::kNoHost && kind != FailureKind::kNotAllowed &&
      kind != FailureKind::kBadRequest && kind != FailureKind::kHeadTooLarge) {
    page.Put("The proxy could not connect: <b>");
    page.PutEscaped(host);
    page.Put("</b> ");
  }
  page.Put(words.what);
  page.Put(".</p>\n<p>");
  page.PutEscaped(systemText);
  page.Put("</p>\n</body></html>\n");

  char length[24];
  std::snprintf(length, sizeof length, "%zu", page.used);
  Writer head{out.first(kHeadRoom)};
  head.Put("HTTP/1.1 ");
  head.Put(words.status);
  head.Put("\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: ");
  head.Put(length);
  head.Put("\r\nConnection: close\r\n\r\n");
  // The page moves up to follow the head directly.
  for (size_t i = 0; i < page.used; ++i)
    out[head.used + i] = page.out[i];
  return head.used + page.used;
}
