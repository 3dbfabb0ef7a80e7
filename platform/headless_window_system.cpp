#include "platform/headless_window_system.h"

#include <poll.h>

#include <cstdio>

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
                                                     const DialogTemplate* /*dialog*/,
                                                     Window /*owner*/, DialogProc /*proc*/,
                                                     LParam /*initParam*/) {
  return -1;  // no display to show a dialog on
}

void HeadlessWindowSystem::WaitForEvents() {
  std::vector<int> fds = WatchedDescriptors();
  std::vector<pollfd> polled;
  for (int fd : fds)
    polled.push_back(pollfd{fd, POLLIN, 0});
  // An interrupted wait simply returns: the loop looks at everything again.
  ::poll(polled.data(), polled.size(), -1);
}
