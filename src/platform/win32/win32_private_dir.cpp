// Directories only their creator may use. A new directory normally inherits
// the access list of its parent, which outside the user's profile lets others
// in; a private one gets its own protected list instead.
#include <memory>

#include "platform/win32/win32_internal.h"
// sddl.h needs windows.h first.
#include <sddl.h>

namespace cryptlib::platform::win32 {

namespace {

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};

// Full control for the user and for the system account only; "P" stops the
// parent's entries from being inherited, "OICI" hands the entries down to
// files and directories created inside.
std::string OwnerOnlyDescriptor(const std::string& userSid) {
  return "D:P(A;OICI;FA;;;" + userSid + ")(A;OICI;FA;;;SY)";
}

}  // namespace

std::string CurrentUserSid() {
  HANDLE rawToken = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return std::string();
  ScopedHandle token(rawToken);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return std::string();
  auto buffer = std::make_unique<unsigned char[]>(size);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.get(), size, &size)) return std::string();
  char* text = nullptr;
  if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, &text)) return std::string();
  std::unique_ptr<char, LocalFreer> owned(text);
  return std::string(text);
}

bool Win32Platform::CreatePrivateDirectory(const std::string& path) {
  const std::string userSid = CurrentUserSid();
  if (userSid.empty()) return false;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(OwnerOnlyDescriptor(userSid).c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return false;
  }
  std::unique_ptr<void, LocalFreer> owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  return CreateDirectoryA(path.c_str(), &attributes) != 0;
}

}  // namespace cryptlib::platform::win32
