#include "core/report_failure.h"

#include <cstdio>

#include "core/failure_advice.h"
#include "core/notice_gate.h"
#include "platform/message_box.h"
#include "platform/socket.h"
#include "platform/text_convert.h"
#include "platform/window_types.h"

namespace {

// Never destroyed: a worker may fail while the process exits.
NoticeGate& TheNoticeGate() {
  static auto* gate = new NoticeGate;
  return *gate;
}

}  // namespace

size_t FormatFailure(int code, std::u16string_view step, std::span<char16_t> message) {
  if (message.empty()) return 0;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%d", code);
  WideWriter line(message);
  line.Put(u"ERROR(");
  line.PutSingleByte(digits);
  line.Put(u"): ");
  line.Put(step);
  return line.Size();
}

void ShowFailure(int code, std::u16string_view step, std::string_view host,
                 std::u16string_view advice) {
  char16_t message[kFailureMessageUnits];
  std::u16string_view line(message, FormatFailure(code, step, message));
  WriteMessageLine(line);
  char16_t notice[kFailureNoticeUnits];
  WideWriter text(notice);
  text.Put(line);
  if (!host.empty()) {
    text.Put(u"\n");
    text.PutSingleByte(host);
  }
  if (!advice.empty()) {
    text.Put(u"\n");
    text.Put(advice);
  }
  if (TheNoticeGate().Admit(text.Text(), NoticeGate::Clock::now())) ShowNotice(text.Text());
}

void ForgetShownNotices() {
  TheNoticeGate().Forget();
}

void ShowStartFailure(int code, std::u16string_view step, uint16_t port, std::string_view address) {
  char16_t message[kFailureMessageUnits];
  std::u16string_view line;
  if (code < 0) {
    WideWriter noCode(message);
    noCode.Put(u"ERROR: ");
    noCode.Put(step);
    line = noCode.Text();
  } else {
    line = {message, FormatFailure(code, step, message)};
  }
  char16_t advice[kFailureNoticeUnits];
  char hint[256];
  StartAdvice(step, code, address, port, advice, hint);
  WriteMessageLine(line);
  std::fprintf(stderr, "%s\n", hint);
  std::fflush(stderr);
  char16_t box[kFailureNoticeUnits * 2];
  WideWriter text(box);
  text.Put(line);
  text.Put(u"\n");
  text.Put(advice);
  ShowMessageBox(text.Text(), kBoxCaption, kMbOk | kMbIconError);
}

void ReportFailure(const char16_t* step, Socket* client, Socket* server) {
  int code = LastErrorCode();  // before anything else can change it
  for (Socket* s : {client, server}) {
    if (s != nullptr && s->Valid()) {
      ShutdownBoth(*s);
      s->Close();
    }
  }
  if (step != nullptr) ShowFailure(code, step, "", StepAdvice(step));
}
