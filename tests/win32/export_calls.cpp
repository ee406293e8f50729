// A host of its own, written the way a 32-bit banking client binds the
// engine: CryptLib.dll loaded by name with LoadLibraryA, every export looked
// up by its ordinal and by its name (both must give the same address), and on
// 32-bit x86 every export called as __stdcall with the argument bytes of this
// program's own table. The table is written from the exported interface and
// deliberately not from include/cryptlib.h, so the header is not compared
// with itself.
//
// A stdcall callee pops its arguments: pushing a different number of bytes
// than the export pops, or an export compiled with another convention, leaves
// the stack pointer moved after the call. The calls go through a thunk that
// records the stack pointer before the arguments are pushed and after the call
// returns; any difference fails the program.
//
// The calls are harmless: a nil handle, which every export that takes one
// answers with its shield value without touching memory, or a live engine for
// exports whose answer needs no vendor module; every answer is checked. On
// x86-64 (one calling convention, the caller cleans the stack) there is no
// stack pointer to check: the ordinals, names and answers are.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// Which handle a call passes first.
enum class Handle {
  kNone,  // the export takes no handle
  kNil,   // nullptr: the shield answers
  kLive,  // the engine of GetCryptObj
};

// What the call must answer.
enum class Answer {
  kNothing,  // a procedure: no result to read
  kValue,    // exactly Export::value
  kNonZero,  // an engine handle
};

struct Export {
  int ordinal;
  const char* name;
  int argumentBytes;  // 4 per argument, the handle included
  Handle handle;
  Answer answer;
  int32_t value;
  const char* text;  // the first argument after the handle, when it must be a string
};

constexpr int32_t kSize = -1;         // shield of size queries, counts and flags
constexpr int32_t kOperation = -102;  // shield of every operation
constexpr int32_t kUnsupported = -1;  // what this engine answers for operations it lacks
// Stands for the system's temporary directory in the text column.
constexpr char kTempDirectory[] = "%TEMP%";

