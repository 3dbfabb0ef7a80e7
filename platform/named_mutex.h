// A named mutex that tells the processes of one user session apart (CreateMutex, ReleaseMutex,
// CloseHandle): on POSIX an exclusive flock on "<runtime directory>/<name>.lock", on Windows the
// real named mutex. Either goes with the process, so a crashed holder never leaves the name taken.
#pragma once

#include <cstdint>
#include <string_view>

enum class NamedMutex : uintptr_t { None = 0 };

// Opens the mutex of that name and tries to own it. *lastError is 0 when this process now owns
// it, kErrorAlreadyExists when another holder has it (the handle is still returned, unowned), or
// an errno code with None when it cannot be had at all.
NamedMutex CreateNamedMutex(std::u16string_view name, int* lastError);

// Gives up ownership. Returns 1 when it was owned.
int ReleaseNamedMutex(NamedMutex mutex);

// Closes the handle, giving up ownership with it. Returns 1 for a valid handle.
int CloseNamedMutex(NamedMutex mutex);

// True while this process owns any named mutex: only the owner may claim its window sockets.
bool HoldsNamedMutex();
