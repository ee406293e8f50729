// The functions a module may lack (LoadCertificate, GetCertInfoEx,
// FreeCertInfo, GetReqInfo, FreeReqInfo, VerifyDataIgnoreTime) and the
// mandatory SetRootPath; compiled per flavour so that a flavour can leave
// them out of its export table.
#include <cstring>
#include <mutex>
#include <string>

#include "call_guard.h"
#include "data_ops.h"
#include "dumps.h"
#include "fake_module.h"
#include "info_ops.h"

using namespace fake;

extern "C" {

#ifndef FAKE_WITHOUT_OPTIONAL

int32_t MPLUG_CALL VerifyDataIgnoreTime(MPlugContext context, const void* data, int32_t* length, const void* signature,
                                        int32_t signatureLength, char* uid) {
  Args args = Args().Int(context).Buffer(data).Length(length).Buffer(signature).Int(signatureLength).Buffer(uid);
  return LoggedCall("VerifyDataIgnoreTime", args, [&] {
    return OnContext(context,
                     [&](Context& c) { return Verify(c, data, length, signature, signatureLength, uid, false); });
  });
}

int32_t MPLUG_CALL LoadCertificate(MPlugContext context, const void* data, int32_t length) {
  return LoggedCall("LoadCertificate", Args().Int(context).Buffer(data).Int(length), [&] {
    return OnContext(context, [&](Context& c) {
      std::optional<Certificate> certificate = ParseBytes<Certificate>(data, length, ParseCertificate);
      if (!certificate) return c.Fail(kErrBadCertificate);
      c.LoadCertificate(*certificate);
      return 0;
    });
  });
}

int32_t MPLUG_CALL GetCertInfoEx(MPlugContext context, const void* certificate, int32_t length, MPlugCertInfo* info) {
  return LoggedCall("GetCertInfoEx", Args().Int(context).Buffer(certificate).Int(length).Buffer(info), [&] {
    return OnContext(context, [&](Context& c) {
      if (info == nullptr) return c.Fail(kErrBadArguments);
      std::optional<Certificate> parsed = ParseBytes<Certificate>(certificate, length, ParseCertificate);
      if (!parsed) return c.Fail(kErrBadCertificate);
      FillCertInfo(*parsed, *info);
      return 0;
    });
  });
}

int32_t MPLUG_CALL FreeCertInfo(MPlugContext context, MPlugCertInfo* info) {
  return LoggedCall("FreeCertInfo", Args().Int(context).Buffer(info), [&] {
    if (info != nullptr) FreeCertInfoTexts(*info);
    return 0;
  });
}

int32_t MPLUG_CALL GetReqInfo(MPlugContext context, const void* request, int32_t length, MPlugReqInfo* info) {
  return LoggedCall("GetReqInfo", Args().Int(context).Buffer(request).Int(length).Buffer(info), [&] {
    return OnContext(context, [&](Context& c) {
      if (info == nullptr) return c.Fail(kErrBadArguments);
      std::optional<Request> parsed = ParseBytes<Request>(request, length, ParseRequest);
      if (!parsed) return c.Fail(kErrBadRequest);
      FillReqInfo(*parsed, *info);
      return 0;
    });
  });
}

int32_t MPLUG_CALL FreeReqInfo(MPlugContext context, MPlugReqInfo* info) {
  return LoggedCall("FreeReqInfo", Args().Int(context).Buffer(info), [&] {
    if (info != nullptr) FreeReqInfoTexts(*info);
    return 0;
  });
}

#endif  // FAKE_WITHOUT_OPTIONAL

#ifndef FAKE_WITHOUT_ROOT_PATH

int32_t MPLUG_CALL SetRootPath(const char* rootPath) {
  // The module resolves no relative names, so the root is only kept.
  static std::mutex mutex;
  static std::string root;
  return LoggedCall("SetRootPath", Args().Text(rootPath), [&] {
    std::lock_guard lock(mutex);
    root = rootPath != nullptr ? rootPath : "";
    return 0;
  });
}

#endif  // FAKE_WITHOUT_ROOT_PATH

}  // extern "C"

// Every function this flavour defines has exactly the engine's pointer type.
MPLUG_FUNCTION_LIST(MPLUG_CHECK_SIGNATURE)
