// libFuzzer harness of the key storage provider: an input is a sequence of calls of its entries (handles open, freed or
// made up, names from a dictionary, chosen flags, lengths, padding) and of failures, Windows versions and detaches. It
// predicts no status but checks what holds for any input. Module, containers and a few handles stay across inputs.
// The replayer (QVN_FUZZ_REPLAY_MAIN) is built for Linux and for Windows, where it runs under Wine on the product DLL
// with the controls of WineFaults.h; each call's status is recorded (QVN_FUZZ_RECORD) for the two to be compared.
#ifdef _WIN32
#include "QvnWineControls.h"
#define QVN_FZ_PROMPT QVN_WINE_CSP_PROMPT_PREFIX_W L"fz" // the Wine test CSP prompts by the name's prefix
#define QVN_FZ_ODD_BITS 1024                             // rsaenh makes keys in steps of 8 bits
#else
#include <qvnplatform.h>
#define QVN_FZ_PROMPT TEXT("fz-prompt")
#define QVN_FZ_ODD_BITS 1023
#endif
#include <ncrypt_provider.h>
#include <ntstatus.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace
{

// clang-format off
// The dictionary: entry 0 is the usual argument, as bytes past the end of an input read as 0.
const WCHAR *const kProviderNames[] = {TEXT("Quorvane Alder Cryptographic Provider"),
    TEXT("Quorvane Birch Cryptographic Provider"), TEXT("Quorvane Cedar Cryptographic Provider"),
    TEXT("Quorvane Dogwood Cryptographic Provider"), TEXT("Quorvane TPM Key Storage Provider"),
    TEXT("quorvane tpm key storage provider"), TEXT("Quorvane TPM Key Storage Provider "), TEXT(""), nullptr};
constexpr size_t kCspCount = 4, kProviderNameCount = 5;
const DWORD kCspTypes[] = {PROV_RSA_FULL, PROV_RSA_SCHANNEL, PROV_RSA_AES, PROV_RSA_FULL};
const WCHAR *const kKeyNames[] = {TEXT("fz-both"), TEXT("fz-sig"), QVN_FZ_PROMPT, TEXT("fz-empty"), TEXT("fz-machine"), TEXT("fz-no"), TEXT(""), 0};
const WCHAR *const kProperties[] = {TEXT("Impl Type"), TEXT("Version"), TEXT("Max Name Length"), TEXT("impl type"), TEXT(""), nullptr};
const WCHAR *const kHashNames[] = {TEXT("SHA1"), TEXT("SHA256"), TEXT("SHA384"), TEXT("SHA512"), TEXT("MD2"), TEXT("MD4"), TEXT("MD5"), TEXT("sha256"),
                                      TEXT(""), nullptr};
// 2 is NCRYPT_PAD_PKCS1_FLAG; 0x40 silent, 0x20 machine key, 1 no padding, 4 OAEP, 8 PSS, 0x80 overwrite.
const DWORD kFlags[] = {0, 2, 0x42, 0x40, 0x20, 0x60, 1, 4, 8, 0x80, 3, 0x80000000u};
const DWORD kKeySpecs[] = {AT_KEYEXCHANGE, AT_SIGNATURE, 0, 3, 0xffffffffu};
// Hash lengths, and around the keys' byte lengths (64, 80, 96, 128) and those less 11 (PKCS #1 padding).
const DWORD kDataSizes[] = {20, 32, 16, 36, 48, 64, 0, 1, 15, 31, 47, 52, 53, 54, 63, 65,
                            68, 69, 70, 79, 80, 81, 84, 85, 86, 95, 96, 97, 116, 117, 127, 128};
const DWORD kOutputSizes[] = {512, 2, 1, 3, 4, 5, 8, 52, 53, 54, 63, 64, 65, 68, 69, 70,
                              79, 80, 81, 84, 85, 86, 95, 96, 97, 116, 117, 118, 127, 128, 129, 256};
// The module's CryptoAPI calls but the releases: a release made to fail keeps its handle, which reads as a leak.
const char *const kFailable[] = {"CryptAcquireContextW", "CryptGetUserKey", "CryptGetKeyParam", "CryptCreateHash",
                                 "CryptSetHashParam", "CryptGetHashParam", "CryptSignHashW", "CryptVerifySignatureW",
                                 "CryptEncrypt", "CryptDecrypt"};
const DWORD kInjectedErrors[] = {(DWORD)NTE_FAIL, ERROR_ACCESS_DENIED, (DWORD)NTE_SILENT_CONTEXT, (DWORD)NTE_NO_KEY,
                                 (DWORD)NTE_KEYSET_NOT_DEF, (DWORD)NTE_BAD_DATA};
// What an entry returns: the module's own codes, the CSPs' failures that it passes on, and once a failure was
// injected, the injected ones (five) and, after a failed malloc, NTE_NO_MEMORY. Never NTE_SILENT_CONTEXT (it becomes
// NTE_UI_REQUIRED) nor NTE_INTERNAL_ERROR (a stray exception).
const SECURITY_STATUS kStatuses[] = {ERROR_SUCCESS, NTE_BAD_FLAGS, NTE_PERM, NTE_BAD_KEYSET, NTE_BAD_LEN,
    NTE_INVALID_HANDLE, NTE_INVALID_PARAMETER, NTE_BUFFER_TOO_SMALL, NTE_NOT_SUPPORTED, NTE_DECRYPTION_FAILURE,
    NTE_UI_REQUIRED, NTE_BAD_SIGNATURE,
    NTE_FAIL, ERROR_ACCESS_DENIED, NTE_NO_KEY, NTE_KEYSET_NOT_DEF, NTE_BAD_DATA, NTE_NO_MEMORY};
// The ten implemented slots (the other sixteen only answer NTE_NOT_SUPPORTED), then what is no table call.
enum Op { kProperty, kOpen, kOpenKey, kFreeProvider, kFreeKey, kEnumAlgorithms, kEncrypt, kDecrypt, kSign, kVerify,
          kGetInterface, kVersion, kFailCrypto, kFailMalloc, kDetach };
// Frees and detaching are rarer: they drop the kept handles.
const Op kOps[] = {kOpen, kOpen, kOpenKey, kOpenKey, kProperty, kProperty, kFreeProvider, kFreeKey, kEncrypt, kEncrypt,
                   kEncrypt, kDecrypt, kDecrypt, kDecrypt, kEnumAlgorithms, kSign, kSign, kSign, kVerify, kVerify, kVerify,
                   kGetInterface, kVersion, kFailCrypto, kFailCrypto, kFailCrypto, kFailMalloc, kFailMalloc, kFailMalloc,
                   kDetach};
// CSP, name, key set flags, exchange and signature key bits.
const struct { int iCsp; const WCHAR *pszName; DWORD dwMachine, rgdwBits[2]; } kContainers[] = {
    {0, TEXT("fz-both"), 0, {512, 768}}, {0, TEXT("fz-sig"), 0, {0, 512}}, {0, QVN_FZ_PROMPT, 0, {512, 0}},
    {0, TEXT("fz-empty"), 0, {0, 0}}, {0, TEXT("fz-machine"), CRYPT_MACHINE_KEYSET, {QVN_FZ_ODD_BITS, 0}}, {1, TEXT("fz-both"), 0, {512, 512}},
    {2, TEXT("fz-both"), 0, {640, 0}}, {3, TEXT("fz-both"), 0, {512, 0}}};
struct OpenProvider { NCRYPT_PROV_HANDLE h; bool fCsp; };   // a CSP's (not the KSP's): holds a CryptoAPI context
struct OpenKey { NCRYPT_PROV_HANDLE hProvider, h; };      // with a CryptoAPI context and key
// clang-format on

constexpr uint8_t kCanary = 0xA5;
constexpr DWORD kCanaryLength = 0xA5A5A5A5u, kCanaryHandle = kCanaryLength; // a result length, or a pointer
const auto IsCanary = [](uint8_t b) { return b == kCanary; };

const auto Pick = [](const auto &choices, uint8_t b) { return choices[b % std::size(choices)]; };

// A call's arguments, all decoded whatever the slot so that one set of checks covers all. The output buffer has its
// exact size (ASan sees a write past it) and holds a canary, as does the result length until written.
struct Args {
    Op op = kOpen;
    ULONG_PTR hProv = 0, hKey = 0, hNew = kCanaryHandle; // NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE and a new one
    std::vector<uint8_t> data[2], out;
    bool rgfNullData[2] = {}, fNullOut = false, fNullResult = false, fNullHandle = false; // handle or count
    void *pPadding = nullptr;
    DWORD cbResult = kCanaryLength, dwFlags = 0, iChoice = 0, iChoice2 = 0; // choices: a name, a key spec, a failure
    NCryptAlgorithmName *pList = reinterpret_cast<NCryptAlgorithmName *>(kCanaryHandle); // never written
    PBYTE Data(int i) { return rgfNullData[i] ? nullptr : data[i].data(); }
    DWORD Size(int i) const { return static_cast<DWORD>(data[i].size()); }
    bool HasOut() const { return !fNullOut && !out.empty(); } // an empty vector's buffer is null
    PBYTE Out() { return HasOut() ? out.data() : nullptr; }
    DWORD *Result() { return fNullResult ? nullptr : &cbResult; }
    bool Untouched(size_t i) const { return std::all_of(out.begin() + std::min(i, out.size()), out.end(), IsCanary); }
};

NCRYPT_KEY_STORAGE_FUNCTION_TABLE *g_pTable = nullptr;
GetKeyStorageInterfaceFn g_pfnGetInterface = nullptr;
#ifndef _WIN32
BOOL(WINAPI *g_pfnDllMain)(HINSTANCE, DWORD, LPVOID) = nullptr;
#endif
HMODULE g_hModule = nullptr;
LONG g_lColdBlocks = 0, g_lWarmBlocks = 0; // the module's, with none and with the kept handles open
std::vector<OpenProvider> g_providers;     // the kept ones first
std::vector<OpenKey> g_keys;
std::vector<uint8_t> g_lastOutput; // the last signature or ciphertext
BCRYPT_PKCS1_PADDING_INFO g_padding = {};
ULONG_PTR g_hFreedProvider = 0, g_hFreedKey = 0;
const uint8_t *g_pbNext = nullptr, *g_pbEnd = nullptr; // the input's bytes not yet read
bool g_fDetached = false, g_fOldWindows = false, g_fInjected = false, g_fMallocFailed = false;
DWORD g_iCall = 0, g_iLogged = 0;

void Check(bool fHolds, const char *pszWhat, LONG status = 0)
{
    if (!fHolds) {
        std::fprintf(stderr, "qvn-fuzz: FINDING in call %u: %s (status 0x%08x)\n", unsigned(g_iCall), pszWhat,
                     unsigned(status));
        std::abort();
    }
}

const auto Byte = [] { return g_pbNext < g_pbEnd ? *g_pbNext++ : uint8_t(0); };

// Kept open across inputs, first in the lists, so that an input reaches keys without opening them.
void OpenKept()
{
    NCRYPT_PROV_HANDLE hKsp = 0, hCsp = 0;
    NCRYPT_KEY_HANDLE hExchange = 0, hSignature = 0;
    Check(!g_pTable->OpenProvider(&hKsp, kProviderNames[4], 0) &&
              !g_pTable->OpenProvider(&hCsp, kProviderNames[0], 0) &&
              !g_pTable->OpenKey(hCsp, &hExchange, TEXT("fz-both"), AT_KEYEXCHANGE, 0) &&
              !g_pTable->OpenKey(hCsp, &hSignature, TEXT("fz-both"), AT_SIGNATURE, 0),
          "the kept handles would not open");
    g_providers = {{hKsp, false}, {hCsp, true}};
    g_keys = {{hCsp, hExchange}, {hCsp, hSignature}};
    g_fDetached = false;
}

// Live CryptoAPI handles are what the open handles hold; no release fails (as a double, made-up or flagged one).
void CheckLiveHandles()
{
    for (QVN_CALL_RECORD call = {}; g_iLogged < QvnPlatformGetCallCount(); ++g_iLogged) {
        Check(!QvnPlatformGetCall(g_iLogged, &call) || call.fSucceeded ||
                  (std::strcmp(call.szFunction, "CryptReleaseContext") &&
                   std::strncmp(call.szFunction, "CryptDestroy", 12)),
              "a release of a CryptoAPI handle failed", LONG(call.dwError));
    }
    const LONG lKeys = g_keys.size(),
               lCsps = std::count_if(g_providers.begin(), g_providers.end(), [](auto &p) { return p.fCsp; });
    Check(QvnPlatformLiveContexts() == lCsps + lKeys && QvnPlatformLiveKeys() == lKeys && !QvnPlatformLiveHashes(),
          "the live CryptoAPI contexts, keys or hashes differ from what the open handles hold");
}

// An open handle of the kind asked for, or 0, the last freed, the other kind or made up. Frees spare the kept handles,
// which cost more to open again than the rest of an input: only a detach loses them.
ULONG_PTR PickHandle(bool fKey, bool fFree)
{
    const uint8_t b = Byte();
    const size_t iFirst = fFree && !g_fDetached ? 2 : 0, cOpen = (fKey ? g_keys.size() : g_providers.size()) - iFirst;
    if (b < 0xF0 && cOpen != 0) {
        return fKey ? g_keys[iFirst + b % cOpen].h : g_providers[iFirst + b % cOpen].h;
    }
    const ULONG_PTR hOther = fKey ? (g_providers.empty() ? 1 : g_providers[0].h) : (g_keys.empty() ? 1 : g_keys[0].h);
    const ULONG_PTR rgSpecial[] = {0, fKey ? g_hFreedKey : g_hFreedProvider, hOther, 0x5A5A0000u + Byte()};
    return Pick(rgSpecial, b);
}

// Data: bytes of a chosen length (any values do), the last signature or ciphertext as it is or changed, or null.
Args Decode()
{
    Args a;
    a.op = Pick(kOps, Byte());
    a.hProv = PickHandle(false, a.op == kFreeProvider);
    a.hKey = PickHandle(true, a.op == kFreeKey);
    for (int i = 0; i < 2; ++i) {
        const uint8_t b = Byte();
        a.data[i] = g_lastOutput;
        a.rgfNullData[i] = b == 0xFF;
        if (b < 0x80 || b == 0xFF) {
            a.data[i].assign(Pick(kDataSizes, b), b);
        } else if (b >= 0xC0 && !a.data[i].empty()) {
            a.data[i].back() ^= 1;
        }
    }
    const size_t iPadding = Byte() % (1 + std::size(kHashNames));
    g_padding.pszAlgId = iPadding == 0 ? nullptr : kHashNames[iPadding - 1];
    a.pPadding = iPadding == 0 ? nullptr : &g_padding;
    const uint8_t bOut = Byte(), bFlags = Byte();
    a.out.assign(Pick(kOutputSizes, bOut), kCanary);
    a.fNullOut = bOut & 0x20;
    a.fNullResult = bOut & 0x40;
    a.fNullHandle = bOut & 0x80;
    a.dwFlags = bFlags == 0 && a.op >= kEncrypt && a.op <= kVerify ? NCRYPT_PAD_PKCS1_FLAG : Pick(kFlags, bFlags);
    a.iChoice = Byte();
    a.iChoice2 = Byte();
    return a;
}

SECURITY_STATUS Call(Args &a)
{
    const auto &t = *g_pTable;
    const DWORD cbOut = static_cast<DWORD>(a.out.size());
    ULONG_PTR *phNew = a.fNullHandle ? nullptr : &a.hNew;
    switch (a.op) {
    case kOpen:
        return t.OpenProvider(phNew, Pick(kProviderNames, a.iChoice), a.dwFlags);
    case kOpenKey:
        return t.OpenKey(a.hProv, phNew, Pick(kKeyNames, a.iChoice), Pick(kKeySpecs, a.iChoice2), a.dwFlags);
    case kProperty:
        return t.GetProviderProperty(a.hProv, Pick(kProperties, a.iChoice), a.Out(), cbOut, a.Result(), a.dwFlags);
    case kFreeProvider:
        return t.FreeProvider(a.hProv);
    case kFreeKey:
        return t.FreeKey(a.hProv, a.hKey);
    case kEncrypt:
    case kDecrypt:
        return (a.op == kEncrypt ? t.Encrypt : t.Decrypt)(a.hProv, a.hKey, a.Data(0), a.Size(0), a.pPadding, a.Out(),
                                                          cbOut, a.Result(), a.dwFlags);
    case kEnumAlgorithms:
        return t.EnumAlgorithms(a.hProv, a.dwFlags, a.fNullHandle ? nullptr : &a.cbResult, &a.pList, a.dwFlags);
    case kSign:
        return t.SignHash(a.hProv, a.hKey, a.pPadding, a.Data(0), a.Size(0), a.Out(), cbOut, a.Result(), a.dwFlags);
    default:
        return t.VerifySignature(a.hProv, a.hKey, a.pPadding, a.Data(0), a.Size(0), a.Data(1), a.Size(1), a.dwFlags);
    }
}

std::FILE *g_pRecord = nullptr; // the replay's record: "FuzzReplay.<input> <call>.<op> <status>"
std::string g_strInput;

void Record(Op op, LONG status)
{
    if (g_pRecord != nullptr) {
        std::fprintf(g_pRecord, "FuzzReplay.%s %u.%d 0x%08lX\n", g_strInput.c_str(), unsigned(g_iCall), int(op),
                     static_cast<unsigned long>(static_cast<DWORD>(status)));
    }
}

// A call of a table entry, and what holds for any: a status it can give, last-error kept, inputs unwritten, outputs
// written only on success and up to the length (a failure may give a length), blocks kept only by opens or frees.
SECURITY_STATUS Checked(Args &a)
{
    const Args original = a;
    const LONG lBlocks = QvnPlatformModuleLiveBlocks();
    SetLastError(0x5000u + g_iCall);
    const SECURITY_STATUS s = Call(a);
    Record(a.op, s);
    const size_t cStatuses = std::size(kStatuses) - (g_fMallocFailed ? 0 : 1) - (g_fInjected ? 0 : 5);
    Check(std::count(kStatuses, kStatuses + cStatuses, s) == 1, "a status the module cannot give", s);
    Check(GetLastError() == 0x5000u + g_iCall, "an entry changed the caller's last-error value", s);
    Check((a.op >= kOpen && a.op <= kFreeKey && s == ERROR_SUCCESS) || QvnPlatformModuleLiveBlocks() == lBlocks,
          "a call that opened and freed nothing kept a module block", s);
    Check(a.data[0] == original.data[0] && a.data[1] == original.data[1], "a call wrote into its input", s);
    Check(a.pList == original.pList && (s == ERROR_SUCCESS || a.hNew == kCanaryHandle), "a pointer was written", s);
    const bool fLength = a.cbResult != kCanaryLength, fOk = s == ERROR_SUCCESS; // the call reported a length
    Check(a.Untouched(fOk && fLength ? a.cbResult : 0) && (fOk ? !a.HasOut() || !fLength || a.cbResult <= a.out.size()
                                                               : !fLength || !a.cbResult || a.cbResult > a.out.size()),
          "a call wrote past the length it reports, or a failure a length that the buffer had room for", s);
    if (!fOk) {
        return s;
    }
    const auto it = std::find_if(g_providers.begin(), g_providers.end(), [&](auto &p) { return p.h == a.hProv; });
    const auto itKey = std::find_if(g_keys.begin(), g_keys.end(), [&](auto &k) { return k.h == a.hKey; });
    const bool fProv = it != g_providers.end(), fKey = itKey != g_keys.end() && itKey->hProvider == a.hProv;
    const size_t iName = a.iChoice % std::size(kProviderNames);
    // What a success needs, by slot in the order of Op: nothing; one of the five names; a CSP's open provider; an open
    // provider; a key open under it; no algorithm list (FreeBuffer could not free one); a key open under it.
    const bool rgfNeeds[] = {
        true, iName < kProviderNameCount, fProv && it->fCsp, fProv, fKey, a.cbResult == 0, fKey, fKey, fKey, fKey};
    Check(rgfNeeds[a.op], "a call succeeded without what it needs", s);
    if (a.op == kOpen) {
        g_providers.push_back({a.hNew, iName < kCspCount});
    } else if (a.op == kOpenKey) {
        g_keys.push_back({a.hProv, a.hNew});
    } else if (a.op == kFreeProvider) {
        g_hFreedProvider = a.hProv; // a freed provider takes its keys along
        g_keys.erase(std::remove_if(g_keys.begin(), g_keys.end(), [&](auto &k) { return k.hProvider == a.hProv; }),
                     g_keys.end());
        g_providers.erase(it);
    } else if (a.op == kFreeKey) {
        g_keys.erase(itKey);
        g_hFreedKey = a.hKey;
    }
    return s;
}

// With nothing injected: a buffer of the size that a size query gave is enough; a ciphertext decrypts to the
// plaintext; a signature verifies, and changed does not.
void CheckRoundTrip(Args &a)
{
    SECURITY_STATUS s = ERROR_SUCCESS;
    if (!a.HasOut() && !a.fNullResult) {
        a.out.assign(a.cbResult, kCanary);
        a.fNullOut = false;
        a.cbResult = kCanaryLength;
        s = Checked(a);
        Check(s != NTE_BUFFER_TOO_SMALL, "a buffer of the size that the size query gave is too small", s);
    }
    if (s != ERROR_SUCCESS || !a.HasOut() || a.fNullResult || a.op == kDecrypt) {
        return;
    }
    g_lastOutput.assign(a.out.begin(), a.out.begin() + a.cbResult);
    Args next = a;
    next.op = a.op == kEncrypt ? kDecrypt : kVerify;
    next.data[a.op == kEncrypt ? 0 : 1] = g_lastOutput;
    next.rgfNullData[1] = false;
    next.out.assign(512, kCanary);
    next.cbResult = kCanaryLength;
    s = Checked(next);
    const bool fBack = a.op == kEncrypt ? next.cbResult == a.Size(0) &&
                                              std::equal(a.data[0].begin(), a.data[0].end(), next.out.begin())
                                        : !g_lastOutput.empty();
    Check(s == ERROR_SUCCESS && fBack, "a signature does not verify or a ciphertext decrypt to its plaintext", s);
    if (a.op == kSign) {
        next.data[1].back() ^= 1;
        Check(Checked(next) == NTE_BAD_SIGNATURE, "a changed signature was not refused as a bad signature");
    }
}

// As the CNG router does: the module by path (under Windows, beside the program, its heap imports patched), its
// export by name.
void Load()
{
#ifdef _WIN32
    g_hModule = QvnWineLoadModule();
#else
    g_hModule = LoadLibraryW(TEXT("") QVN_FUZZ_MODULE_PATH);
    g_pfnDllMain = reinterpret_cast<decltype(g_pfnDllMain)>(GetProcAddress(g_hModule, "DllMain"));
#endif
    g_pfnGetInterface = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void *>(GetProcAddress(g_hModule, "GetKeyStorageInterface")));
    Check(g_pfnGetInterface && g_pfnGetInterface(kProviderNames[0], &g_pTable, 0) == STATUS_SUCCESS,
          "set-up: loading the module");
}

