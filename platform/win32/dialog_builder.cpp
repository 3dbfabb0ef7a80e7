#include <algorithm>
#include <string>
#include <vector>

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

// Fitting a dialog to its texts: the face chosen where it draws them, and the layout stretched
// where the real font draws a text wider than its place, as the Qt builder does.
namespace {

// The Japanese faces of Windows' own interface, newest first.
constexpr const wchar_t* kJapaneseFaces[] = {L"Yu Gothic UI", L"Meiryo UI", L"MS UI Gothic"};
// What Windows measures a font's average character width with.
constexpr wchar_t kBaseUnitLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int kBaseUnitLetterPairs = 26;
// The window property that keeps the font a fitted dialog was given, to be freed with it.
constexpr wchar_t kFontProperty[] = L"CorvaneDialogFont";

const wchar_t* Units(std::u16string_view text) {
  return reinterpret_cast<const wchar_t*>(text.data());
}

// A screen-compatible memory DC with a font selected, given back as it was.
class MeasuringDc {
 public:
  explicit MeasuringDc(HFONT font) : dc_(CreateCompatibleDC(nullptr)) {
    old_ = SelectObject(dc_, font);
  }
  ~MeasuringDc() {
    SelectObject(dc_, old_);
    DeleteDC(dc_);
  }
  MeasuringDc(const MeasuringDc&) = delete;
  MeasuringDc& operator=(const MeasuringDc&) = delete;
  HDC Get() const { return dc_; }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

HFONT MakeFont(const wchar_t* face, int points, UINT dpi) {
  return CreateFontW(-MulDiv(points, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                     FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                     DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
}

// The text as drawn: a "&" marks the letter after it and is not drawn itself.
std::u16string Shown(std::u16string_view text, bool prefixes) {
  std::u16string shown;
  for (size_t i = 0; i < text.size(); ++i) {
    if (prefixes && text[i] == u'&' && i + 1 < text.size()) ++i;
    shown.push_back(text[i]);
  }
  return shown;
}

SIZE Extent(HDC dc, std::u16string_view text) {
  SIZE size{};
  GetTextExtentPoint32W(dc, Units(text), static_cast<int>(text.size()), &size);
  return size;
}

// True when the face is there (not another stood in for it) and has a glyph of its own for
// every character of every text.
bool FaceDraws(const wchar_t* face, std::span<const std::u16string> texts) {
  HFONT font = MakeFont(face, 9, 96);
  if (font == nullptr) return false;
  bool draws;
  {
    MeasuringDc dc(font);
    wchar_t got[LF_FACESIZE] = {};
    GetTextFaceW(dc.Get(), LF_FACESIZE, got);
    draws = lstrcmpiW(got, face) == 0;
    for (const std::u16string& text : texts) {
      if (!draws || text.empty()) continue;
      std::u16string glyphs(text.size(), u'\0');
      GetGlyphIndicesW(dc.Get(), Units(text), static_cast<int>(text.size()),
                       reinterpret_cast<WORD*>(glyphs.data()), GGI_MARK_NONEXISTING_GLYPHS);
      draws = glyphs.find(u'\xFFFF') == std::u16string::npos;
    }
  }
  DeleteObject(font);
  return draws;
}

int CALLBACK AddJapaneseFace(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM faces) {
  if (font->lfFaceName[0] != L'@')  // the vertical variants
    reinterpret_cast<std::vector<std::wstring>*>(faces)->emplace_back(font->lfFaceName);
  return 1;
}

// Every text of the dialog as drawn, the title included, and five digits for the fields.
std::vector<std::u16string> DialogTexts(const DialogTemplate& dialog) {
  std::vector<std::u16string> texts = {std::u16string(dialog.title), u"0123456789"};
  for (const DialogItemTemplate& item : dialog.items)
    texts.push_back(Shown(item.text, true));
  return texts;
}

// What a control needs in pixels to show its text whole in the font selected into dc: the text
// with the control's own frame, box or margins. Zero where nothing needs room (an icon).
SIZE NeededPixels(HDC dc, HWND control, const DialogItemTemplate& item, UINT dpi) {
  auto scaled = [dpi](int pixels) { return MulDiv(pixels, static_cast<int>(dpi), 96); };
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  RECT window{};
  RECT client{};
  GetWindowRect(control, &window);
  GetClientRect(control, &client);
  int frameX = (window.right - window.left) - client.right;
  int frameY = (window.bottom - window.top) - client.bottom;
  switch (item.controlClass) {
    case ControlClass::Edit: {
      std::u16string digits(kFieldDigits, u'0');
      SIZE text = Extent(dc, item.text.size() > digits.size() ? item.text : digits);
      // What the field keeps around its text: the frame, and the margins between the client
      // area and the rectangle it draws the text in.
      RECT drawn{};
      SendMessageW(control, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&drawn));
      int inside = client.right - (drawn.right - drawn.left);
      int caret = scaled(2);
      return {text.cx + inside + frameX + caret, metrics.tmHeight + frameY + scaled(2)};
    }
    case ControlClass::Button: {
      SIZE text = Extent(dc, Shown(item.text, true));
      uint32_t kind = item.style & kBsTypeMask;
      if (kind == kBsAutoCheckBox || kind == kBsAutoRadioButton) {
        int box = GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi);
        return {box + scaled(6) + text.cx, std::max<int>(box, text.cy)};
      }
      return {text.cx + scaled(12), text.cy + scaled(6)};
    }
    case ControlClass::Static:
      if ((item.style & kSsTypeMask) == kSsIcon) return {0, 0};
      return Extent(dc, Shown(item.text, (item.style & kSsNoPrefix) == 0));
  }
  return {0, 0};
}

// pixels per units on each axis, as the dialog's font gives them and stretched to the texts.
struct Scale {
  int xPixels;
  int xUnits;
  int yPixels;
  int yUnits;
};

void Stretch(Scale* scale, int width, int height, SIZE needed) {
  if (width > 0 && int64_t{needed.cx} * scale->xUnits > int64_t{width} * scale->xPixels) {
    scale->xPixels = needed.cx;
    scale->xUnits = width;
  }
  if (height > 0 && int64_t{needed.cy} * scale->yUnits > int64_t{height} * scale->yPixels) {
    scale->yPixels = needed.cy;
    scale->yUnits = height;
  }
}

}  // namespace

std::u16string ChooseDialogFace(const DialogTemplate& dialog) {
  std::vector<std::u16string> texts = DialogTexts(dialog);
  std::u16string own(dialog.font);
  if (own.empty() || FaceDraws(Units(own), texts)) return own;
  for (const wchar_t* face : kJapaneseFaces) {
    if (FaceDraws(face, texts)) return reinterpret_cast<const char16_t*>(face);
  }
  // Any other face of the Japanese character set that draws them all.
  std::vector<std::wstring> faces;
  LOGFONTW wanted{};
  wanted.lfCharSet = SHIFTJIS_CHARSET;
  HDC screen = GetDC(nullptr);
  EnumFontFamiliesExW(screen, &wanted, AddJapaneseFace, reinterpret_cast<LPARAM>(&faces), 0);
  ReleaseDC(nullptr, screen);
  for (const std::wstring& face : faces) {
    if (FaceDraws(face.c_str(), texts))
      return std::u16string(reinterpret_cast<const char16_t*>(face.c_str()));
  }
  return own;  // the system's font linking may still draw what it lacks
}

void FitDialogToTexts(HWND dialog, const DialogTemplate& tmpl, UINT dpi) {
  LOGFONTW current{};
  auto shown = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
  if (shown == nullptr || GetObjectW(shown, sizeof current, &current) == 0) return;
  HFONT font = MakeFont(current.lfFaceName, tmpl.pointSize, dpi);
  if (font == nullptr) return;
  // The controls in template order: the dialog makes them in that order, each below the last.
  std::vector<HWND> controls;
  for (HWND child = GetWindow(dialog, GW_CHILD);
       child != nullptr && controls.size() < tmpl.items.size();
       child = GetWindow(child, GW_HWNDNEXT))
    controls.push_back(child);
  SendMessageW(dialog, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  for (HWND control : controls)
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  if (auto old = static_cast<HFONT>(GetPropW(dialog, kFontProperty))) DeleteObject(old);
  SetPropW(dialog, kFontProperty, font);

  MeasuringDc dc(font);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc.Get(), &metrics);
  SIZE letters = Extent(dc.Get(), reinterpret_cast<const char16_t*>(kBaseUnitLetters));
  Scale scale{(letters.cx / kBaseUnitLetterPairs + 1) / 2, 4, metrics.tmHeight, 8};
  for (size_t i = 0; i < controls.size(); ++i) {
    const DialogItemTemplate& item = tmpl.items[i];
    Stretch(&scale, item.width, item.height, NeededPixels(dc.Get(), controls[i], item, dpi));
  }
  auto x = [&scale](int units) { return MulDiv(units, scale.xPixels, scale.xUnits); };
  auto y = [&scale](int units) { return MulDiv(units, scale.yPixels, scale.yUnits); };
  for (size_t i = 0; i < controls.size(); ++i) {
    const DialogItemTemplate& item = tmpl.items[i];
    UINT keep = SWP_NOZORDER | SWP_NOACTIVATE;
    // An icon control keeps the size of its icon.
    if (item.controlClass == ControlClass::Static && (item.style & kSsTypeMask) == kSsIcon)
      keep |= SWP_NOSIZE;
    SetWindowPos(controls[i], nullptr, x(item.x), y(item.y), x(item.width), y(item.height), keep);
  }
  RECT frame{0, 0, x(tmpl.width), y(tmpl.height)};
  AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_EXSTYLE)), dpi);
  SetWindowPos(dialog, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(dialog, nullptr, TRUE);
}

void ForgetDialogFont(HWND dialog) {
  if (auto font = static_cast<HFONT>(RemovePropW(dialog, kFontProperty))) DeleteObject(font);
}
