// A dialog built from a template as Qt widgets: one widget per control, placed by converting
// dialog units to pixels through the dialog font's base units, as the platform's dialog manager
// does. Where the font at hand draws a text wider than the template's rectangle allows (a stand-in
// font, a larger dpi), the whole layout is stretched along that axis until every text fits. The
// dialog talks to its handler only in window messages: kWmInitDialog before it appears, kWmCommand
// with a control's id when a button is clicked, kIdOk for Enter (through the default button),
// kIdCancel for Escape.
#pragma once

#include <QDialog>
#include <functional>
#include <vector>

#include "platform/dialog_template.h"
#include "platform/window_types.h"

class QButtonGroup;

// The dialog font's base units in pixels: one horizontal dialog unit is x / 4 pixels, one
// vertical unit y / 8.
struct DialogBaseUnits {
  int x;
  int y;
};

// Base units as the platform measures them: the average width of the 52 Latin letters, rounded,
// and the font's character height.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// How dialog units become pixels: xUnits horizontal units span xPixels, yUnits vertical units
// span yPixels. From base units that is units.x per 4 and units.y per 8.
struct DialogScale {
  int xPixels;
  int xUnits;
  int yPixels;
  int yUnits;
};

DialogScale ScaleOf(const DialogBaseUnits& units);

// A rectangle in dialog units, in pixels.
QRect DialogUnitsToPixels(const DialogScale& scale, int x, int y, int width, int height);

// Stretches the scale, along each axis on its own, just enough that a control of the given size
// in dialog units gets at least `needed` pixels; a scale that gives enough already is kept.
void StretchToFit(DialogScale* scale, int width, int height, QSize needed);

// The pixels a control needs to show its text whole with its own font and style: a check box its
// box, gap and text; an edit field its frame, margins and the longer of its text and
// kFieldDigits digits. Empty for a control with nothing to fit (an icon).
QSize NeededSize(const QWidget* widget);

class QtDialog final : public QDialog {
 public:
  struct Control {
    Window handle;
    uint16_t id;
    uint32_t style;
    QWidget* widget;
  };

  // newHandle hands out a fresh window handle for the dialog and each control.
  QtDialog(const DialogTemplate& dialog, Instance instance, DialogProc proc,
           const std::function<Window()>& newHandle);

  Window Handle() const { return handle_; }
  // Dialog units to pixels as built: the font's base units, stretched so that every text fits.
  const DialogScale& Scale() const { return scale_; }
  // The first control with the id, or null.
  const Control* Item(int id) const;
  // The dialog's own widget or one of its controls', or null.
  QWidget* WidgetOf(Window window) const;
  const Control* ControlOf(Window window) const;

  // Hands a message to the dialog's handler and returns its answer.
  intptr_t Deliver(uint32_t message, WParam wParam, LParam lParam);
  // The first enabled control that Tab stops at, or null.
  const Control* FirstTabStop() const;

  void End(intptr_t result);
  const bool& Ended() const { return ended_; }
  intptr_t Result() const { return result_; }

  // Checks or clears a check box or radio button; a radio button's group lets it be cleared.
  void SetCheck(const Control& control, bool checked);

  void reject() override;  // Escape

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void AddControl(const DialogItemTemplate& item, Instance instance, Window handle);
  void Place(const DialogTemplate& dialog);
  QWidget* CreateButton(const DialogItemTemplate& item, Window handle);
  QWidget* CreateStatic(const DialogItemTemplate& item, Instance instance);

  Window handle_;
  DialogScale scale_{};
  DialogProc proc_;
  bool closeMeansOk_;
  std::vector<Control> controls_;
  QButtonGroup* radioGroup_ = nullptr;  // the radio buttons of the group being built
  bool ended_ = false;
  intptr_t result_ = 0;
};

// A control's text as a label shows it: "&" marks are taken out unless the style says
// kSsNoPrefix, and "&&" stands for one "&".
QString LabelText(std::u16string_view text, uint32_t style);
