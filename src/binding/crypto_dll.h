// TCrypto_DLL: what every object bound to a vendor module file knows about it.
#pragma once

namespace cryptlib {

class TCrypto_DLL {
 public:
  virtual ~TCrypto_DLL() = default;
  TCrypto_DLL(const TCrypto_DLL&) = delete;
  TCrypto_DLL& operator=(const TCrypto_DLL&) = delete;

  // The module file of the object's variant is loaded in the process.
  bool Loaded() const { return loaded_; }
  // Every function the object needs was found in that file.
  bool Bound() const { return bound_; }

 protected:
  TCrypto_DLL() = default;

  bool loaded_ = false;
  bool bound_ = false;
};

}  // namespace cryptlib
