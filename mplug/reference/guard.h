// Every export runs its body through one of these guards: no exception leaves
// the module, a Failure becomes its code and the context's last error message,
// and anything else becomes kErrInternal.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include <openssl/err.h>

#include "context.h"
#include "errors.h"
#include "module.h"

namespace ref {

// The code and message of whatever the body threw.
inline int32_t Caught(std::string& message) {
  try {
    throw;
  } catch (const Failure& failure) {
    message = failure.message();
    return failure.code();
  } catch (const std::bad_alloc&) {
    message = "Internal error: out of memory";
  } catch (const std::exception& error) {
    message = std::string("Internal error: ") + error.what();
  } catch (...) {
    message = "Internal error";
  }
  return kErrInternal;
}

// A body without a context.
template <class Body>
int32_t WithoutContext(Body&& body) {
  try {
    return body();
  } catch (...) {
    std::string message;
    return Caught(message);
  }
}

// A body on an open context; an unknown handle answers kErrUnknownContext.
template <class Body>
int32_t OnContext(int32_t handle, Body&& body) {
  std::shared_ptr<Context> context = Contexts().Find(handle);
  if (!context) return kErrUnknownContext;
  try {
    ERR_clear_error();  // only this call's causes go into its message
    return body(*context);
  } catch (...) {
    std::string message;
    int32_t code = Caught(message);
    std::string leftovers = TakeCryptoErrors();
    context->RecordError(leftovers.empty() ? message : message + " (" + leftovers + ")");
    return code;
  }
}

}  // namespace ref
