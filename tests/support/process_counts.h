// What the test process holds right now, from /proc: its threads and open descriptors, so that
// a test can show the server gives back what a connection took.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

inline long StatusField(const char* name) {
  FILE* f = std::fopen("/proc/self/status", "r");
  char line[256];
  long value = -1;
  size_t n = std::strlen(name);
  while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, name, n) == 0) value = std::strtol(line + n, nullptr, 10);
  }
  if (f != nullptr) std::fclose(f);
  return value;
}

inline long Threads() {
  return StatusField("Threads:");
}

inline long Descriptors() {
  long count = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (d != nullptr && ::readdir(d) != nullptr)
    ++count;
  if (d != nullptr) ::closedir(d);
  return count;
}
