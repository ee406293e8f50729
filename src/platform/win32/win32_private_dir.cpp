// Directories only their creator may use. A new directory normally inherits
// the access list of its parent, which outside the user's profile lets others
// in; a private one gets its own protected list instead.
#include <memory>

#include "platform/win32/win32_internal.h"
// sddl.h needs windows.h first.
#include <sddl.h>
// aclapi.h too.
#include <aclapi.h>

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

// The same for one file: nothing to hand down.
std::string OwnerOnlyFileDescriptor(const std::string& userSid) {
  return "D:P(A;;FA;;;" + userSid + ")(A;;FA;;;SY)";
}

// A security descriptor from its text form, freed with LocalFree.
std::unique_ptr<void, LocalFreer> DescriptorFromText(const std::string& text) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return nullptr;
  }
  return std::unique_ptr<void, LocalFreer>(descriptor);
}

// Restores the entries a new file would inherit from its directory: an empty
// list that lets inheritance in.
bool InheritAccess(const std::string& path) {
  ACL empty;
  if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return false;
  return SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                               &empty, nullptr) == ERROR_SUCCESS;
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

bool Win32Platform::CreatePrivateFile(const std::string& path, const void* data, size_t size) {
  const std::string userSid = CurrentUserSid();
  if (userSid.empty()) return false;
  std::unique_ptr<void, LocalFreer> descriptor = DescriptorFromText(OwnerOnlyFileDescriptor(userSid));
  if (!descriptor) return false;
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
  // CREATE_NEW: exclusive, and the list is the file's from its creation.
  ScopedHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &attributes, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  const bool written = WriteAll(file.get(), static_cast<const char*>(data), size);
  if (file.Close() && written) return true;
  DeleteFileA(path.c_str());
  return false;
}

bool Win32Platform::SetAccessLike(const std::string& path, const std::string& model) {
  if (model.empty()) return InheritAccess(path);
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetNamedSecurityInfoA(model.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list, nullptr,
                            &raw) != ERROR_SUCCESS) {
    return false;
  }
  std::unique_ptr<void, LocalFreer> owned(raw);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(raw, &control, &revision)) return false;
  // A protected list is copied as it is; an open one lets the new
  // directory's inherited entries in as the model's did.
  const SECURITY_INFORMATION what =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  return SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, what, nullptr, nullptr, list,
                               nullptr) == ERROR_SUCCESS;
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
