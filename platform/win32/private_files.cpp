// The maker's folder under %APPDATA%. "Readable by the user alone" is the file's owner and its
// access list: the owner is the user, and the list allows nobody else anything but the system
// itself (LocalSystem, as root on Linux, whom no mode keeps out either); a secret is written
// with such a list from the start, protected from what the folder would pass on.
#include "platform/private_files.h"

#include <windows.h>

// These need windows.h first.
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <memory>
#include <vector>

#include "platform/text_convert.h"

namespace {

constexpr size_t kMaxFileBytes = 1 << 20;
constexpr unsigned kOthersMayRead = 077;  // a mode that leaves the file to the folder's list

std::wstring Wide(std::string_view text) {
  std::u16string wide = SingleByteToWide(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string Narrow(const wchar_t* wide) {
  std::u16string_view text(reinterpret_cast<const char16_t*>(wide));
  std::string out(text.size() * 3 + 1, '\0');
  out.resize(WideToSingleByte(text, out));
  return out;
}

struct CloseHandleOf {
  void operator()(HANDLE h) const { CloseHandle(h); }
};
using HandlePtr = std::unique_ptr<void, CloseHandleOf>;

struct LocalFreeOf {
  void operator()(void* p) const { LocalFree(p); }
};

// The SID of the account running the program, in a buffer of its own.
std::vector<BYTE> UserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  HandlePtr held(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> info(size);
  if (size == 0 || !GetTokenInformation(token, TokenUser, info.data(), size, &size)) return {};
  PSID sid = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
  std::vector<BYTE> copy(GetLengthSid(sid));
  CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid);
  return copy;
}

// A security descriptor that gives the user and the system full access, inheriting nothing.
std::unique_ptr<void, LocalFreeOf> UserOnlyDescriptor() {
  std::vector<BYTE> sid = UserSid();
  wchar_t* text = nullptr;
  if (sid.empty() || !ConvertSidToStringSidW(sid.data(), &text)) return nullptr;
  std::wstring sddl = L"O:" + std::wstring(text) + L"D:P(A;;FA;;;SY)(A;;FA;;;" + text + L")";
  LocalFree(text);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return nullptr;
  return std::unique_ptr<void, LocalFreeOf>(descriptor);
}

// True when every entry of the list that allows something allows it to sid or the system alone.
bool AllowsOnly(const ACL* acl, PSID sid) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID system = nullptr;
  if (!AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system))
    return false;
  std::unique_ptr<void, decltype(&FreeSid)> held(system, FreeSid);
  ACL_SIZE_INFORMATION size{};
  if (!GetAclInformation(const_cast<ACL*>(acl), &size, sizeof size, AclSizeInformation))
    return false;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(const_cast<ACL*>(acl), i, &entry)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // applies to files made inside, not this
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;  // not understood: not safe
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    auto* to = const_cast<DWORD*>(&allowed->SidStart);
    if (allowed->Mask != 0 && !EqualSid(to, sid) && !EqualSid(to, system)) return false;
  }
  return true;
}

}  // namespace

std::string ConfigFolder() {
  wchar_t* roaming = nullptr;
  std::string folder;
  if (SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming) == S_OK)
    folder = Narrow(roaming);
  CoTaskMemFree(roaming);
  return folder;
}

bool MakerFolder(std::string_view maker, std::string* folder) {
  std::string roaming = ConfigFolder();
  if (roaming.empty()) return false;
  *folder = roaming + "\\" + std::string(maker);
  std::wstring wide = Wide(*folder);
  if (!CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return false;
  DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string FileIn(const std::string& folder, std::string_view name) {
  return folder + "\\" + std::string(name);
}

FileSafety CheckPrivateFile(const std::string& path) {
  std::wstring wide = Wide(path);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileSafety::kMissing
                                                                          : FileSafety::kExposed;
  }
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
    return FileSafety::kExposed;
  PSID owner = nullptr;
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                            &acl, nullptr, &descriptor) != ERROR_SUCCESS)
    return FileSafety::kExposed;
  std::unique_ptr<void, LocalFreeOf> held(descriptor);
  std::vector<BYTE> user = UserSid();
  // No list at all lets everyone in.
  bool own = !user.empty() && owner != nullptr && EqualSid(owner, user.data());
  return own && acl != nullptr && AllowsOnly(acl, user.data()) ? FileSafety::kPrivate
                                                               : FileSafety::kExposed;
}

bool FileExists(const std::string& path) {
  return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveFile(const std::string& path) {
  return DeleteFileW(Wide(path).c_str()) != 0;
}

bool ReadSmallFile(const std::string& path, std::string* text) {
  HandlePtr file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > static_cast<LONGLONG>(kMaxFileBytes))
    return false;
  text->assign(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  return ReadFile(file.get(), text->data(), static_cast<DWORD>(text->size()), &read, nullptr) &&
         read == text->size();
}

bool ReplaceFileAtomically(const std::string& folder, const std::string& name,
                           std::string_view bytes, unsigned mode) {
  std::unique_ptr<void, LocalFreeOf> descriptor;
  SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
  if ((mode & kOthersMayRead) == 0) {
    descriptor = UserOnlyDescriptor();
    if (descriptor == nullptr) return false;
    security.lpSecurityDescriptor = descriptor.get();
  }
  std::wstring temp = Wide(FileIn(folder, "." + name + "." + std::to_string(GetCurrentProcessId()) +
                                              "." + std::to_string(GetTickCount64())));
  HANDLE made = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (made == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool done = WriteFile(made, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && FlushFileBuffers(made);
  done = CloseHandle(made) && done &&
         MoveFileExW(temp.c_str(), Wide(FileIn(folder, name)).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!done) DeleteFileW(temp.c_str());
  return done;
}

std::string UserAtHost() {
  wchar_t user[257] = {};
  DWORD userSize = 257;
  wchar_t host[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD hostSize = MAX_COMPUTERNAME_LENGTH + 1;
  std::string who = GetUserNameW(user, &userSize) ? Narrow(user) : "user";
  return who + "@" + (GetComputerNameW(host, &hostSize) ? Narrow(host) : "localhost");
}
