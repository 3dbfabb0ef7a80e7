#include "core/report_failure.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

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

namespace {

// Distinct box texts open at once that are remembered; beyond them a box opens in any case.
constexpr size_t kMostOpenBoxes = 16;

struct OpenBoxes {
  std::mutex lock;
  char16_t texts[kMostOpenBoxes][kFailureMessageUnits] = {};  // an empty text is a free slot
};

// Never destroyed: a worker may show a box while the process exits.
OpenBoxes& TheOpenBoxes() {
  static OpenBoxes* boxes = new OpenBoxes;
  return *boxes;
}

// Takes a slot for text; -1 when the same text is open already, kMostOpenBoxes when no slot is
// free.
size_t TakeSlot(std::u16string_view text) {
  OpenBoxes& b = TheOpenBoxes();
  std::lock_guard<std::mutex> hold(b.lock);
  size_t free = kMostOpenBoxes;
  for (size_t i = 0; i < kMostOpenBoxes; ++i) {
    if (b.texts[i][0] == u'\0') {
      free = std::min(free, i);
    } else if (text == b.texts[i]) {
      return static_cast<size_t>(-1);
    }
  }
  if (free < kMostOpenBoxes) std::copy(text.begin(), text.end(), b.texts[free]);
  return free;
}

void FreeSlot(size_t slot) {
  if (slot >= kMostOpenBoxes) return;
  OpenBoxes& b = TheOpenBoxes();
  std::lock_guard<std::mutex> hold(b.lock);
  std::fill(std::begin(b.texts[slot]), std::end(b.texts[slot]), u'\0');
}

}  // namespace

void ShowFailure(int code, const char16_t* step) {
  char16_t message[kFailureMessageUnits];
  std::u16string_view text(message, FormatFailure(code, step, message));
  size_t slot = TakeSlot(text);
  if (slot == static_cast<size_t>(-1)) {
    WriteMessageLine(text);
    return;
  }
  ShowMessageBox(text);
  FreeSlot(slot);
}

void ReportFailure(const char16_t* step, Socket* client, Socket* server) {
  int code = LastErrorCode();  // before anything else can change it
  // The connections go first: no box holds a client.
  for (Socket* s : {client, server}) {
    if (s != nullptr && s->Valid()) {
      ShutdownBoth(*s);
      s->Close();
    }
  }
  if (step != nullptr) ShowFailure(code, step);
}
