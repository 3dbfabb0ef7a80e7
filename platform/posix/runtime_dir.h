// The per-user directory that holds the instance lock and the window sockets.
#pragma once

#include <string>
#include <string_view>

// $XDG_RUNTIME_DIR when set; otherwise /tmp/corvane-<uid>, created with mode 0700 and accepted
// only when it is a real directory owned by this user that nobody else may enter. Returns 1 with
// the path in *path, or 0 (errno set) when no safe directory can be had.
int UserRuntimeDirectory(std::string* path);

// Creates path with mode 0700 unless it exists, then accepts it only when it is a real directory
// (not a link) owned by this user that nobody else may enter. Returns 1, or 0 with errno set.
int CheckedPrivateDirectory(const std::string& path);

// path of "<runtime directory>/<name><suffix>" with name as UTF-8. Returns 0 (errno set) when the
// directory cannot be had or name is empty, has a slash or a NUL, or is "." or "..".
int RuntimeFilePath(std::u16string_view name, std::string_view suffix, std::string* path);
