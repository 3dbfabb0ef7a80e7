// Keeps a failure that repeats from raising a notice each time: a page that asks a dead host
// for forty images tells the user once, not forty times.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string_view>

class NoticeGate {
 public:
  using Clock = std::chrono::steady_clock;

  // How long the same text stays quiet after it was let through.
  static constexpr Clock::duration kQuietTime = std::chrono::seconds(30);

  // True when text may be shown at now: it was not let through within kQuietTime before. The
  // texts remembered are the most recent few; one forgotten may be shown again early. Any thread.
  bool Admit(std::u16string_view text, Clock::time_point now);

  // Forgets every text: each may be shown at once again.
  void Forget();

 private:
  // Distinct texts remembered; a burst of failures names a handful of hosts.
  static constexpr size_t kRemembered = 32;
  // Texts are told apart by their first units; longer ones share a slot when these agree.
  static constexpr size_t kKeyUnits = 128;

  struct Slot {
    char16_t key[kKeyUnits] = {};
    size_t length = 0;
    Clock::time_point shown;
    bool used = false;
  };

  std::mutex lock_;
  Slot slots_[kRemembered];
};