// The 76 exports in ordinal order.
const Export kExports[] = {
    {1, "GetCryptObj", 0, Handle::kNone, Answer::kNonZero, 0, nullptr},
    {2, "DoneEngine", 4, Handle::kLive, Answer::kNothing, 0, nullptr},
    {3, "GetMaxEncodeAddition", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {4, "GetMaxSignatureLength", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {5, "GetMaxUIDLength", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {6, "GetMaxCryptoParamNameLength", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {7, "GetMaxCryptoParamValueLength", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {8, "GetMaxErrorStringLength", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {9, "GetCryptoParamNumber", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {10, "GetCryptoParamName", 12, Handle::kNil, Answer::kNothing, 0, nullptr},
    {11, "GetCryptoParamValue", 12, Handle::kNil, Answer::kNothing, 0, nullptr},
    {12, "SetCryptoParamValue", 12, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {13, "GetEncodeUIDBySignUID", 12, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {14, "GetCryptoErrorString", 12, Handle::kNil, Answer::kNothing, 0, nullptr},
    {15, "EncodeData", 16, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {16, "DecodeData", 16, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {17, "SignData", 24, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {18, "VerifyData", 24, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {19, "GetCurrentUserUID", 8, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {20, "GenerateNewSSK", 4, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {21, "GenerateNewSEK", 4, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {22, "IsDifferentKeys", 4, Handle::kLive, Answer::kValue, 0, nullptr},
    {23, "SetPasswordRequestFunc", 8, Handle::kNil, Answer::kNothing, 0, nullptr},
    {24, "GetMaxPasswordLength", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {25, "IncludePublicKey", 8, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {26, "IncludePublicEncodeKey", 8, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {27, "SignFile", 8, Handle::kLive, Answer::kValue, kUnsupported, nullptr},
    {28, "VerifyFile", 12, Handle::kLive, Answer::kValue, kUnsupported, nullptr},
    {29, "RemoveSignaturesFromFile", 8, Handle::kLive, Answer::kValue, kUnsupported, nullptr},
    {30, "GetLastErrorMessage", 8, Handle::kNil, Answer::kNothing, 0, nullptr},
    {31, "SetRootPath", 8, Handle::kLive, Answer::kNothing, 0, kTempDirectory},
    {32, "TransSignatureFromFileToTM", 4, Handle::kLive, Answer::kValue, 0, nullptr},
    {33, "TransPrivateKeyFromFileToTM", 4, Handle::kLive, Answer::kValue, 0, nullptr},
    {34, "SetTMRequestFunc", 8, Handle::kNil, Answer::kNothing, 0, nullptr},
    {35, "ClearCash", 4, Handle::kNil, Answer::kNothing, 0, nullptr},
    {36, "RemoteGenerateStart", 8, Handle::kLive, Answer::kValue, kUnsupported, nullptr},
    {37, "SetRemoteGeneratePath", 8, Handle::kNil, Answer::kNothing, 0, nullptr},
    {38, "AddSign", 16, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {39, "RemoveSign", 16, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {40, "GetMaxSignAddition", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {41, "GetPublicKeyTransfer", 12, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {42, "RemoteGenerateFinish", 8, Handle::kLive, Answer::kValue, kUnsupported, nullptr},
    {43, "SavePublicKeyFromTransfer", 12, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {44, "GetMaxPublicKeyTransferSize", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {45, "IncludePublicKeyTransfer", 8, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {46, "ExcludeSelfPublicKeyTransfer", 8, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {47, "GetMaxFilePathLength", 4, Handle::kNil, Answer::kValue, 255, nullptr},
    {48, "GetRemoteGenType", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {49, "SaveSignedDataToFile", 24, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {50, "GetPublicKeyTransferByFile", 12, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {51, "GetMaxReportSize", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {52, "GetReport", 12, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {53, "GetMaxAdditionEx", 8, Handle::kNil, Answer::kValue, kSize, nullptr},
    {54, "GetUIDByPublicKeyTransfer", 12, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {55, "UpdateCertificateCash", 8, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {56, "GetMaxPublicKeyPropertiesLength", 4, Handle::kNil, Answer::kValue, kSize, nullptr},
    {57, "GetPublicKeyProperties", 12, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {58, "RemoteGenerateStartEx", 16, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {59, "RemoteGenerateFinishEx", 12, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {60, "GetPublicKeyPropertiesByTransfer", 12, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {61, "GetPublicKeyPropertiesByFile", 12, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {62, "IncludeCACertificateFromTransfer", 8, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {63, "CreateDirStructure", 12, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {64, "RemoveCertificate", 8, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {65, "VerifySignWOCheckValidity", 24, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {66, "CertAndRequestTransferMatch", 16, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {67, "IncludeCRL", 8, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {68, "ConvertTransferToSignedRequest", 8, Handle::kLive, Answer::kValue, kUnsupported, nullptr},
    {69, "HashData", 24, Handle::kLive, Answer::kValue, kUnsupported, nullptr},
    {70, "ShowCertificate", 8, Handle::kLive, Answer::kValue, kUnsupported, nullptr},
    {71, "GetPureSign", 24, Handle::kLive, Answer::kValue, kUnsupported, nullptr},
    {72, "GetUIDByCertIdent", 12, Handle::kLive, Answer::kValue, kUnsupported, nullptr},
    {73, "InstallCertsInMyStore", 8, Handle::kLive, Answer::kValue, kUnsupported, nullptr},
    {74, "RegisterOIDInfo", 12, Handle::kLive, Answer::kValue, kUnsupported, nullptr},
    {75, "GetParamInfo", 20, Handle::kNil, Answer::kValue, kOperation, nullptr},
    {76, "CheckCompatibles", 4, Handle::kNone, Answer::kValue, 1, "M-Pro v2.x"},
};
constexpr int kExportCount = sizeof(kExports) / sizeof(kExports[0]);
static_assert(kExportCount == 76);

int failures = 0;

void Fail(const Export& entry, const std::string& what) {
  std::printf("FAIL %2d %s: %s\n", entry.ordinal, entry.name, what.c_str());
  ++failures;
}

// The address of an export by ordinal, checked against the one by name.
FARPROC Resolve(HMODULE library, const Export& entry) {
  FARPROC byOrdinal = GetProcAddress(library, MAKEINTRESOURCEA(entry.ordinal));
  FARPROC byName = GetProcAddress(library, entry.name);
  if (byOrdinal == nullptr) Fail(entry, "no export with this ordinal");
  if (byName == nullptr) Fail(entry, "no export with this name");
  if (byOrdinal != byName) Fail(entry, "the ordinal and the name give different addresses");
  return byOrdinal;
}

#if defined(__i386__)

constexpr bool kStackChecked = true;

// Pushes count 32-bit arguments (arguments[0] last, so it is the first the
// callee sees), calls function, and stores in *drift how far the stack pointer
// after the return lies from where it was before the first push (0 for a
// stdcall callee that popped exactly count * 4 bytes). Restores the stack
// pointer from the frame, so a drift never harms the caller; the stack is
// 16-byte aligned at the call. Returns the callee's EAX.
extern "C" uintptr_t CallMeasuringStack(const void* function, const uintptr_t* arguments, uintptr_t count,
                                        int32_t* drift) asm("cryptlib_call_measuring_stack");

asm(R"(
    .text
    .globl cryptlib_call_measuring_stack
cryptlib_call_measuring_stack:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  12(%ebp), %esi
    movl  16(%ebp), %ecx
    leal  (,%ecx,4), %eax
    subl  %eax, %esp
    andl  $-16, %esp
    addl  %eax, %esp
    movl  %esp, %edi
1:  testl %ecx, %ecx
    jz    2f
    pushl -4(%esi,%ecx,4)
    decl  %ecx
    jmp   1b
2:  call  *8(%ebp)
    movl  %esp, %ecx
    subl  %edi, %ecx
    movl  20(%ebp), %edx
    movl  %ecx, (%edx)
    leal  -12(%ebp), %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");

// The thunk must see a wrong byte count, or its silence proves nothing: a
// stdcall function of two arguments, called with two and then with three.
int32_t __stdcall PopsTwoArguments(int32_t a, int32_t b) {
  return a - b;
}

bool ThunkSeesDrift() {
  const uintptr_t arguments[3] = {7, 3, 0};
  int32_t rightDrift = 1, wrongDrift = 0;
  const void* function = reinterpret_cast<const void*>(&PopsTwoArguments);
  const int32_t answer = static_cast<int32_t>(CallMeasuringStack(function, arguments, 2, &rightDrift));
  CallMeasuringStack(function, arguments, 3, &wrongDrift);
  const bool seen = answer == 4 && rightDrift == 0 && wrongDrift == -4;
  if (!seen) std::printf("FAIL the thunk: answer %d, drift %d and %d\n", answer, rightDrift, wrongDrift);
  return seen;
}

uintptr_t Invoke(const void* function, const uintptr_t* arguments, uintptr_t count, int32_t* drift) {
  return CallMeasuringStack(function, arguments, count, drift);
}

#else  // x86-64

constexpr bool kStackChecked = false;
constexpr int kMostArguments = 6;

// Every export takes at most six arguments; the caller cleans the stack, so
// passing six to one that takes fewer is harmless.
uintptr_t Invoke(const void* function, const uintptr_t* arguments, uintptr_t, int32_t* drift) {
  using SixArguments = uintptr_t (*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t);
  *drift = 0;
  static_assert(kMostArguments == 6);
  return reinterpret_cast<SixArguments>(function)(arguments[0], arguments[1], arguments[2], arguments[3], arguments[4],
                                                  arguments[5]);
}

#endif

// Calls one export with its table's argument bytes and checks the answer and
// the stack pointer. Every argument after the handle is 0 (nil) unless the
// table gives a text.
void CallChecked(const Export& entry, FARPROC function, void* engine, const std::string& tempDirectory,
                 void** created) {
  uintptr_t arguments[8] = {};
  const uintptr_t count = static_cast<uintptr_t>(entry.argumentBytes / 4);
  uintptr_t next = 0;
  if (entry.handle != Handle::kNone) {
    arguments[next++] = entry.handle == Handle::kLive ? reinterpret_cast<uintptr_t>(engine) : 0;
  }
  if (entry.text != nullptr && next < count) {
    const char* text = entry.text == kTempDirectory ? tempDirectory.c_str() : entry.text;
    arguments[next] = reinterpret_cast<uintptr_t>(text);
  }
  int32_t drift = 0;
  const uintptr_t raw = Invoke(reinterpret_cast<const void*>(function), arguments, count, &drift);
  const int32_t answer = static_cast<int32_t>(static_cast<uint32_t>(raw));
  if (drift != 0) {
    Fail(entry, "the stack pointer moved by " + std::to_string(drift) + " bytes (the export pops " +
                    std::to_string(entry.argumentBytes + drift) + ", the table says " +
                    std::to_string(entry.argumentBytes) + ")");
  }
  if (entry.answer == Answer::kValue && answer != entry.value) {
    Fail(entry, "answered " + std::to_string(answer) + " instead of " + std::to_string(entry.value));
  }
  if (entry.answer == Answer::kNonZero) {
    if (raw == 0) Fail(entry, "answered nil");
    *created = reinterpret_cast<void*>(raw);
  }
}

// GetCryptObj first (the live engine), DoneEngine last, the rest in ordinal
// order between them.
void CallEveryExport(const FARPROC* functions) {
  char temp[MAX_PATH + 1] = {};
  GetTempPathA(sizeof(temp), temp);
  void* engine = nullptr;
  CallChecked(kExports[0], functions[0], nullptr, temp, &engine);
  if (engine == nullptr) return;
  for (int i = 2; i < kExportCount; ++i) CallChecked(kExports[i], functions[i], engine, temp, nullptr);
  CallChecked(kExports[1], functions[1], engine, temp, nullptr);
}

}  // namespace

int main() {
  HMODULE library = LoadLibraryA("CryptLib.dll");
  if (library == nullptr) {
    std::printf("FAIL LoadLibraryA(\"CryptLib.dll\"): error %lu\n", GetLastError());
    return 1;
  }
  FARPROC functions[kExportCount] = {};
  for (int i = 0; i < kExportCount; ++i) functions[i] = Resolve(library, kExports[i]);
  // Nothing beyond the last ordinal.
  if (GetProcAddress(library, MAKEINTRESOURCEA(kExportCount + 1)) != nullptr) {
    std::printf("FAIL ordinal %d exists\n", kExportCount + 1);
    ++failures;
  }
  if (failures == 0) {
#if defined(__i386__)
    if (!ThunkSeesDrift()) ++failures;
#endif
    if (failures == 0) CallEveryExport(functions);
  }
  const char* checked = kStackChecked ? "resolved by ordinal and name, called as __stdcall, the stack pointer kept"
                                      : "resolved by ordinal and name and called";
  FreeLibrary(library);
  if (failures != 0) {
    std::printf("%d failure(s)\n", failures);
    return 1;
  }
  std::printf("%d exports %s\n", kExportCount, checked);
  return 0;
}
