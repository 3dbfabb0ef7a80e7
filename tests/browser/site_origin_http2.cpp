// The test site's HTTP/2 side: one server session per connection, each stream recorded as a
// request and answered from the site's table.
#include <nghttp2/nghttp2.h>

#include <cctype>
#include <cstring>
#include <map>
#include <memory>

#include "tests/browser/site_origin.h"

namespace {

constexpr int kIdleMs = 15000;

struct Exchange {
  SeenRequest seen;
  std::string method;
  std::string path;
  std::string fields;  // "name: value\r\n" each, as they came
  std::string answer;  // the body still to send
};

struct Conversation {
  SiteOrigin* site = nullptr;
  std::function<SiteAnswer(const std::string&)> answerFor;
  std::function<void(const SeenRequest&)> record;
  std::map<int32_t, std::unique_ptr<Exchange>> exchanges;
};

std::string Lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

ssize_t ReadBody(nghttp2_session*, int32_t, uint8_t* buffer, size_t length, uint32_t* flags,
                 nghttp2_data_source* source, void*) {
  auto* e = static_cast<Exchange*>(source->ptr);
  size_t n = std::min(length, e->answer.size());
  std::memcpy(buffer, e->answer.data(), n);
  e->answer.erase(0, n);
  if (e->answer.empty()) *flags |= NGHTTP2_DATA_FLAG_EOF;
  return static_cast<ssize_t>(n);
}

// The request has ended: it is recorded, then answered (or its stream reset).
void Answer(nghttp2_session* session, Conversation& c, int32_t id, Exchange& e) {
  e.seen.head = e.method + " " + e.path + " HTTP/2\r\n" + e.fields + "\r\n";
  e.seen.target = e.path;
  c.record(e.seen);
  SiteAnswer answer = c.answerFor(e.path);
  if (answer.status == SiteOrigin::kResetStream) {
    nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, id, NGHTTP2_INTERNAL_ERROR);
    return;
  }
  std::vector<std::pair<std::string, std::string>> fields = {
      {":status", answer.status.substr(0, 3)},
      {"content-type", answer.contentType},
      {"content-length", std::to_string(answer.body.size())}};
  for (size_t at = 0; at < answer.headLines.size();) {
    size_t end = answer.headLines.find("\r\n", at);
    std::string line = answer.headLines.substr(at, end - at);
    at = end + 2;
    size_t colon = line.find(':');
    if (colon != std::string::npos)
      fields.emplace_back(Lower(line.substr(0, colon)),
                          line.substr(line.find_first_not_of(' ', colon + 1)));
  }
  std::vector<nghttp2_nv> nv;
  for (auto& [name, value] : fields)
    nv.push_back({reinterpret_cast<uint8_t*>(name.data()), reinterpret_cast<uint8_t*>(value.data()),
                  name.size(), value.size(), NGHTTP2_NV_FLAG_NONE});
  e.answer = answer.body;
  nghttp2_data_provider body{};
  body.source.ptr = &e;
  body.read_callback = ReadBody;
  nghttp2_submit_response(session, id, nv.data(), nv.size(), &body);
}

}  // namespace

void SiteOrigin::ConverseHttp2(const std::function<long(char*, size_t, int)>& read,
                               const std::function<bool(std::string_view)>& write) {
  Conversation c;
  c.site = this;
  c.answerFor = [this](const std::string& target) { return AnswerFor(target); };
  c.record = [this](const SeenRequest& seen) { Record(seen); };
  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_session_callbacks_new(&callbacks);
  nghttp2_session_callbacks_set_on_header_callback(
      callbacks,
      [](nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name, size_t nameLength,
         const uint8_t* value, size_t valueLength, uint8_t, void* user) {
        auto& talk = *static_cast<Conversation*>(user);
        auto& e = talk.exchanges[frame->hd.stream_id];
        if (e == nullptr) e = std::make_unique<Exchange>();
        std::string n(reinterpret_cast<const char*>(name), nameLength);
        std::string v(reinterpret_cast<const char*>(value), valueLength);
        if (n == ":method") e->method = v;
        if (n == ":path") e->path = v;
        e->fields += n + ": " + v + "\r\n";
        return 0;
      });
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(
      callbacks,
      [](nghttp2_session*, uint8_t, int32_t id, const uint8_t* data, size_t length, void* user) {
        auto& talk = *static_cast<Conversation*>(user);
        auto& e = talk.exchanges[id];
        if (e == nullptr) e = std::make_unique<Exchange>();
        e->seen.body.append(reinterpret_cast<const char*>(data), length);
        return 0;
      });
  nghttp2_session_callbacks_set_on_frame_recv_callback(
      callbacks, [](nghttp2_session* session, const nghttp2_frame* frame, void* user) {
        auto& talk = *static_cast<Conversation*>(user);
        if ((frame->hd.flags & NGHTTP2_FLAG_END_STREAM) == 0 || frame->hd.stream_id == 0) return 0;
        auto found = talk.exchanges.find(frame->hd.stream_id);
        if (found != talk.exchanges.end())
          Answer(session, talk, frame->hd.stream_id, *found->second);
        return 0;
      });
  nghttp2_session* session = nullptr;
  nghttp2_session_server_new(&session, callbacks, &c);
  nghttp2_session_callbacks_del(callbacks);
  nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 100}};
  nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, settings, 1);
  char buffer[16384];
  for (;;) {
    const uint8_t* out = nullptr;
    ssize_t n;
    bool sent = true;
    while (sent && (n = nghttp2_session_mem_send(session, &out)) > 0)
      sent = write({reinterpret_cast<const char*>(out), static_cast<size_t>(n)});
    if (!sent || (!nghttp2_session_want_read(session) && !nghttp2_session_want_write(session)))
      break;
    long got = read(buffer, sizeof buffer, kIdleMs);
    if (got <= 0 || nghttp2_session_mem_recv(session, reinterpret_cast<uint8_t*>(buffer),
                                             static_cast<size_t>(got)) < 0)
      break;
  }
  nghttp2_session_del(session);
}
