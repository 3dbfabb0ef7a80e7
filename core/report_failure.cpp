#include "core/report_failure.h"

#include <cstdio>

#include "platform/message_box.h"
#include "platform/socket.h"

size_t FormatFailure(int code, std::u16string_view step, std::span<char16_t> message) {
  if (message.empty()) return 0;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%d", code);
  size_t n = 0;
  auto put = [&](char16_t c) {
    if (n + 1 < message.size()) message[n++] = c;
  };
  for (char c : std::string_view("ERROR("))
    put(static_cast<char16_t>(c));
  for (const char* d = digits; *d != '\0'; ++d)
    put(static_cast<char16_t>(*d));
  for (char c : std::string_view("): "))
    put(static_cast<char16_t>(c));
  for (char16_t c : step)
    put(c);
  message[n] = u'\0';
  return n;
}

void ReportFailure(const char16_t* step, Socket* client, Socket* server) {
  if (step != nullptr) {
    int code = LastErrorCode();  // before anything else can change it
    char16_t message[kFailureMessageUnits];
    size_t n = FormatFailure(code, step, message);
    ShowMessageBox(std::u16string_view(message, n));
  }
  for (Socket* s : {client, server}) {
    if (s != nullptr && s->Valid()) {
      ShutdownBoth(*s);
      s->Close();
    }
  }
}
