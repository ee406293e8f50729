#include "support/exceptions.h"

#include <new>

namespace cryptlib {

std::string CurrentExceptionText() noexcept {
  try {
    try {
      throw;
    } catch (const Exception& e) {
      return e.ClassName() + ": " + e.Message();
    } catch (const std::bad_alloc&) {
      return "EOutOfMemory: Out of memory";
    } catch (const std::exception& e) {
      return std::string("Exception: ") + e.what();
    } catch (...) {
      return "Exception: Unknown exception";
    }
  } catch (...) {
    // Composing the text itself ran out of memory.
    return std::string();
  }
}

}  // namespace cryptlib
