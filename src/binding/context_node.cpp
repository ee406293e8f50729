#include "binding/context_node.h"

#include <mutex>

#include "binding/binding_state.h"

namespace cryptlib {

TMesProCashNode::TMesProCashNode(int32_t variant) {
  BindingState& state = Binding();
  std::lock_guard<std::mutex> hold(state.loadLock);
  if (state.AcquireLibraryLocked(variant) == nullptr) return;
  loaded_ = true;
  // The table of the file is resolved once; a node only needs "DoneCrypto",
  // which is there even when the file lacks some other mandatory function.
  const ResolvedFunctions& functions = state.FunctionsLocked(variant);
  doneCrypto_ = functions.table.DoneCrypto;
  bound_ = doneCrypto_ != nullptr;
}

TMesProCashNode::~TMesProCashNode() {
  if (context_ != 0 && doneCrypto_ != nullptr) doneCrypto_(context_);
}

}  // namespace cryptlib
