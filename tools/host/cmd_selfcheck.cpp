// selfcheck: binds every export, creates an engine (with --root as its
// installation root, where the engine looks for its vendor module in
// <root>/EXE), reports its answers and releases it; fails when an export is
// missing or the engine cannot be created.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "loader/cryptlib_loader.h"
#include "session.h"

namespace cryptlib::host {
namespace {

constexpr int kExportCount = 76;

// A list of named values: a JSON object and aligned lines for a person.
class Table {
 public:
  void Add(const std::string& name, const std::string& json, const std::string& human) {
    json_ += (json_.empty() ? "" : ", ") + JsonString(name) + ": " + json;
    human_ +=
        (human_.empty() ? "  " : "\n  ") + name + std::string(name.size() < 34 ? 34 - name.size() : 1, ' ') + human;
  }
  void Add(const std::string& name, int32_t value) { Add(name, std::to_string(value), std::to_string(value)); }
  void AddTo(Output& out, const std::string& name) const { out.AddRaw(name, "{" + json_ + "}", human_); }

 private:
  std::string json_, human_;
};

Table ExportTable(const EngineLibrary& library) {
  Table table;
  const Exports& api = library.api();
#define CRYPTLIB_SELFCHECK_EXPORT(ordinal, name) \
  table.Add(#name, api.name != nullptr ? "true" : "false", api.name != nullptr ? "bound" : "MISSING");
  CRYPTLIB_EXPORT_LIST(CRYPTLIB_SELFCHECK_EXPORT)
#undef CRYPTLIB_SELFCHECK_EXPORT
  return table;
}

Table SizeTable(const EngineLibrary& lib, CRYPT_HANDLE engine) {
  Table table;
  table.Add("GetMaxEncodeAddition", lib->GetMaxEncodeAddition(engine));
  table.Add("GetMaxSignatureLength", lib->GetMaxSignatureLength(engine));
  table.Add("GetMaxUIDLength", lib->GetMaxUIDLength(engine));
  table.Add("GetMaxCryptoParamValueLength", lib->GetMaxCryptoParamValueLength(engine));
  table.Add("GetMaxErrorStringLength", lib->GetMaxErrorStringLength(engine));
  table.Add("GetCryptoParamNumber", lib->GetCryptoParamNumber(engine));
  table.Add("GetMaxSignAddition", lib->GetMaxSignAddition(engine));
  table.Add("GetMaxPublicKeyTransferSize", lib->GetMaxPublicKeyTransferSize(engine));
  table.Add("GetMaxFilePathLength", lib->GetMaxFilePathLength(engine));
  table.Add("GetRemoteGenType", lib->GetRemoteGenType(engine));
  table.Add("IsDifferentKeys", lib->IsDifferentKeys(engine));
  table.Add("CheckCompatibles(\"M-Pro v2.x\")", lib->CheckCompatibles("M-Pro v2.x"));
  return table;
}

Table ErrorTexts(const EngineLibrary& lib, CRYPT_HANDLE engine) {
  const int32_t max = lib->GetMaxErrorStringLength(engine);
  std::string text(static_cast<size_t>(max > 0 ? max : 255) + 1, '\0');
  Table table;
  for (int32_t code : {-101, -107, -126, -127}) {
    std::memset(text.data(), 0, text.size());
    lib->GetCryptoErrorString(engine, code, text.data());
    table.Add(std::to_string(code), JsonString(text.c_str()), text.c_str());
  }
  return table;
}

int SelfCheck(const Options& options, Output& out) {
  const std::string libraryName = options.Get("library", EngineLibrary::DefaultFileName());
  EngineLibrary library;
  if (!library.Load(libraryName))
    return Session::Fail(out, "cannot load " + libraryName + ": " + library.error(), kExitNoEngine);
  out.Add("library", library.Path());
  out.Add("bound", library.boundCount());
  ExportTable(library).AddTo(out, "exports");
  if (library.boundCount() != kExportCount)
    return Session::Fail(out, std::to_string(kExportCount - library.boundCount()) + " exports missing", kExitNoEngine);
  CRYPT_HANDLE engine = library->GetCryptObj();
  if (engine == nullptr) return Session::Fail(out, "GetCryptObj returned nil", kExitNoEngine);
  if (options.Has("root")) {
    library->SetRootPath(engine, options.Get("root").c_str());
    out.Add("root", options.Get("root"));
  }
  SizeTable(library, engine).AddTo(out, "answers");
  ErrorTexts(library, engine).AddTo(out, "error_texts");
  library->DoneEngine(engine);
  out.Add("result", "engine released; self-check passed");
  return kExitOk;
}

}  // namespace

std::vector<Command> SelfCheckCommands() {
  return {{"selfcheck", {}, {}, "bind every export, create an engine, report its answers and release it", SelfCheck}};
}

}  // namespace cryptlib::host
