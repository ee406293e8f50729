// selfcheck: binds every export, creates an engine (with --root as its
// installation root, where the engine looks for its vendor module in
// <root>/EXE), prints its answers and releases it; fails when an export is
// missing or the engine cannot be created.
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "loader/cryptlib_loader.h"

namespace cryptlib::host {
namespace {

void PrintExports(const EngineLibrary& library) {
  const Exports& api = library.api();
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

int SelfCheck(const Options& options, Output&) {
  const std::string libraryName = options.Get("library", EngineLibrary::DefaultFileName());
  const std::string root = options.Get("root");
  EngineLibrary library;
  if (!library.Load(libraryName)) {
    std::fprintf(stderr, "cannot load %s: %s\n", libraryName.c_str(), library.error().c_str());
    return kExitNoEngine;
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
  return kExitOk;
}

}  // namespace

std::vector<Command> SelfCheckCommands() {
  return {{"selfcheck", "[--library NAME_OR_PATH] [--root DIR]",
           "bind every export, create an engine, print its answers and release it", SelfCheck}};
}

}  // namespace cryptlib::host
