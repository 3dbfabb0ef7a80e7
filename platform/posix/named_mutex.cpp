#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <string>

#include "platform/posix/runtime_dir.h"
#include "platform/posix/unique_fd.h"
#include "platform/window_types.h"

namespace {

// Open mutex handles at one time: the program takes one; tests take a few.
constexpr size_t kMaxNamedMutexes = 8;

struct MutexSlot {
  UniqueFd file;
  bool owned = false;
};

// Main thread only, like the Win32 handles the shell keeps.
MutexSlot Slots[kMaxNamedMutexes];

MutexSlot* SlotOf(NamedMutex mutex) {
  auto index = static_cast<size_t>(mutex);
  if (index == 0 || index > kMaxNamedMutexes || !Slots[index - 1].file.Valid()) return nullptr;
  return &Slots[index - 1];
}

}  // namespace

NamedMutex CreateNamedMutex(std::u16string_view name, int* lastError) {
  size_t free = 0;
  while (free < kMaxNamedMutexes && Slots[free].file.Valid())
    ++free;
  std::string path;
  if (free == kMaxNamedMutexes) errno = EMFILE;
  if (free == kMaxNamedMutexes || RuntimeFilePath(name, ".lock", &path) == 0) {
    *lastError = errno;
    return NamedMutex::None;
  }
  UniqueFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!file.Valid()) {
    *lastError = errno;
    return NamedMutex::None;
  }
  bool owned = ::flock(file.Get(), LOCK_EX | LOCK_NB) == 0;
  if (!owned && errno != EWOULDBLOCK) {
    *lastError = errno;
    return NamedMutex::None;
  }
  *lastError = owned ? 0 : kErrorAlreadyExists;
  Slots[free].file = std::move(file);
  Slots[free].owned = owned;
  return static_cast<NamedMutex>(free + 1);
}

int ReleaseNamedMutex(NamedMutex mutex) {
  MutexSlot* slot = SlotOf(mutex);
  if (slot == nullptr || !slot->owned) return 0;
  ::flock(slot->file.Get(), LOCK_UN);
  slot->owned = false;
  return 1;
}

int CloseNamedMutex(NamedMutex mutex) {
  MutexSlot* slot = SlotOf(mutex);
  if (slot == nullptr) return 0;
  slot->file.Reset(-1);  // closing the last descriptor drops the lock
  slot->owned = false;
  return 1;
}

bool HoldsNamedMutex() {
  for (const MutexSlot& slot : Slots) {
    if (slot.owned) return true;
  }
  return false;
}
