#include "platform/qt/dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <algorithm>

#include "platform/qt/window_system.h"
#include "platform/resource_table.h"

namespace {

// What the platform measures a font's average character width with.
constexpr char kBaseUnitLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int kBaseUnitLetterPairs = 26;

// The platform draws a bordered edit field with a one-pixel line and almost no inner margin, and
// puts a check box's text close to its box; the desktop style's wider margins would hide the end
// of texts in the narrow rectangles of the templates (the four digits of the port, for one).
constexpr char kControlLook[] =
    "QLineEdit { border: 1px solid palette(dark); padding: 0px; background: palette(base); }"
    "QLineEdit:disabled { background: palette(window); color: palette(mid); }"
    "QCheckBox, QRadioButton { spacing: 3px; }";

QString FromWide(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// value * numerator / denominator, rounded to the nearest (MulDiv); all positive here.
int ScaleRounded(int value, int numerator, int denominator) {
  int64_t product = int64_t{value} * numerator;
  int64_t half = denominator / 2;
  int64_t scaled = product >= 0 ? (product + half) / denominator : (product - half) / denominator;
  return static_cast<int>(scaled);
}

// The command a control sends when clicked (MAKEWPARAM(id, BN_CLICKED)).
WParam ClickCommand(uint16_t id) {
  return WParam{id} | (WParam{kBnClicked} << 16);
}

}  // namespace

DialogBaseUnits BaseUnitsOf(const QFont& font) {
  QFontMetrics metrics(font);
  int letters = metrics.horizontalAdvance(QString::fromLatin1(kBaseUnitLetters));
  return DialogBaseUnits{(letters / kBaseUnitLetterPairs + 1) / 2, metrics.height()};
}

DialogScale ScaleOf(const DialogBaseUnits& units) {
  return DialogScale{units.x, 4, units.y, 8};
}

QRect DialogUnitsToPixels(const DialogScale& scale, int x, int y, int width, int height) {
  return QRect(ScaleRounded(x, scale.xPixels, scale.xUnits),
               ScaleRounded(y, scale.yPixels, scale.yUnits),
               ScaleRounded(width, scale.xPixels, scale.xUnits),
               ScaleRounded(height, scale.yPixels, scale.yUnits));
}

void StretchToFit(DialogScale* scale, int width, int height, QSize needed) {
  // Where needed / size is above pixels / units, that ratio becomes the scale. Rounding to the
  // nearest pixel then never gives this control less than `needed`, nor a control whose ratio is
  // smaller less than it needs, since both are whole pixels.
  if (width > 0 && int64_t{needed.width()} * scale->xUnits > int64_t{width} * scale->xPixels) {
    scale->xPixels = needed.width();
    scale->xUnits = width;
  }
  if (height > 0 && int64_t{needed.height()} * scale->yUnits > int64_t{height} * scale->yPixels) {
    scale->yPixels = needed.height();
    scale->yUnits = height;
  }
}

QSize NeededSize(const QWidget* widget) {
  QFontMetrics metrics = widget->fontMetrics();
  if (const auto* edit = qobject_cast<const QLineEdit*>(widget)) {
    // The field's least size holds its frame, its margins and the widest character; the cursor
    // stands after the last one.
    QString longest =
        edit->text().size() > kFieldDigits ? edit->text() : QString(kFieldDigits, u'0');
    int cursor = widget->style()->pixelMetric(QStyle::PM_TextCursorWidth, nullptr, widget);
    QSize least = edit->minimumSizeHint();
    return QSize(least.width() - metrics.maxWidth() + metrics.horizontalAdvance(longest) + cursor,
                 least.height());
  }
  if (const auto* push = qobject_cast<const QPushButton*>(widget)) {
    // Its size hint has a floor of the style's; only the text and the frame around it count.
    QSize text = metrics.size(Qt::TextShowMnemonic, push->text());
    int margin = widget->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, widget) +
                 2 * widget->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, widget);
    return text + QSize(margin, margin);
  }
  if (qobject_cast<const QAbstractButton*>(widget) != nullptr) return widget->sizeHint();
  if (const auto* label = qobject_cast<const QLabel*>(widget)) {
    if (label->pixmap().isNull() && !label->text().isEmpty()) return label->sizeHint();
  }
  return QSize();
}

QString LabelText(std::u16string_view text, uint32_t style) {
  if ((style & kSsNoPrefix) != 0) return FromWide(text);
  std::u16string shown;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'&' && i + 1 < text.size()) ++i;  // the mark goes, what it marks stays
    shown.push_back(text[i]);
  }
  return FromWide(shown);
}