// The process-detach notification: under Windows, which does not export DllMain, from unloading the module (which is
// then loaded again).
void Detach()
{
#ifdef _WIN32
    FreeLibrary(g_hModule);
    Load();
#else
    g_pfnDllMain(g_hModule, DLL_PROCESS_DETACH, nullptr);
#endif
}

void Control(const Args &a)
{
    if (a.op == kGetInterface) {
        auto *pTable = reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(kCanaryHandle);
        const auto s = g_pfnGetInterface(Pick(kProviderNames, a.iChoice), a.fNullHandle ? nullptr : &pTable, a.dwFlags);
        Record(a.op, s);
        const bool fOpens = a.iChoice % std::size(kProviderNames) < kProviderNameCount && !g_fOldWindows;
        const bool fFailure = s == STATUS_INVALID_PARAMETER || s == STATUS_NOT_SUPPORTED || s == STATUS_UNSUCCESSFUL;
        Check(s == STATUS_SUCCESS ? pTable == g_pTable && fOpens : fFailure && ULONG_PTR(pTable) == kCanaryHandle,
              "GetKeyStorageInterface gave another table, a status it cannot, or wrote on failure", s);
    } else if (a.op == kVersion) {
        g_fOldWindows = a.iChoice % 3 == 0; // 5.2, 6.0 or 10.0; the table entries do not depend on it
        QvnPlatformSetWindowsVersion(g_fOldWindows ? 5 : a.iChoice % 3 == 1 ? 6 : 10, g_fOldWindows ? 2 : 0);
    } else if (a.op == kFailCrypto) {
        QvnPlatformFailCall(Pick(kFailable, a.iChoice), 1 + a.iChoice2 % 4, Pick(kInjectedErrors, a.iChoice2 / 4));
        g_fInjected = true;
    } else if (a.op == kFailMalloc) {
        QvnPlatformFailModuleMalloc(1 + a.iChoice % 16);
        g_fInjected = g_fMallocFailed = true;
    } else {
        // Process detach with handles open: all go, with their CryptoAPI handles and module blocks.
        QvnPlatformClearFailures();
        QvnPlatformFailModuleMalloc(0);
        Detach();
        g_hFreedProvider = g_providers.empty() ? g_hFreedProvider : g_providers[0].h; // it must no longer work
        g_providers.clear();
        g_keys.clear();
        g_fDetached = true;
        Check(QvnPlatformModuleLiveBlocks() == g_lColdBlocks, "process detach left module blocks behind");
        Check(g_pTable->FreeProvider(1) == NTE_INVALID_HANDLE, "a made-up handle worked");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
#ifndef _WIN32 // a store of its own (under Wine: the prefix, where earlier runs' containers are deleted first)
    static std::string s_strStore = (std::filesystem::temp_directory_path() / "qvn-fz-XXXXXX").string();
    Check(mkdtemp(s_strStore.data()) != nullptr, "set-up: mkdtemp");
    std::atexit([] { std::filesystem::remove_all(s_strStore); });
    QvnPlatformSetStoreDirectory(s_strStore.c_str());
    QvnPlatformRecordCalls(TRUE); // every failed call is checked against the injections
#endif
    for (const auto &c : kContainers) {
        HCRYPTPROV hProv = 0;
        HCRYPTKEY hKey = 0;
        CryptAcquireContextW(&hProv, c.pszName, kProviderNames[c.iCsp], kCspTypes[c.iCsp],
                             CRYPT_DELETEKEYSET | c.dwMachine);
        bool fMade = CryptAcquireContextW(&hProv, c.pszName, kProviderNames[c.iCsp], kCspTypes[c.iCsp],
                                          CRYPT_NEWKEYSET | c.dwMachine);
        for (DWORD i = 0; i < 2; ++i) { // AT_KEYEXCHANGE, AT_SIGNATURE
            fMade = fMade && (!c.rgdwBits[i] || (CryptGenKey(hProv, AT_KEYEXCHANGE + i, c.rgdwBits[i] << 16, &hKey) &&
                                                 CryptDestroyKey(hKey)));
        }
        Check(fMade && CryptReleaseContext(hProv, 0), "set-up: a key container");
    }
#ifndef _WIN32
    Check(QvnPlatformSetContainerNeedsPrompt(kProviderNames[0], QVN_FZ_PROMPT, 0, TRUE), "set-up: a prompt");
#endif
    Load();
    Detach();
    g_lColdBlocks = QvnPlatformModuleLiveBlocks();
    OpenKept();
    g_lWarmBlocks = QvnPlatformModuleLiveBlocks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pb, size_t cb)
{
    g_pbNext = pb;
    g_pbEnd = pb + cb;
    g_iLogged = 0;
    g_hFreedProvider = g_hFreedKey = 0;
    g_fInjected = g_fMallocFailed = false;
    for (g_iCall = 0; g_pbNext < g_pbEnd && g_iCall < 32; ++g_iCall) {
        Args a = Decode();
        if (a.op > kVerify) {
            Control(a);
        } else if (Checked(a) == ERROR_SUCCESS && !g_fInjected && a.op >= kEncrypt && a.op < kVerify) {
            CheckRoundTrip(a);
        }
        CheckLiveHandles();
    }
    // Back to the start: what the input opened is freed (which, with nothing injected, succeeds), and after a detach
    // the kept handles open again.
    QvnPlatformClearFailures();
    QvnPlatformFailModuleMalloc(0);
    QvnPlatformSetWindowsVersion(10, 0);
    g_fOldWindows = false;
    for (const size_t cKept = g_fDetached ? 0 : 2; g_keys.size() > cKept; g_keys.pop_back()) {
        Check(g_pTable->FreeKey(g_keys.back().hProvider, g_keys.back().h) == ERROR_SUCCESS, "an open key stuck");
    }
    for (const size_t cKept = g_fDetached ? 0 : 2; g_providers.size() > cKept; g_providers.pop_back()) {
        Check(g_pTable->FreeProvider(g_providers.back().h) == ERROR_SUCCESS, "an open provider stuck");
    }
    if (g_fDetached) {
        OpenKept();
    }
    CheckLiveHandles();
    Check(QvnPlatformModuleLiveBlocks() == g_lWarmBlocks, "module blocks outlived the handles that held them");
    g_lastOutput.clear(); // its memory is kept, so that libFuzzer looks for leaks only when there are some
    QvnPlatformClearCallLog();
    return 0;
}

#ifdef QVN_FUZZ_REPLAY_MAIN
// Without libFuzzer: replays the inputs in a directory in name order, so that the seed corpus tests every build.
int main(int argc, char **argv)
{
    using std::filesystem::directory_iterator;
    const std::set<std::filesystem::path> inputs(directory_iterator(argc > 1 ? argv[1] : "."), directory_iterator());
    LLVMFuzzerInitialize(&argc, &argv);
    const char *pszRecord = std::getenv("QVN_FUZZ_RECORD"); // closed, and so flushed, at the exit
    g_pRecord = pszRecord != nullptr && *pszRecord != '\0' ? std::fopen(pszRecord, "w") : nullptr;
    for (const auto &path : inputs) {
        std::ifstream file(path, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        g_strInput = path.filename().string();
        std::fprintf(stderr, "replaying %s\n", g_strInput.c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs replayed without a finding\n", inputs.size());
    return inputs.empty() ? 2 : 0;
}
#endif
