#include "platform/posix/headless_window_system.h"

#include <poll.h>

#include <cstdio>

#include "platform/dialog_template.h"
#include "platform/text_convert.h"

namespace {

// Room for a dialog's title in the line that says it is not shown.
constexpr size_t kTitleBytes = 256;

}  // namespace

int HeadlessWindowSystem::ScreenMetric(int /*index*/) {
  return 0;  // no screen
}

int HeadlessWindowSystem::NotifyTrayIcon(uint32_t /*operation*/, const NotifyIconData& /*data*/) {
  return 0;  // no notification area to show an icon in
}

int HeadlessWindowSystem::BringToForeground(Window /*window*/) {
  return 0;
}

int HeadlessWindowSystem::TrackMenuPopup(Menu /*menu*/, uint32_t /*flags*/, int /*x*/, int /*y*/,
                                         Window /*owner*/) {
  // Someone asked for the menu (a second start, most likely): say why nothing appears.
  std::fputs("corvane: no display, the popup menu is not shown\n", stderr);
  std::fflush(stderr);
  return 0;
}

intptr_t HeadlessWindowSystem::RunDialogFromTemplate(Instance /*instance*/,
                                                     const DialogTemplate* dialog, Window /*owner*/,
                                                     DialogProc /*proc*/, LParam /*initParam*/) {
  // As with the menu: the request returns at once, the settings stay as they are, and the line
  // says why nothing appeared.
  char title[kTitleBytes] = "";
  if (dialog != nullptr) WideToSingleByte(dialog->title, title);
  std::fprintf(stderr, "corvane: no display, the dialog \"%s\" is not shown\n", title);
  std::fflush(stderr);
  return -1;
}

// No dialog ever runs here, so there are no controls to reach and no rectangles to have.

int HeadlessWindowSystem::EndModalDialog(Window /*dialog*/, intptr_t /*result*/) {
  return 0;
}

Window HeadlessWindowSystem::GetDialogItem(Window /*dialog*/, int /*id*/) {
  return Window::None;
}

LResult HeadlessWindowSystem::SendDialogItemMessage(Window /*dialog*/, int /*id*/,
                                                    uint32_t /*message*/, WParam /*wParam*/,
                                                    LParam /*lParam*/) {
  return 0;
}

int HeadlessWindowSystem::SetDialogItemText(Window /*dialog*/, int /*id*/,
                                            const char16_t* /*text*/) {
  return 0;
}

int HeadlessWindowSystem::GetDialogItemText(Window /*dialog*/, int /*id*/, char16_t* buffer,
                                            int capacity) {
  if (buffer != nullptr && capacity > 0) buffer[0] = u'\0';
  return 0;
}

int HeadlessWindowSystem::EnableAppWindow(Window /*window*/, int /*enable*/) {
  return 0;
}

int HeadlessWindowSystem::GetWindowRectangle(Window /*window*/, WindowRect* /*rect*/) {
  return 0;
}

int HeadlessWindowSystem::SetWindowPosition(Window /*window*/, Window /*insertAfter*/, int /*x*/,
                                            int /*y*/, int /*width*/, int /*height*/,
                                            uint32_t /*flags*/) {
  return 0;
}

void HeadlessWindowSystem::WaitForEvents() {
  std::vector<int> fds = WatchedDescriptors();
  std::vector<pollfd> polled;
  for (int fd : fds)
    polled.push_back(pollfd{fd, POLLIN, 0});
  // An interrupted wait simply returns: the loop looks at everything again.
  ::poll(polled.data(), polled.size(), -1);
}
