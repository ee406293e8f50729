// The ENGINE API is deprecated in OpenSSL 3.0, but the gost engine exists only
// in that form; the deprecation warnings are silenced for this file alone.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "gost_engine.h"

#include <openssl/engine.h>

#include <mutex>
#include <string>

#include "errors.h"
#include "module.h"

namespace ref {
namespace {

struct GostState {
  ENGINE* engine = nullptr;
  std::string failure;
};

// Never freed: the engine's methods stay registered as process-wide defaults,
// and OpenSSL releases engines itself when it is cleaned up at exit.
GostState LoadGost() {
  GostState state;
  ENGINE* engine = ENGINE_by_id("gost");
  if (engine == nullptr) {
    state.failure = TakeCryptoErrors();
    return state;
  }
  if (ENGINE_init(engine) != 1) {
    state.failure = TakeCryptoErrors();
    ENGINE_free(engine);
    return state;
  }
  if (ENGINE_set_default(engine, ENGINE_METHOD_ALL) != 1) {
    state.failure = TakeCryptoErrors();
    ENGINE_finish(engine);
    ENGINE_free(engine);
    return state;
  }
  ENGINE_free(engine);  // the functional reference of ENGINE_init keeps it alive
  state.engine = engine;
  return state;
}

const GostState& Gost() {
  // Destroyed at unload or exit: only the text; the engine stays with OpenSSL.
  static const GostState state = LoadGost();
  return state;
}

}  // namespace

ENGINE* GostEngine() {
  return Gost().engine;
}

ENGINE* RequireGostEngine() {
  const GostState& state = Gost();
  if (state.engine == nullptr) {
    Fail(kErrGostUnavailable, state.failure.empty() ? "engine \"gost\" not found" : state.failure);
  }
  return state.engine;
}

}  // namespace ref