QtDialog::QtDialog(const DialogTemplate& given, Instance instance, DialogProc proc,
                   const std::function<Window()>& newHandle)
    : handle_(newHandle()),
      proc_(proc),
      closeMeansOk_((given.exStyle & kWsExCaptionOkButton) != 0) {
  // Title bars here hold no OK: a template that asks for one gets an OK button of its own.
  DialogWithOkButton shown(given);
  const DialogTemplate& dialog = shown.Template();
  setObjectName(QStringLiteral("corvane-dialog"));
  setWindowTitle(FromWide(dialog.title));
  // A title bar with a close button and nothing else: no help button, no resizing.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  if ((dialog.style & kDsSetFont) != 0) setFont(QFont(FromWide(dialog.font), dialog.pointSize));
  setStyleSheet(QString::fromLatin1(kControlLook));
  for (const DialogItemTemplate& item : dialog.items)
    AddControl(item, instance, newHandle());
  Place(dialog);
  // Tab follows template order through the controls that are tab stops.
  QWidget* previous = nullptr;
  for (const Control& control : controls_) {
    if ((control.style & kWsTabStop) == 0) continue;
    if (previous != nullptr) QWidget::setTabOrder(previous, control.widget);
    previous = control.widget;
  }
}

void QtDialog::Place(const DialogTemplate& dialog) {
  ensurePolished();  // the style sheet's margins count in what each control needs
  scale_ = ScaleOf(BaseUnitsOf(font()));
  for (size_t i = 0; i < controls_.size(); ++i) {
    const DialogItemTemplate& item = dialog.items[i];
    controls_[i].widget->ensurePolished();
    StretchToFit(&scale_, item.width, item.height, NeededSize(controls_[i].widget));
  }
  QRect area = DialogUnitsToPixels(scale_, dialog.x, dialog.y, dialog.width, dialog.height);
  setFixedSize(area.size());
  move(area.topLeft());
  for (size_t i = 0; i < controls_.size(); ++i) {
    const DialogItemTemplate& item = dialog.items[i];
    QWidget* widget = controls_[i].widget;
    QRect place = DialogUnitsToPixels(scale_, item.x, item.y, item.width, item.height);
    if (item.controlClass == ControlClass::Static && (item.style & kSsTypeMask) == kSsIcon)
      place.setSize(widget->sizeHint());  // an icon control takes the size of its icon
    widget->setGeometry(place);
  }
}

void QtDialog::AddControl(const DialogItemTemplate& item, Instance instance, Window handle) {
  if ((item.style & kWsGroup) != 0) radioGroup_ = nullptr;  // a new group begins here
  QWidget* widget = nullptr;
  switch (item.controlClass) {
    case ControlClass::Button:
      widget = CreateButton(item, handle);
      break;
    case ControlClass::Edit: {
      auto* edit = new QLineEdit(FromWide(item.text), this);
      edit->setFrame((item.style & kWsBorder) != 0);
      widget = edit;
      break;
    }
    case ControlClass::Static:
      widget = CreateStatic(item, instance);
      break;
  }
  widget->setProperty("controlId", static_cast<unsigned>(item.id));
  widget->setEnabled((item.style & kWsDisabled) == 0);
  widget->setVisible((item.style & kWsVisible) != 0);
  if ((item.style & kWsTabStop) == 0 && widget->focusPolicy() != Qt::NoFocus)
    widget->setFocusPolicy(Qt::ClickFocus);  // reached by clicks and arrows, not by Tab
  controls_.push_back(Control{handle, item.id, item.style, widget});
}

QWidget* QtDialog::CreateButton(const DialogItemTemplate& item, Window handle) {
  QString text = FromWide(item.text);  // buttons take "&" marks as Qt does
  QAbstractButton* button = nullptr;
  switch (item.style & kBsTypeMask) {
    case kBsAutoCheckBox:
      button = new QCheckBox(text, this);
      break;
    case kBsAutoRadioButton: {
      auto* radio = new QRadioButton(text, this);
      if (radioGroup_ == nullptr) {
        radioGroup_ = new QButtonGroup(this);
        radioGroup_->setExclusive(true);
      }
      radioGroup_->addButton(radio);
      button = radio;
      break;
    }
    default: {
      auto* push = new QPushButton(text, this);
      push->setDefault((item.style & kBsTypeMask) == kBsDefPushButton);
      button = push;
      break;
    }
  }
  uint16_t id = item.id;
  QObject::connect(button, &QAbstractButton::clicked, this, [this, id, handle] {
    Deliver(kWmCommand, ClickCommand(id), static_cast<LParam>(handle));
  });
  return button;
}

