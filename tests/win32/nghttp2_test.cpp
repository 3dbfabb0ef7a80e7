// libnghttp2 as the Windows program links it (static, from scripts/windows-nghttp2.sh): its header
// and library are one version, and a client session runs there and opens its connection as
// HTTP/2 asks.
#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <string>

namespace {

TEST(WindowsNghttp2Test, ClientSessionOpensWithThePrefaceAndItsSettings) {
  EXPECT_STREQ(nghttp2_version(0)->version_str, NGHTTP2_VERSION);

  nghttp2_session_callbacks* callbacks = nullptr;
  ASSERT_EQ(nghttp2_session_callbacks_new(&callbacks), 0);
  nghttp2_session* session = nullptr;
  ASSERT_EQ(nghttp2_session_client_new(&session, callbacks, nullptr), 0);
  nghttp2_session_callbacks_del(callbacks);
  nghttp2_settings_entry streams{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 100};
  ASSERT_EQ(nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, &streams, 1), 0);

  std::string sent;
  const uint8_t* data = nullptr;
  for (ssize_t n; (n = nghttp2_session_mem_send(session, &data)) > 0;) {
    sent.append(reinterpret_cast<const char*>(data), n);
  }
  nghttp2_session_del(session);

  const std::string preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
  ASSERT_EQ(sent.substr(0, preface.size()), preface);
  // Then its SETTINGS frame: length 6, type 4, no flags, stream 0; at most 100 streams (id 3).
  EXPECT_EQ(sent.substr(preface.size()), std::string("\0\0\6\4\0\0\0\0\0\0\3\0\0\0\144", 15));
}

}  // namespace
