// A PKCS#11 library standing in for a token whose PIN is locked: it is
// SoftHSM2 (the library named by $PIN_LOCKED_REAL_LIBRARY) in every call but
// C_Login, which answers CKR_PIN_LOCKED. SoftHSM itself never locks a PIN.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>

namespace {

CK_FUNCTION_LIST functions;

CK_RV LockedLogin(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR_PTR, CK_ULONG) {
  return CKR_PIN_LOCKED;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  const char* real = std::getenv("PIN_LOCKED_REAL_LIBRARY");
  void* library = real != nullptr ? dlopen(real, RTLD_NOW | RTLD_LOCAL) : nullptr;
  auto getList =
      library != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList")) : nullptr;
  CK_FUNCTION_LIST_PTR realList = nullptr;
  if (getList == nullptr || getList(&realList) != CKR_OK) return CKR_GENERAL_ERROR;
  functions = *realList;
  functions.C_Login = LockedLogin;
  *list = &functions;
  return CKR_OK;
}
