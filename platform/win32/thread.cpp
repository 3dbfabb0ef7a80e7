#include "platform/thread.h"

#include <process.h>
#include <windows.h>

namespace {

unsigned __stdcall Trampoline(void* arg) {
  auto proc = reinterpret_cast<void (*)()>(arg);
  proc();
  return 0;
}

}  // namespace

int StartDetachedThread(void (*proc)(), size_t stackBytes) {
  // _beginthreadex rather than CreateThread, so the C runtime's per-thread state is set up.
  // The stack size is a reservation: pages are committed only as the thread reaches them.
  uintptr_t thread =
      _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), Trampoline,
                     reinterpret_cast<void*>(proc), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == 0) return 0;
  CloseHandle(reinterpret_cast<HANDLE>(thread));  // detached: nobody waits for it
  return 1;
}