QWidget* QtDialog::CreateStatic(const DialogItemTemplate& item, Instance instance) {
  auto* label = new QLabel(this);
  label->setTextFormat(Qt::PlainText);
  switch (item.style & kSsTypeMask) {
    case kSsIcon: {
      Icon icon = LoadIconResource(instance, item.image);
      if (icon != nullptr) label->setPixmap(QPixmap(icon->xpm));
      return label;
    }
    case kSsCenter:
      label->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
      break;
    case kSsRight:
      label->setAlignment(Qt::AlignTop | Qt::AlignRight);
      break;
    default:
      label->setAlignment(Qt::AlignTop | Qt::AlignLeft);
      break;
  }
  label->setText(LabelText(item.text, item.style));
  return label;
}

const QtDialog::Control* QtDialog::Item(int id) const {
  auto found = std::find_if(controls_.begin(), controls_.end(),
                            [id](const Control& control) { return control.id == id; });
  return found == controls_.end() ? nullptr : &*found;
}

const QtDialog::Control* QtDialog::ControlOf(Window window) const {
  auto found = std::find_if(controls_.begin(), controls_.end(),
                            [window](const Control& control) { return control.handle == window; });
  return found == controls_.end() ? nullptr : &*found;
}

QWidget* QtDialog::WidgetOf(Window window) const {
  if (window == handle_) return const_cast<QtDialog*>(this);
  const Control* control = ControlOf(window);
  return control == nullptr ? nullptr : control->widget;
}

intptr_t QtDialog::Deliver(uint32_t message, WParam wParam, LParam lParam) {
  return proc_(handle_, message, wParam, lParam);
}

const QtDialog::Control* QtDialog::FirstTabStop() const {
  for (const Control& control : controls_) {
    if ((control.style & kWsTabStop) != 0 && control.widget->isEnabled()) return &control;
  }
  return nullptr;
}

void QtDialog::End(intptr_t result) {
  result_ = result;
  ended_ = true;
  hide();
}

void QtDialog::SetCheck(const Control& control, bool checked) {
  auto* button = qobject_cast<QAbstractButton*>(control.widget);
  if (button == nullptr || !button->isCheckable()) return;
  QButtonGroup* group = button->group();
  // An exclusive group refuses to clear its checked button; a program may clear it all the same.
  if (group != nullptr && !checked) group->setExclusive(false);
  button->setChecked(checked);
  if (group != nullptr && !checked) group->setExclusive(true);
}

void QtDialog::reject() {
  Deliver(kWmCommand, ClickCommand(kIdCancel), 0);
}

void QtDialog::closeEvent(QCloseEvent* event) {
  // The dialog's handler decides whether it ends; a dialog whose template asks for an OK in its
  // caption takes the window's close button for that OK too.
  event->ignore();
  Deliver(kWmCommand, ClickCommand(closeMeansOk_ ? kIdOk : kIdCancel), 0);
}

// The window system's dialog operations.

intptr_t QtWindowSystem::RunDialogFromTemplate(Instance instance, const DialogTemplate* dialog,
                                               Window /*owner*/, DialogProc proc,
                                               LParam initParam) {
  if (dialog == nullptr || proc == nullptr) return -1;
  // Not Qt-modal: as on the platform, only the (hidden) owner is blocked, so the tray icon and an
  // already open dialog keep answering while this one runs.
  QtDialog box(*dialog, instance, proc, [this] { return NewWindowHandle(); });
  dialogs_.push_back(&box);
  // As on the platform, the first parameter names the control that will take the focus.
  const QtDialog::Control* focus = box.FirstTabStop();
  WParam focusHandle = focus ? static_cast<WParam>(focus->handle) : 0;
  if (box.Deliver(kWmInitDialog, focusHandle, initParam) != 0 && focus != nullptr)
    focus->widget->setFocus(Qt::TabFocusReason);
  if (!box.Ended()) {
    box.show();
    box.activateWindow();  // a new window on top of the others, as the platform shows dialogs
    RunModalLoop(box.Ended());
  }
  box.hide();
  std::erase(dialogs_, &box);
  return box.Ended() ? box.Result() : 0;  // 0: the quit message ended it
}

QtDialog* QtWindowSystem::FindDialog(Window dialog) const {
  for (QtDialog* box : dialogs_) {
    if (box->Handle() == dialog) return box;
  }
  return nullptr;
}

QWidget* QtWindowSystem::FindWidget(Window window) const {
  for (QtDialog* box : dialogs_) {
    if (QWidget* widget = box->WidgetOf(window)) return widget;
  }
  return nullptr;
}

