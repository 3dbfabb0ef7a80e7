#include "platform/named_mutex.h"

#include <windows.h>

#include <atomic>

#include "platform/win32/wide_text.h"
#include "platform/window_types.h"

namespace {

// Mutex names are at most MAX_PATH units.
constexpr size_t kNameUnits = MAX_PATH;

// Handles this process owns; only the count is needed.
std::atomic<int> ownedCount{0};

HANDLE Native(NamedMutex mutex) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(mutex));
}

}  // namespace

NamedMutex CreateNamedMutex(std::u16string_view name, int* lastError) {
  WideText<kNameUnits> wideName(name);
  if (!wideName.Ok()) {
    *lastError = ERROR_FILENAME_EXCED_RANGE;
    return NamedMutex::None;
  }
  // Owned at once when this call created it; an existing one is only opened.
  HANDLE handle = CreateMutexW(nullptr, TRUE, wideName.Get());
  DWORD error = GetLastError();
  if (handle == nullptr) {
    *lastError = static_cast<int>(error);
    return NamedMutex::None;
  }
  bool owned = error != ERROR_ALREADY_EXISTS;
  if (owned) ++ownedCount;
  *lastError = owned ? 0 : kErrorAlreadyExists;
  return static_cast<NamedMutex>(reinterpret_cast<uintptr_t>(handle));
}

int ReleaseNamedMutex(NamedMutex mutex) {
  if (mutex == NamedMutex::None || !ReleaseMutex(Native(mutex))) return 0;
  --ownedCount;
  return 1;
}

int CloseNamedMutex(NamedMutex mutex) {
  if (mutex == NamedMutex::None) return 0;
  return CloseHandle(Native(mutex)) ? 1 : 0;
}

bool HoldsNamedMutex() {
  return ownedCount.load() > 0;
}
