#include "core/notice_gate.h"

#include <algorithm>

bool NoticeGate::Admit(std::u16string_view text, Clock::time_point now) {
  std::u16string_view key = text.substr(0, kKeyUnits);
  std::lock_guard<std::mutex> hold(lock_);
  Slot* oldest = &slots_[0];
  for (Slot& slot : slots_) {
    if (slot.used && std::u16string_view(slot.key, slot.length) == key) {
      if (now - slot.shown < kQuietTime) return false;
      slot.shown = now;
      return true;
    }
    if (!slot.used || (oldest->used && slot.shown < oldest->shown)) oldest = &slot;
  }
  std::copy(key.begin(), key.end(), oldest->key);
  oldest->length = key.size();
  oldest->shown = now;
  oldest->used = true;
  return true;
}

void NoticeGate::Forget() {
  std::lock_guard<std::mutex> hold(lock_);
  for (Slot& slot : slots_)
    slot = Slot{};
}
