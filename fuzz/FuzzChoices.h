// The vocabulary of a fuzz input: which call comes next and how each of its
// arguments is chosen. The harness decodes inputs with it and the seed
// writer encodes the seed corpus with it, so the two cannot drift apart.
//
// Layout of an input: a sequence of operations, each one opcode byte
// (modulo kOpCount) followed by its argument selectors in the order that the
// harness reads them (see KspFuzzTarget.cpp, one Run... function per
// opcode).
#ifndef QVN_FUZZ_FUZZCHOICES_H
#define QVN_FUZZ_FUZZCHOICES_H

#include <windows.h>
#include <ncrypt.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>

namespace qvnfuzz
{

// Opcodes 0 to 25 are the 26 slots of the function table in their order.
enum Op : uint8_t {
    kOpOpenProvider = 0,
    kOpOpenKey,
    kOpCreatePersistedKey,
    kOpGetProviderProperty,
    kOpGetKeyProperty,
    kOpSetProviderProperty,
    kOpSetKeyProperty,
    kOpFinalizeKey,
    kOpDeleteKey,
    kOpFreeProvider,
    kOpFreeKey,
    kOpFreeBuffer,
    kOpEncrypt,
    kOpDecrypt,
    kOpIsAlgSupported,
    kOpEnumAlgorithms,
    kOpEnumKeys,
    kOpImportKey,
    kOpExportKey,
    kOpSignHash,
    kOpVerifySignature,
    kOpPromptUser,
    kOpNotifyChangeKey,
    kOpSecretAgreement,
    kOpDeriveKey,
    kOpFreeSecret,
    // The export, then the platform's failure switches.
    kOpGetInterface,
    kOpFailCryptoCall,
    kOpFailModuleMalloc,
    kOpSetWindowsVersion,
    kOpCount
};

// ---- Provider handle: selector byte (modulo 8), then as noted ---------------
enum ProvChoice : uint8_t {
    kProvLive = 0,   // + index byte: one of the open provider handles
    kProvLastOpened, // the provider handle opened most recently and still open
    kProvFreed,      // + index byte: a provider handle already freed
    kProvKeyHandle,  // + index byte: an open key handle, passed as provider handle
    kProvForeign,    // + index byte: a CryptoAPI context, the table's address, ...
    kProvArbitrary,  // + 8 bytes: any value
    kProvZero,       // 0
    kProvOfKind,     // + kind byte: the first open provider of that name (0: KSP, 1-4: CSPs)
    kProvChoiceCount
};

// ---- Key handle (after the provider handle): selector byte (modulo 8) -------
enum KeyChoice : uint8_t {
    kKeyLiveUnderProvider = 0, // + index byte: a key open under the chosen provider
    kKeyLastOpened,            // the key opened most recently, under whichever provider
    kKeyFreed,                 // + index byte: a key handle already freed
    kKeyLiveAnywhere,          // + index byte: any open key, under any provider
    kKeyProviderHandle,        // the chosen provider handle itself
    kKeyArbitrary,             // + 8 bytes
    kKeyZero,                  // 0
    kKeyLastUnderProvider,     // the newest key open under the chosen provider
    kKeyChoiceCount
};

// ---- Flags: selector byte (modulo the table size); the last entry reads 4 bytes
constexpr DWORD kFlagChoices[] = {0,
                                  NCRYPT_PAD_PKCS1_FLAG,
                                  NCRYPT_MACHINE_KEY_FLAG,
                                  NCRYPT_SILENT_FLAG,
                                  NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG,
                                  NCRYPT_NO_PADDING_FLAG,
                                  NCRYPT_PAD_OAEP_FLAG,
                                  NCRYPT_PAD_PSS_FLAG,
                                  NCRYPT_PAD_PKCS1_FLAG | NCRYPT_SILENT_FLAG,
                                  NCRYPT_PAD_PKCS1_FLAG | NCRYPT_MACHINE_KEY_FLAG,
                                  NCRYPT_OVERWRITE_KEY_FLAG,
                                  0 /* arbitrary */};
constexpr uint8_t kFlagsNone = 0;
constexpr uint8_t kFlagsPkcs1 = 1;
constexpr uint8_t kFlagsMachine = 2;
constexpr uint8_t kFlagsSilent = 3;
constexpr uint8_t kFlagsMachineSilent = 4;
constexpr uint8_t kFlagsPss = 7;
constexpr uint8_t kFlagsPkcs1Silent = 8;
constexpr uint8_t kFlagsArbitrary = sizeof(kFlagChoices) / sizeof(kFlagChoices[0]) - 1;

// ---- Legacy key spec: selector byte (modulo 6); kSpecArbitrary reads 4 bytes
enum SpecChoice : uint8_t {
    kSpecExchange = 0,
    kSpecSignature,
    kSpecZero,
    kSpecThree,
    kSpecArbitrary,
    kSpecAllBits,
    kSpecChoiceCount
};

// ---- Wide strings: selector byte; "arbitrary" reads a length byte (modulo
// 64) and that many 16-bit units, low byte first; the string is then
// NUL-terminated in a buffer of exactly its size.
constexpr const char16_t *kProviderNames[] = {
    u"Quorvane TPM Key Storage Provider",       u"Quorvane Alder Cryptographic Provider",
    u"Quorvane Birch Cryptographic Provider",   u"Quorvane Cedar Cryptographic Provider",
    u"Quorvane Dogwood Cryptographic Provider", nullptr,
    u"quorvane tpm key storage provider",       u"Quorvane Alder Cryptographic Provider ",
    u"Quorvane Alder Cryptographic Provide",    u"" /* arbitrary */};
constexpr uint8_t kNameKsp = 0;
constexpr uint8_t kNameAlder = 1;
constexpr uint8_t kNameBirch = 2;
constexpr uint8_t kNameCedar = 3;
constexpr uint8_t kNameDogwood = 4;
constexpr uint8_t kNameNull = 5;
constexpr uint8_t kNameKspLowerCase = 6;
constexpr uint8_t kNameArbitrary = sizeof(kProviderNames) / sizeof(kProviderNames[0]) - 1;

constexpr const char16_t *kKeyNames[] = {u"fz-both", u"fz-sig", u"fz-prompt", u"fz-empty", u"fz-machine",
                                         u"fz-none", u"",       nullptr,      u"" /* arbitrary */};
constexpr uint8_t kKeyNameBoth = 0;
constexpr uint8_t kKeyNameSig = 1;
constexpr uint8_t kKeyNamePrompt = 2;
constexpr uint8_t kKeyNameEmpty = 3;
constexpr uint8_t kKeyNameMachine = 4;
constexpr uint8_t kKeyNameNone = 5;
constexpr uint8_t kKeyNameNull = 7;
constexpr uint8_t kKeyNameArbitrary = sizeof(kKeyNames) / sizeof(kKeyNames[0]) - 1;

constexpr const char16_t *kPropertyNames[] = {
    u"Impl Type", u"Version", u"Max Name Length", u"impl type", u"Version ", nullptr, u"", u"" /* arbitrary */};
constexpr uint8_t kPropImplType = 0;
constexpr uint8_t kPropVersion = 1;
constexpr uint8_t kPropMaxNameLength = 2;
constexpr uint8_t kPropNull = 5;
constexpr uint8_t kPropArbitrary = sizeof(kPropertyNames) / sizeof(kPropertyNames[0]) - 1;

constexpr const char16_t *kHashNames[] = {u"SHA1", u"SHA256", u"SHA384", u"SHA512",  u"MD2",
                                          u"MD4",  u"MD5",    u"sha256", u"SHA-256", u"" /* arbitrary */};
constexpr uint8_t kHashSha1 = 0;
constexpr uint8_t kHashSha256 = 1;
constexpr uint8_t kHashSha384 = 2;
constexpr uint8_t kHashSha512 = 3;
constexpr uint8_t kHashMd2 = 4;
constexpr uint8_t kHashMd4 = 5;
constexpr uint8_t kHashMd5 = 6;
constexpr uint8_t kHashLowerCase = 7;
constexpr uint8_t kHashArbitrary = sizeof(kHashNames) / sizeof(kHashNames[0]) - 1;

// ---- Padding information: selector byte (modulo 7) --------------------------
enum PaddingChoice : uint8_t {
    kPadNull = 0,
    kPadPkcs1NoName, // BCRYPT_PKCS1_PADDING_INFO with a null pszAlgId
    kPadPkcs1Named,  // + hash name selector
    kPadPssNamed,    // + hash name selector + 4-byte salt length: BCRYPT_PSS_PADDING_INFO
    kPadOaepNamed,   // + hash name selector + label length byte (modulo 16) and label
    kPadPkcs1Named2, // as kPadPkcs1Named (weighs the common case)
    kPadPssNoName,   // BCRYPT_PSS_PADDING_INFO with a null pszAlgId
    kPadChoiceCount
};

// ---- Input data: source selector byte (modulo 7), then a length selector ---
enum DataChoice : uint8_t {
    kDataNull = 0,
    kDataBytes,         // + length byte and that many bytes
    kDataLastOutput,    // the output bytes of the previous call
    kDataLastSignature, // the newest signature that SignHash produced
    kDataLastCipher,    // the newest ciphertext that Encrypt produced
    kDataHashLike,      // + size selector (modulo 8, kHashLikeSizes) + pattern byte
    kDataZeros,         // as many zero bytes as the length selector claims (at most kBufferCap)
    kDataChoiceCount
};
constexpr DWORD kHashLikeSizes[] = {16, 20, 32, 36, 48, 64, 28, 1};

// The length that the call is told, relative to the data or the key length L
// (the byte length of the key that the call names, 64 when it names none).
enum LengthChoice : uint8_t {
    kLenContent = 0, // the data's own size
    kLenZero,
    kLenContentLess1,
    kLenKey,       // L
    kLenKeyLess11, // L - 11
    kLenKeyLess10, // L - 10
    kLenArbitrary, // + 4 bytes
    kLenContentMore1,
    kLenChoiceCount
};

// ---- Output buffer: selector byte (modulo 4), then a length selector --------
enum OutChoice : uint8_t {
    kOutNull = 0,
    kOutBuffer,
    kOutBuffer2,
    kOutSameAsInput, // Encrypt and Decrypt only: the input buffer itself
    kOutChoiceCount
};
enum OutLengthChoice : uint8_t {
    kOutLenKey = 0,  // L
    kOutLenKeyLess1, // L - 1
    kOutLenKeyLess11,
    kOutLenKeyLess12,
    kOutLenZero,
    kOutLenFour,
    kOutLenArbitrary, // + 4 bytes
    kOutLenKeyMore5,
    kOutLenChoiceCount
};

// A caller's buffer is allocated with at most this many bytes; a claimed
// length above it is larger than anything the module may touch (the largest
// key of the fuzz store has 128 bytes).
constexpr DWORD kBufferCap = 1024;

// ---- Failure switches ---------------------------------------------------------
// kOpFailCryptoCall: function byte (modulo the table), nth byte (1 + modulo 4),
// error byte (modulo the table).
constexpr const char *kCryptoFunctions[] = {
    "CryptAcquireContextW", "CryptGetUserKey", "CryptGetKeyParam",   "CryptCreateHash", "CryptGetHashParam",
    "CryptSetHashParam",    "CryptSignHashW",  "CryptEncrypt",       "CryptDecrypt",    "CryptVerifySignatureW",
    "CryptDestroyHash",     "CryptDestroyKey", "CryptReleaseContext"};
constexpr size_t kCryptoFunctionCount = sizeof(kCryptoFunctions) / sizeof(kCryptoFunctions[0]);

constexpr DWORD kInjectedErrors[] = {static_cast<DWORD>(NTE_FAIL),
                                     static_cast<DWORD>(NTE_BAD_KEYSET),
                                     static_cast<DWORD>(NTE_KEYSET_NOT_DEF),
                                     static_cast<DWORD>(NTE_NO_KEY),
                                     static_cast<DWORD>(NTE_SILENT_CONTEXT),
                                     static_cast<DWORD>(NTE_BAD_DATA),
                                     static_cast<DWORD>(NTE_BAD_SIGNATURE),
                                     static_cast<DWORD>(NTE_NO_MEMORY),
                                     ERROR_ACCESS_DENIED,
                                     static_cast<DWORD>(NTE_BAD_KEY),
                                     static_cast<DWORD>(NTE_PERM)};
constexpr size_t kInjectedErrorCount = sizeof(kInjectedErrors) / sizeof(kInjectedErrors[0]);

// kOpFailModuleMalloc: one byte, the failing allocation is 1 + (byte modulo 16)
// allocations from now.
// kOpSetWindowsVersion: one byte (modulo 3): 5.2, 6.0 or 10.0.

} // namespace qvnfuzz

#endif
