// Encryption and signatures (data_ops.h holds the formats).
#include "call_guard.h"
#include "data_ops.h"
#include "fake_module.h"

using namespace fake;

extern "C" {

int32_t MPLUG_CALL EncodeData(MPlugContext context, void* data, int32_t* length, const char* recipients) {
  return LoggedCall("EncodeData", Args().Int(context).Buffer(data).Length(length).Text(recipients), [&] {
    return OnContext(context, [&](Context& c) { return Encode(c, data, length, recipients); });
  });
}

int32_t MPLUG_CALL DecodeData(MPlugContext context, void* data, int32_t* length, char* uid) {
  return LoggedCall("DecodeData", Args().Int(context).Buffer(data).Length(length).Buffer(uid),
                    [&] { return OnContext(context, [&](Context& c) { return Decode(c, data, length, uid); }); });
}

int32_t MPLUG_CALL SignData(MPlugContext context, const void* data, int32_t length, void* signature,
                            int32_t* signatureLength, const char* signer) {
  Args args = Args().Int(context).Buffer(data).Int(length).Buffer(signature).Length(signatureLength).Text(signer);
  return LoggedCall("SignData", args, [&] {
    return OnContext(context, [&](Context& c) { return Sign(c, data, length, signature, signatureLength, signer); });
  });
}

int32_t MPLUG_CALL VerifyData(MPlugContext context, const void* data, int32_t* length, const void* signature,
                              int32_t signatureLength, char* uid) {
  Args args = Args().Int(context).Buffer(data).Length(length).Buffer(signature).Int(signatureLength).Buffer(uid);
  return LoggedCall("VerifyData", args, [&] {
    return OnContext(context,
                     [&](Context& c) { return Verify(c, data, length, signature, signatureLength, uid, true); });
  });
}

int32_t MPLUG_CALL RemoveSignaturesFromFile(MPlugContext context, const char* fileName) {
  // Bound by the engine but never called: accepted and ignored.
  return LoggedCall("RemoveSignaturesFromFile", Args().Int(context).Text(fileName),
                    [&] { return OnContext(context, [](Context&) { return 0; }); });
}

}  // extern "C"
