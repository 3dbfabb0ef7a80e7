#include "platform/registry.h"

#include <windows.h>

#include "platform/win32/wide_text.h"

namespace {

// The longest key path Windows allows, and a value name far longer than any the program uses,
// terminators included.
constexpr size_t kKeyPathUnits = 256;
constexpr size_t kValueNameUnits = 1024;

HKEY Native(RegistryKey key) {
  // HKEY_CURRENT_USER is 0x80000001 sign-extended to the pointer's width.
  if (key == kRegistryCurrentUser) return HKEY_CURRENT_USER;
  return reinterpret_cast<HKEY>(key);
}

}  // namespace

long RegistryCreateKey(RegistryKey root, std::u16string_view path, std::u16string_view keyClass,
                       uint32_t options, uint32_t access, void* security, RegistryKey* key,
                       uint32_t* disposition) {
  if (root != kRegistryCurrentUser) return kRegistryInvalidHandle;
  WideText<kKeyPathUnits> widePath(path);
  WideText<kKeyPathUnits> wideClass(keyClass);
  if (!widePath.Ok() || !wideClass.Ok()) return kRegistryInvalidParameter;
  HKEY opened = nullptr;
  DWORD how = 0;
  LSTATUS status =
      RegCreateKeyExW(HKEY_CURRENT_USER, widePath.Get(), 0, const_cast<wchar_t*>(wideClass.Get()),
                      options, access, static_cast<SECURITY_ATTRIBUTES*>(security), &opened, &how);
  if (status != ERROR_SUCCESS) return status;
  *key = reinterpret_cast<RegistryKey>(opened);
  if (disposition != nullptr) *disposition = how;
  return kRegistrySuccess;
}

long RegistryReadValue(RegistryKey key, std::u16string_view name, uint32_t* type,
                       std::span<std::byte> buffer, uint32_t* size) {
  WideText<kValueNameUnits> wideName(name);
  if (!wideName.Ok()) return kRegistryNotFound;
  // Asked first for its size, so that a value that does not fit leaves the buffer untouched
  // (Windows may have written part of it before saying ERROR_MORE_DATA).
  DWORD valueType = 0;
  DWORD valueSize = 0;
  LSTATUS status =
      RegQueryValueExW(Native(key), wideName.Get(), nullptr, &valueType, nullptr, &valueSize);
  if (status != ERROR_SUCCESS) return status;
  if (type != nullptr) *type = valueType;
  if (size != nullptr) *size = valueSize;
  if (valueSize > buffer.size()) return kRegistryMoreData;
  DWORD room = valueSize;
  status = RegQueryValueExW(Native(key), wideName.Get(), nullptr, &valueType,
                            reinterpret_cast<BYTE*>(buffer.data()), &room);
  if (status == ERROR_SUCCESS) {
    if (type != nullptr) *type = valueType;
    if (size != nullptr) *size = room;
  }
  return status;
}

long RegistryWriteValue(RegistryKey key, std::u16string_view name, uint32_t type,
                        std::span<const std::byte> data) {
  WideText<kValueNameUnits> wideName(name);
  if (!wideName.Ok() || data.size() > MAXDWORD) return kRegistryInvalidParameter;
  return RegSetValueExW(Native(key), wideName.Get(), 0, type,
                        reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size()));
}

long RegistryCloseKey(RegistryKey key) {
  if (key == 0 || key == kRegistryCurrentUser) return kRegistryInvalidHandle;
  return RegCloseKey(Native(key));
}
