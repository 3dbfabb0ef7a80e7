// Small files kept per user beside the settings, some of them secret: the folder, a safety check,
// and whole-file reads and atomic replacements.
#pragma once

#include <string>
#include <string_view>

// The user's folder for the maker's files ($XDG_CONFIG_HOME/<maker>, ~/.config/<maker> by
// default; %APPDATA%\<maker> on Windows), created readable by the user alone when missing. False
// when there is none.
bool MakerFolder(std::string_view maker, std::string* folder);

// The user's folder of settings ($XDG_CONFIG_HOME, ~/.config by default; %APPDATA% on Windows),
// never created; "" when there is none.
std::string ConfigFolder();

// The path of the file name in folder, with the system's separator.
std::string FileIn(const std::string& folder, std::string_view name);

enum class FileSafety {
  kMissing,
  kPrivate,  // a regular file of the user's own that nobody else may read or write (on Windows:
             // owned by the user, its access list allowing nobody else anything)
  kExposed,  // readable or writable by others, owned by another user, or no regular file
};

// How safely the file at path holds a secret. Links are not followed.
FileSafety CheckPrivateFile(const std::string& path);

// True when path names a file (or a link to one) that exists.
bool FileExists(const std::string& path);

// Deletes the file; false when it could not.
bool RemoveFile(const std::string& path);

// Reads the whole file (at most a megabyte). False when it cannot be read.
bool ReadSmallFile(const std::string& path, std::string* text);

// Replaces folder/name by bytes with the given mode, so that any failure leaves the old file
// whole: a new file beside it, flushed, then renamed over it. On Windows a mode that lets nobody
// else in (0600) is an access list for the user alone; any other leaves the folder's.
bool ReplaceFileAtomically(const std::string& folder, const std::string& name,
                           std::string_view bytes, unsigned mode);

// "user@host" for the account running the program.
std::string UserAtHost();
