// Loads the engine library the way a host does (by name or path, at run
// time) and binds its exports into typed function pointers.
#pragma once

#include <string>

#include "cryptlib.h"
#include "loader/export_list.h"

namespace cryptlib::host {

struct Exports {
#define CRYPTLIB_LOADER_MEMBER(ordinal, name) decltype(&::name) name = nullptr;
  CRYPTLIB_EXPORT_LIST(CRYPTLIB_LOADER_MEMBER)
#undef CRYPTLIB_LOADER_MEMBER
};

class EngineLibrary {
 public:
  EngineLibrary() = default;
  ~EngineLibrary() { Unload(); }
  EngineLibrary(const EngineLibrary&) = delete;
  EngineLibrary& operator=(const EngineLibrary&) = delete;

  // Loads the library and binds every export it has; false with error() set
  // when the file cannot be loaded. Missing exports stay nullptr.
  bool Load(const std::string& nameOrPath);
  void Unload();
  bool loaded() const { return module_ != nullptr; }
  const std::string& error() const { return error_; }
  // Number of exports that were found (76 for a complete library).
  int boundCount() const { return bound_; }
  const Exports& api() const { return api_; }
  // The file the library was loaded from, as the system's loader found it;
  // empty when none is loaded.
  std::string Path() const;
  const Exports* operator->() const { return &api_; }

  // Whether a library of this path is loaded in the process right now.
  static bool IsLoadedInProcess(const std::string& path);
  // The platform's file name of the engine library ("CryptLib.so", "CryptLib.dll").
  static std::string DefaultFileName();

 private:
  void* module_ = nullptr;
  Exports api_;
  int bound_ = 0;
  std::string error_;
};

}  // namespace cryptlib::host
