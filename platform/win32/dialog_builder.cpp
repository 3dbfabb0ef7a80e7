#include "platform/dialog_template.h"
#include "platform/win32/window_system.h"

namespace {

// Appends words, refusing (and remembering) anything past the end.
class TemplateWriter {
 public:
  explicit TemplateWriter(std::span<WORD> words) : words_(words) {}

  void Word(WORD w) {
    if (used_ < words_.size()) {
      words_[used_++] = w;
    } else {
      full_ = true;
    }
  }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void Short(int16_t v) { Word(static_cast<WORD>(v)); }
  void Text(std::u16string_view text) {
    for (char16_t c : text)
      Word(static_cast<WORD>(c));
    Word(0);
  }
  void AlignToDword() {
    if (used_ % 2 != 0) Word(0);
  }
  size_t Used() const { return full_ ? 0 : used_; }

 private:
  std::span<WORD> words_;
  size_t used_ = 0;
  bool full_ = false;
};

}  // namespace

size_t BuildNativeDialogTemplate(const DialogTemplate& given, std::span<WORD> words) {
  // Title bars hold no OK here: a template that asks for one gets an OK button of its own.
  DialogWithOkButton shown(given);
  const DialogTemplate& dialog = shown.Template();
  TemplateWriter out(words);
  // DLGTEMPLATE, without the caption OK button's style, which no title bar here knows.
  out.Dword(dialog.style);
  out.Dword(dialog.exStyle & ~kWsExCaptionOkButton);
  out.Word(static_cast<WORD>(dialog.items.size()));
  out.Short(dialog.x);
  out.Short(dialog.y);
  out.Short(dialog.width);
  out.Short(dialog.height);
  out.Word(0);  // no menu
  out.Word(0);  // the predefined dialog class
  out.Text(dialog.title);
  if ((dialog.style & kDsSetFont) != 0) {
    out.Word(dialog.pointSize);
    out.Text(dialog.font);
  }
  for (const DialogItemTemplate& item : dialog.items) {
    out.AlignToDword();  // each DLGITEMTEMPLATE starts on a DWORD boundary
    out.Dword(item.style);
    out.Dword(0);
    out.Short(item.x);
    out.Short(item.y);
    out.Short(item.width);
    out.Short(item.height);
    out.Word(item.id);
    out.Word(0xFFFF);  // a predefined class, by its atom
    out.Word(static_cast<WORD>(item.controlClass));
    if (item.image != 0) {
      out.Word(0xFFFF);  // an icon control names its resource by ordinal
      out.Word(item.image);
    } else {
      out.Text(item.text);
    }
    out.Word(0);  // no creation data
  }
  return out.Used();
}
