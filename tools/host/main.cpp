// cryptlib-host: loads the engine library by name, as a banking client does,
// and drives it through its exports.
//
//   cryptlib-host selfcheck [--library NAME_OR_PATH] [--root DIR]
//       binds every export, creates an engine (with DIR as its installation
//       root, where the engine looks for its vendor module in DIR/EXE),
//       prints its answers and releases it; exits non-zero when an export is
//       missing or the engine cannot be created.
#include <cstdio>
#include <cstring>
#include <string>

#include "loader/cryptlib_loader.h"

namespace {

using cryptlib::host::EngineLibrary;

void PrintExports(const EngineLibrary& library) {
  const cryptlib::host::Exports& api = library.api();
#define CRYPTLIB_PRINT_EXPORT(ordinal, name) \
  std::printf("  %2d %-34s %s\n", ordinal, #name, api.name != nullptr ? "bound" : "MISSING");
  CRYPTLIB_EXPORT_LIST(CRYPTLIB_PRINT_EXPORT)
#undef CRYPTLIB_PRINT_EXPORT
}

void PrintSizes(const EngineLibrary& lib, CRYPT_HANDLE engine) {
  std::printf("engine answers:\n");
  std::printf("  GetMaxEncodeAddition          %d\n", lib->GetMaxEncodeAddition(engine));
  std::printf("  GetMaxSignatureLength         %d\n", lib->GetMaxSignatureLength(engine));
  std::printf("  GetMaxUIDLength               %d\n", lib->GetMaxUIDLength(engine));
  std::printf("  GetMaxCryptoParamValueLength  %d\n", lib->GetMaxCryptoParamValueLength(engine));
  std::printf("  GetMaxErrorStringLength       %d\n", lib->GetMaxErrorStringLength(engine));
  std::printf("  GetCryptoParamNumber          %d\n", lib->GetCryptoParamNumber(engine));
  std::printf("  GetMaxSignAddition            %d\n", lib->GetMaxSignAddition(engine));
  std::printf("  GetMaxPublicKeyTransferSize   %d\n", lib->GetMaxPublicKeyTransferSize(engine));
  std::printf("  GetMaxFilePathLength          %d\n", lib->GetMaxFilePathLength(engine));
  std::printf("  GetRemoteGenType              %d\n", lib->GetRemoteGenType(engine));
  std::printf("  IsDifferentKeys               %d\n", lib->IsDifferentKeys(engine));
  std::printf("  CheckCompatibles(\"M-Pro v2.x\") %d\n", lib->CheckCompatibles("M-Pro v2.x"));
}

void PrintErrorTexts(const EngineLibrary& lib, CRYPT_HANDLE engine) {
  int32_t max = lib->GetMaxErrorStringLength(engine);
  std::string text(static_cast<size_t>(max > 0 ? max : 255) + 1, '\0');
  std::printf("error texts (GetCryptoErrorString):\n");
  for (int32_t code : {-101, -107, -126, -127}) {
    std::memset(text.data(), 0, text.size());
    lib->GetCryptoErrorString(engine, code, text.data());
    std::printf("  %d  %s\n", code, text.c_str());
  }
}

int SelfCheck(const std::string& libraryName, const std::string& root) {
  EngineLibrary library;
  if (!library.Load(libraryName)) {
    std::fprintf(stderr, "cannot load %s: %s\n", libraryName.c_str(), library.error().c_str());
    return 2;
  }
  std::printf("library %s: %d of 76 exports bound\n", libraryName.c_str(), library.boundCount());
  PrintExports(library);
  if (library.boundCount() != 76) return 3;
  CRYPT_HANDLE engine = library->GetCryptObj();
  if (engine == nullptr) {
    std::fprintf(stderr, "GetCryptObj returned nil\n");
    return 4;
  }
  if (!root.empty()) {
    library->SetRootPath(engine, root.c_str());
    std::printf("installation root %s\n", root.c_str());
  }
  PrintSizes(library, engine);
  PrintErrorTexts(library, engine);
  library->DoneEngine(engine);
  std::printf("engine released; self-check passed\n");
  return 0;
}

int Usage() {
  std::fprintf(stderr, "usage: cryptlib-host selfcheck [--library NAME_OR_PATH] [--root DIR]\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  std::string libraryName = EngineLibrary::DefaultFileName();
  std::string root;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--library") == 0) {
      libraryName = argv[i + 1];
    } else if (std::strcmp(argv[i], "--root") == 0) {
      root = argv[i + 1];
    } else {
      return Usage();
    }
  }
  if (command == "selfcheck") return SelfCheck(libraryName, root);
  return Usage();
}
