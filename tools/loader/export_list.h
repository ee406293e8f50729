// The engine library's exports with their ordinals, as one list that the
// loader turns into a table of typed function pointers.
#pragma once

#define CRYPTLIB_EXPORT_LIST(X)                                                                      \
  X(1, GetCryptObj) X(2, DoneEngine) X(3, GetMaxEncodeAddition) X(4, GetMaxSignatureLength)            \
  X(5, GetMaxUIDLength) X(6, GetMaxCryptoParamNameLength) X(7, GetMaxCryptoParamValueLength)           \
  X(8, GetMaxErrorStringLength) X(9, GetCryptoParamNumber) X(10, GetCryptoParamName)                   \
  X(11, GetCryptoParamValue) X(12, SetCryptoParamValue) X(13, GetEncodeUIDBySignUID)                   \
  X(14, GetCryptoErrorString) X(15, EncodeData) X(16, DecodeData) X(17, SignData) X(18, VerifyData)    \
  X(19, GetCurrentUserUID) X(20, GenerateNewSSK) X(21, GenerateNewSEK) X(22, IsDifferentKeys)          \
  X(23, SetPasswordRequestFunc) X(24, GetMaxPasswordLength) X(25, IncludePublicKey)                    \
  X(26, IncludePublicEncodeKey) X(27, SignFile) X(28, VerifyFile) X(29, RemoveSignaturesFromFile)      \
  X(30, GetLastErrorMessage) X(31, SetRootPath) X(32, TransSignatureFromFileToTM)                      \
  X(33, TransPrivateKeyFromFileToTM) X(34, SetTMRequestFunc) X(35, ClearCash)                          \
  X(36, RemoteGenerateStart) X(37, SetRemoteGeneratePath) X(38, AddSign) X(39, RemoveSign)             \
  X(40, GetMaxSignAddition) X(41, GetPublicKeyTransfer) X(42, RemoteGenerateFinish)                    \
  X(43, SavePublicKeyFromTransfer) X(44, GetMaxPublicKeyTransferSize) X(45, IncludePublicKeyTransfer) \
  X(46, ExcludeSelfPublicKeyTransfer) X(47, GetMaxFilePathLength) X(48, GetRemoteGenType)              \
  X(49, SaveSignedDataToFile) X(50, GetPublicKeyTransferByFile) X(51, GetMaxReportSize)                \
  X(52, GetReport) X(53, GetMaxAdditionEx) X(54, GetUIDByPublicKeyTransfer)                            \
  X(55, UpdateCertificateCash) X(56, GetMaxPublicKeyPropertiesLength) X(57, GetPublicKeyProperties)    \
  X(58, RemoteGenerateStartEx) X(59, RemoteGenerateFinishEx) X(60, GetPublicKeyPropertiesByTransfer)   \
  X(61, GetPublicKeyPropertiesByFile) X(62, IncludeCACertificateFromTransfer)                          \
  X(63, CreateDirStructure) X(64, RemoveCertificate) X(65, VerifySignWOCheckValidity)                  \
  X(66, CertAndRequestTransferMatch) X(67, IncludeCRL) X(68, ConvertTransferToSignedRequest)           \
  X(69, HashData) X(70, ShowCertificate) X(71, GetPureSign) X(72, GetUIDByCertIdent)                   \
  X(73, InstallCertsInMyStore) X(74, RegisterOIDInfo) X(75, GetParamInfo) X(76, CheckCompatibles)
