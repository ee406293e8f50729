// TMPro2xCryptoEngine: the engine the library hands out, over the 2.x
// generation of the module (mplug2, variant 2).
#pragma once

#include "engine/mpro_win.h"

namespace cryptlib {

class TMPro2xCryptoEngine : public TMProWinCryptoEngine {
 public:
  // Binds variant 2 and holds a 27th parameter.
  TMPro2xCryptoEngine();

  // --- slots, in slot order ---
  /* 12 */ void GetEngineName(char* buffer) override;
  // 38: with a 2.x module, the module's generation onto the key media
  // (mpro_2x_keygen.cpp); otherwise the PSE request of the base.
  /* 38 */ int32_t GenerateNewSEK() override;
  // 53: with a 2.x module the one-call start, whose failure to copy the key
  // container at the first step becomes a repeatable step; otherwise the
  // stepwise start (mpro_2x_remote.cpp).
  /* 53 */ int32_t RemoteGenerateStartEx(const char* keyName, char* exchange, uint32_t* step) override;
  // 62: 1 with a 2.x module, else 3.
  /* 62 */ int32_t GetRemoteGenType() override;
  // 82: the new container made by the module in R on a binding of its own,
  // then the last step: its request as a transfer in exchange.
  /* 82 */ int32_t InternalRemoteGenerateStart(char* exchange, const std::string& keyName,
                                               bool subjectFromParams) override;

  // --- key-file hooks over the 2.x key container (mk.db3, masks.db3,
  // kek.opq, rand.opq and the KEYS tree); only mk.db3 gets a ".dat" twin ---
  /* 84 */ int32_t RG_BackupKeyFiles(const std::string& uid) override;
  /* 85 */ bool RG_CopyKeyFiles(const std::string& source) override;
  /* 86 */ void RG_DeleteKeyFiles() override;
  /* 87 */ int32_t RG_RestoreKeyFiles() override;
  // 88: always empty: the 2.x exchange keeps no signing key apart.
  /* 88 */ std::string RG_GetSignKeyBackupName(const std::string& directory) override;
  /* 89 */ bool RG_ExchangeKeys(const std::string& keyDirectory, const std::string& remoteDirectory,
                                const std::string& ownCertificate, const std::string& newCertificate,
                                KeySetJournal& journal) override;
  // 90: the number of key files directly in the media's KEYS directory, as
  // decimal text; nothing without a buffer. Always 0.
  /* 90 */ int32_t RG_PSEPrivateKeyBackup(const std::string& mediaDirectory, char* buffer) override;

 protected:
  // The generation snapshot: no key directory (parameter 3) and no flag
  // (parameter 21), the key media (parameter 23) "A:\" when empty.
  static void AdjustForGeneration(ParamSnapshot& snapshot);
  // The module's GenerateNewSEK for snapshot on a binding made for this one
  // call; a module answer of 0 comes back as -100.
  int32_t GenerateOnTemporaryBinding(const ParamSnapshot& snapshot);
  // The snapshot of slot 82: the module builds the key and its request in
  // remote, the subject from the own certificate unless subjectFromParams,
  // the key name in the field the UID field names.
  int32_t PrepareRemoteSnapshot(ParamSnapshot& snapshot, const std::string& remote, const std::string& keyName,
                                bool subjectFromParams);
};

}  // namespace cryptlib
