#include "platform/thread.h"

#include <pthread.h>

#include <cerrno>

namespace {

void* Trampoline(void* arg) {
  auto proc = reinterpret_cast<void (*)()>(arg);
  proc();
  return nullptr;
}

}  // namespace

int StartDetachedThread(void (*proc)(), size_t stackBytes) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return 0;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stackBytes != 0) pthread_attr_setstacksize(&attr, stackBytes);
  pthread_t id;
  int rc = pthread_create(&id, &attr, Trampoline, reinterpret_cast<void*>(proc));
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    return 0;
  }
  return 1;
}