int QtWindowSystem::EndModalDialog(Window dialog, intptr_t result) {
  QtDialog* box = FindDialog(dialog);
  if (box == nullptr) return 0;
  box->End(result);
  return 1;
}

Window QtWindowSystem::GetDialogItem(Window dialog, int id) {
  QtDialog* box = FindDialog(dialog);
  const QtDialog::Control* control = box ? box->Item(id) : nullptr;
  return control ? control->handle : Window::None;
}

LResult QtWindowSystem::SendDialogItemMessage(Window dialog, int id, uint32_t message,
                                              WParam wParam, LParam /*lParam*/) {
  QtDialog* box = FindDialog(dialog);
  const QtDialog::Control* control = box ? box->Item(id) : nullptr;
  if (control == nullptr) return 0;
  auto* button = qobject_cast<QAbstractButton*>(control->widget);
  if (button == nullptr) return 0;
  switch (message) {
    case kBmGetCheck:
      return button->isChecked() ? kBstChecked : kBstUnchecked;
    case kBmSetCheck:
      // Any state but unchecked shows as checked: a stored flag of 2 is on, as the proxy reads it.
      box->SetCheck(*control, wParam != kBstUnchecked);
      return 0;
    default:
      return 0;
  }
}

int QtWindowSystem::SetDialogItemText(Window dialog, int id, const char16_t* text) {
  QtDialog* box = FindDialog(dialog);
  const QtDialog::Control* control = box ? box->Item(id) : nullptr;
  if (control == nullptr) return 0;
  std::u16string_view wide = text ? std::u16string_view(text) : std::u16string_view();
  if (auto* edit = qobject_cast<QLineEdit*>(control->widget)) {
    edit->setText(FromWide(wide));
    edit->setCursorPosition(0);  // a field shows the start of a text it is given
  } else if (auto* button = qobject_cast<QAbstractButton*>(control->widget)) {
    button->setText(FromWide(wide));
  } else if (auto* label = qobject_cast<QLabel*>(control->widget)) {
    label->setText(LabelText(wide, control->style));
  }
  return 1;
}

int QtWindowSystem::GetDialogItemText(Window dialog, int id, char16_t* buffer, int capacity) {
  if (buffer == nullptr || capacity <= 0) return 0;
  buffer[0] = u'\0';
  QtDialog* box = FindDialog(dialog);
  const QtDialog::Control* control = box ? box->Item(id) : nullptr;
  if (control == nullptr) return 0;
  QString text;
  if (auto* edit = qobject_cast<QLineEdit*>(control->widget)) {
    text = edit->text();
  } else if (auto* button = qobject_cast<QAbstractButton*>(control->widget)) {
    text = button->text();
  } else if (auto* label = qobject_cast<QLabel*>(control->widget)) {
    text = label->text();
  }
  int count = std::min(static_cast<int>(text.size()), capacity - 1);
  std::copy_n(reinterpret_cast<const char16_t*>(text.utf16()), count, buffer);
  buffer[count] = u'\0';
  return count;
}

int QtWindowSystem::EnableAppWindow(Window window, int enable) {
  QWidget* widget = FindWidget(window);
  if (widget == nullptr) return 0;
  int wasDisabled = widget->isEnabled() ? 0 : 1;
  widget->setEnabled(enable != 0);
  return wasDisabled;
}

int QtWindowSystem::GetWindowRectangle(Window window, WindowRect* rect) {
  QWidget* widget = FindWidget(window);
  if (widget == nullptr || rect == nullptr) return 0;
  // Until the window manager has framed a dialog, its frame is its client area.
  QRect outer = widget->isWindow() ? widget->frameGeometry()
                                   : QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
  *rect = WindowRect{outer.left(), outer.top(), outer.left() + outer.width(),
                     outer.top() + outer.height()};
  return 1;
}

int QtWindowSystem::SetWindowPosition(Window window, Window insertAfter, int x, int y, int width,
                                      int height, uint32_t flags) {
  QWidget* widget = FindWidget(window);
  if (widget == nullptr) return 0;
  if ((flags & kSwpNoSize) == 0) {
    if (widget->isWindow()) {
      QSize frame = widget->frameGeometry().size() - widget->size();
      widget->setFixedSize(QSize(width, height) - frame);
    } else {
      widget->resize(width, height);
    }
  }
  if ((flags & kSwpNoMove) == 0) widget->move(x, y);
  if ((flags & kSwpNoZOrder) == 0 && insertAfter == Window::None) widget->raise();
  return 1;
}
