// A PKCS#11 library standing in for a token in trouble: SoftHSM2 (the
// library named by $STAND_IN_REAL_LIBRARY) in every call but those the mode
// in $STAND_IN_MODE changes, read at each call:
//   "pin-locked"    C_Login answers CKR_PIN_LOCKED (SoftHSM never locks a PIN)
//   "removed"       C_SignInit and C_DecryptInit answer CKR_DEVICE_REMOVED
//   "removed-once"  the same for one call, then the mode is cleared (a token
//                   pulled out and put back)
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <cstring>

namespace {

CK_FUNCTION_LIST functions;
CK_FUNCTION_LIST_PTR real = nullptr;

bool Mode(const char* wanted) {
  const char* mode = std::getenv("STAND_IN_MODE");
  return mode != nullptr && std::strcmp(mode, wanted) == 0;
}

// Whether this call is answered "removed".
bool Removed() {
  if (Mode("removed")) return true;
  if (!Mode("removed-once")) return false;
  unsetenv("STAND_IN_MODE");
  return true;
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  return Mode("pin-locked") ? CKR_PIN_LOCKED : real->C_Login(session, user, pin, length);
}

CK_RV SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return Removed() ? CKR_DEVICE_REMOVED : real->C_SignInit(session, mechanism, key);
}

CK_RV DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return Removed() ? CKR_DEVICE_REMOVED : real->C_DecryptInit(session, mechanism, key);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  const char* path = std::getenv("STAND_IN_REAL_LIBRARY");
  void* library = path != nullptr ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
  auto getList =
      library != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList")) : nullptr;
  if (getList == nullptr || getList(&real) != CKR_OK) return CKR_GENERAL_ERROR;
  functions = *real;
  functions.C_Login = Login;
  functions.C_SignInit = SignInit;
  functions.C_DecryptInit = DecryptInit;
  *list = &functions;
  return CKR_OK;
}
