#include "platform/message_box.h"

#include <atomic>
#include <cstdio>

#include "platform/text_convert.h"

namespace {

std::atomic<MessageBoxHandler> boxHandler{nullptr};
std::atomic<QuestionHandler> questionHandler{nullptr};

// Longest box text written to standard error, in bytes; the proxy's own texts are far shorter.
constexpr size_t kLineBytes = 512;

}  // namespace

void WriteMessageLine(std::u16string_view text) {
  char line[kLineBytes];
  WideToSingleByte(text, line);
  std::fprintf(stderr, "%s\n", line);
  std::fflush(stderr);
}

void ShowMessageBox(std::u16string_view text) {
  WriteMessageLine(text);
  if (MessageBoxHandler handler = boxHandler.load()) handler(text);
}

bool AskYesNo(std::u16string_view text) {
  QuestionHandler handler = questionHandler.load();
  if (handler != nullptr) return handler(text);
  WriteMessageLine(text);
  return false;
}

void SetQuestionHandler(QuestionHandler handler) {
  questionHandler.store(handler);
}

void SetMessageBoxHandler(MessageBoxHandler handler) {
  boxHandler.store(handler);
}
