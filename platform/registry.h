// The current user's registry, kept on POSIX as text files in the shape of a registry export.
//
// The four calls map one to one onto RegCreateKeyEx, RegQueryValueEx, RegSetValueEx and
// RegCloseKey, with the same status codes; the Windows build puts the real registry behind them
// (platform/win32/registry.cpp), and what follows about files is the POSIX stand-in's.
//
// Where keys live: "Software\<Maker>\<Program>" and every key below it are kept in
// $XDG_CONFIG_HOME/<Maker>/<Program>.reg ($XDG_CONFIG_HOME defaults to ~/.config; a relative one
// is ignored, as the XDG rules say). The file is UTF-8 text:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Maker\Program]
//   "Number"=dword:00001388        type 4 with 4 bytes: the value, least significant byte first
//   "Text"="a \"quoted\" text"     type 1: UTF-16 text and its terminator, with \ and " escaped
//   "Other"=hex(3):01,ff           any other type or bytes: each byte as two hex digits
//
// Writes are kept with the open key and reach the file when the key is closed, in one atomic
// replacement (a new file beside the old one, flushed, then renamed over it), so a crash or a
// full disk leaves either the old or the new file whole. Lines the file holds that are not the
// values written (other keys, other values, even damaged lines) are kept as they are. A damaged
// value reads as missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// A predefined root or a key opened by RegistryCreateKey; 0 is no key.
using RegistryKey = uintptr_t;

inline constexpr RegistryKey kRegistryCurrentUser = 0x80000001;  // HKEY_CURRENT_USER

// Status codes, the Win32 error numbers.
inline constexpr long kRegistrySuccess = 0;            // ERROR_SUCCESS
inline constexpr long kRegistryNotFound = 2;           // ERROR_FILE_NOT_FOUND
inline constexpr long kRegistryTooManyOpen = 4;        // ERROR_TOO_MANY_OPEN_FILES
inline constexpr long kRegistryInvalidHandle = 6;      // ERROR_INVALID_HANDLE
inline constexpr long kRegistryInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
inline constexpr long kRegistryMoreData = 234;         // ERROR_MORE_DATA
inline constexpr long kRegistryBadFile = 1009;         // ERROR_BADDB: the file cannot be used
inline constexpr long kRegistryCannotRead = 1012;      // ERROR_CANTREAD
inline constexpr long kRegistryCannotWrite = 1013;     // ERROR_CANTWRITE

// Dispositions reported by RegistryCreateKey.
inline constexpr uint32_t kRegistryCreatedNewKey = 1;      // REG_CREATED_NEW_KEY
inline constexpr uint32_t kRegistryOpenedExistingKey = 2;  // REG_OPENED_EXISTING_KEY

// Value types.
inline constexpr uint32_t kRegistryText = 1;    // REG_SZ
inline constexpr uint32_t kRegistryBinary = 3;  // REG_BINARY
inline constexpr uint32_t kRegistryNumber = 4;  // REG_DWORD

// Arguments of RegistryCreateKey that the files accept and do not need.
inline constexpr uint32_t kRegistryNonVolatile = 0;      // REG_OPTION_NON_VOLATILE
inline constexpr uint32_t kRegistryAllAccess = 0xF003F;  // KEY_ALL_ACCESS

// Creates the key path below root (only kRegistryCurrentUser here), or opens it when it exists,
// and reports which with *disposition. keyClass, options, access and security are taken for
// the Win32 shape and ignored. On failure *key is left as it was.
long RegistryCreateKey(RegistryKey root, std::u16string_view path, std::u16string_view keyClass,
                       uint32_t options, uint32_t access, void* security, RegistryKey* key,
                       uint32_t* disposition);

// Reads the named value (an empty name is the key's default value). Its bytes are copied into
// buffer only when the value exists and fits; otherwise the buffer is untouched and the result
// is kRegistryNotFound or kRegistryMoreData. *type and *size (each may be null) receive the
// value's type and byte count whenever the value exists.
long RegistryReadValue(RegistryKey key, std::u16string_view name, uint32_t* type,
                       std::span<std::byte> buffer, uint32_t* size);

// Stores bytes under name with the given type, replacing any earlier value of that name.
long RegistryWriteValue(RegistryKey key, std::u16string_view name, uint32_t type,
                        std::span<const std::byte> data);

// Releases the key, first writing its file when values were written through it.
long RegistryCloseKey(RegistryKey key);
