// libFuzzer harness of the key storage provider. Each input is a sequence of
// calls into the function table that GetKeyStorageInterface hands out: all
// 26 slots and the export itself, with provider and key handles drawn from
// open, freed, foreign and arbitrary values, arbitrary buffers, lengths,
// flags and padding information, and with failures of the module's malloc and
// of single CryptoAPI calls switched on between calls.
//
// A model of the open handles predicts, for every call, the one status that
// the call must return (or, for a decryption of bytes that no encryption
// made, one of two). A call during which an injected failure fell due must
// return the status that failure stands for. After every call the live
// CryptoAPI handles of the platform must match the open provider and key
// handles; after every input the module is sent the process-detach
// notification, which must leave no CryptoAPI handle and no module
// allocation behind. Any deviation aborts with a report, which libFuzzer
// turns into a crash input.
//
// QVN_FUZZ_TRACE=1 prints every call with its status (for replaying a crash
// input); QVN_FUZZ_WRITE_CORPUS=<dir> writes the seed corpus and exits.
#include "CapiFailureStatus.h"
#include "FuzzChoices.h"
#include "FuzzInput.h"
#include "FuzzSeeds.h"

#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>
#include <ntstatus.h>
#include <wincrypt.h>

#include <ncrypt_provider.h>
#include <qvnplatform.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace qvnfuzz
{
namespace
{

typedef BOOL(WINAPI *DllMainFn)(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

// ---- The key store of the fuzz run ---------------------------------------------

struct CspInfo {
    const char16_t *pszName;
    DWORD dwProvType;
};
const CspInfo kCsps[] = {{u"Quorvane Alder Cryptographic Provider", PROV_RSA_FULL},
                         {u"Quorvane Birch Cryptographic Provider", PROV_RSA_SCHANNEL},
                         {u"Quorvane Cedar Cryptographic Provider", PROV_RSA_AES},
                         {u"Quorvane Dogwood Cryptographic Provider", PROV_RSA_FULL}};

// Small keys keep the CSP's RSA fast; 1023 bits is the odd length whose byte
// length rounds up.
struct ContainerInfo {
    int iCsp;
    const char16_t *pszName;
    bool fMachine;
    bool fNeedsPrompt;
    DWORD dwExchangeBits; // 0: no key-exchange pair
    DWORD dwSignatureBits;
};
const ContainerInfo kContainers[] = {
    {0, u"fz-both", false, false, 512, 768},  {0, u"fz-sig", false, false, 0, 512},
    {0, u"fz-prompt", false, true, 512, 0},   {0, u"fz-empty", false, false, 0, 0},
    {0, u"fz-machine", true, false, 1023, 0}, {1, u"fz-both", false, false, 512, 512},
    {2, u"fz-both", false, false, 640, 0},    {3, u"fz-both", false, false, 512, 0},
};
constexpr int kContainerCount = sizeof(kContainers) / sizeof(kContainers[0]);

DWORD BytesOfBits(DWORD dwBits)
{
    return (dwBits + 7) / 8;
}

// ---- Statuses ----------------------------------------------------------------------

// Every status that the module can return from a table entry: its own codes,
// the CryptoAPI values that the stand-in's CSPs give for the calls the module
// makes, and the values that the harness injects.
bool IsModuleStatus(SECURITY_STATUS status)
{
    static const SECURITY_STATUS kOwn[] = {
        ERROR_SUCCESS,      NTE_BAD_FLAGS,         NTE_NO_MEMORY,        NTE_PERM,          NTE_BAD_KEYSET,
        NTE_INVALID_HANDLE, NTE_INVALID_PARAMETER, NTE_BUFFER_TOO_SMALL, NTE_NOT_SUPPORTED, NTE_DECRYPTION_FAILURE,
        NTE_INTERNAL_ERROR, NTE_UI_REQUIRED,       NTE_BAD_SIGNATURE,    NTE_BAD_LEN};
    for (SECURITY_STATUS own : kOwn) {
        if (status == own) {
            return true;
        }
    }
    for (DWORD dwInjected : kInjectedErrors) {
        if (status == static_cast<SECURITY_STATUS>(dwInjected)) {
            return true;
        }
    }
    return false;
}

bool IsReleaseFunction(const std::string &strFunction)
{
    return strFunction == "CryptDestroyHash" || strFunction == "CryptDestroyKey" ||
           strFunction == "CryptReleaseContext";
}

// What an injected failure of a CryptoAPI call comes back to CNG as.
SECURITY_STATUS InjectedStatus(Op op, const std::string &strFunction, DWORD dwError)
{
    return qvntest::StatusOfFailedCapiCall(strFunction, dwError, op == kOpOpenKey);
}

// The errors with which a CryptoAPI call of the module may fail on its own in
// the fuzz store; any other failure in the call log must have been injected.
bool IsNaturalCryptoFailure(const std::string &strFunction, DWORD dwError)
{
    const SECURITY_STATUS status = static_cast<SECURITY_STATUS>(dwError);
    if (strFunction == "CryptAcquireContextW") {
        return status == NTE_BAD_KEYSET || status == NTE_SILENT_CONTEXT;
    }
    if (strFunction == "CryptGetUserKey") {
        return status == NTE_NO_KEY;
    }
    if (strFunction == "CryptSignHashW") {
        return status == NTE_BAD_LEN;
    }
    if (strFunction == "CryptVerifySignatureW") {
        return status == NTE_BAD_SIGNATURE;
    }
    if (strFunction == "CryptDecrypt") {
        return status == NTE_BAD_DATA;
    }
    return false;
}

const char *OpName(int op)
{
    static const char *const kNames[] = {"OpenProvider",
                                         "OpenKey",
                                         "CreatePersistedKey",
                                         "GetProviderProperty",
                                         "GetKeyProperty",
                                         "SetProviderProperty",
                                         "SetKeyProperty",
                                         "FinalizeKey",
                                         "DeleteKey",
                                         "FreeProvider",
                                         "FreeKey",
                                         "FreeBuffer",
                                         "Encrypt",
                                         "Decrypt",
                                         "IsAlgSupported",
                                         "EnumAlgorithms",
                                         "EnumKeys",
                                         "ImportKey",
                                         "ExportKey",
                                         "SignHash",
                                         "VerifySignature",
                                         "PromptUser",
                                         "NotifyChangeKey",
                                         "SecretAgreement",
                                         "DeriveKey",
                                         "FreeSecret",
                                         "GetKeyStorageInterface",
                                         "FailCryptoCall",
                                         "FailModuleMalloc",
                                         "SetWindowsVersion"};
    return op >= 0 && op < kOpCount ? kNames[op] : "process detach";
}

// ---- Caller-side memory of one call ------------------------------------------------

// Owns every buffer, string and structure handed to one call. Each block is
// allocated with exactly the size the call may use, so that the sanitizer
// sees any access beyond it.
class Arena
{
public:
    uint8_t *Bytes(size_t cb)
    {
        m_blocks.emplace_back(new uint8_t[cb]);
        return m_blocks.back().get();
    }
    const WCHAR *String(const std::u16string &str)
    {
        uint8_t *pb = Bytes((str.size() + 1) * sizeof(WCHAR));
        std::memcpy(pb, str.c_str(), (str.size() + 1) * sizeof(WCHAR));
        return reinterpret_cast<const WCHAR *>(pb);
    }
    template <typename T> T *Object()
    {
        uint8_t *pb = Bytes(sizeof(T));
        std::memset(pb, 0, sizeof(T));
        return reinterpret_cast<T *>(pb);
    }

private:
    std::vector<std::unique_ptr<uint8_t[]>> m_blocks;
};

struct DataArg {
    PBYTE pb = nullptr;
    DWORD cb = 0;
    size_t cbAllocated = 0;
    std::vector<uint8_t> original; // the allocated bytes as handed over
};

struct OutArg {
    PBYTE pb = nullptr;
    DWORD cb = 0;
    size_t cbAllocated = 0;
    bool fAliased = false;
};

// The layout of the platform's BCRYPT_OAEP_PADDING_INFO, which the stand-in's
// bcrypt.h does not declare: another padding structure that begins with a
// hash algorithm name.
struct OaepPaddingInfo {
    LPCWSTR pszAlgId;
    BYTE *pbLabel;
    ULONG cbLabel;
};

constexpr uint8_t kCanary = 0xA5;
constexpr DWORD kResultSentinel = 0xFEEDFACE;
constexpr ULONG_PTR kHandleSentinel = 0x5E771E5;

// ---- The model of the open handles -----------------------------------------------

struct KeyModel {
    NCRYPT_KEY_HANDLE h;
    int iContainer;
    DWORD dwKeySpec;
    DWORD cbKey;
    unsigned uSerial;
};

struct ProviderModel {
    NCRYPT_PROV_HANDLE h;
    int iKind; // 0: the key storage provider, 1-4: CSP 0-3
    std::vector<KeyModel> keys;
};

// A key pair of the store: container and spec.
int KeyIdentity(const KeyModel &key)
{
    return key.iContainer * 2 + (key.dwKeySpec == AT_SIGNATURE ? 1 : 0);
}

struct Injection {
    std::string strFunction;
    DWORD dwFireAt;
    DWORD dwError;
};

// What fell due during one call.
struct Observation {
    std::vector<Injection> failed;   // injected failures that end an operation
    std::vector<Injection> released; // injected failures of a release, which the module ignores
    bool fMallocFailed = false;
    bool Any() const { return fMallocFailed || !failed.empty(); }
};

class Harness
{
public:
    void Initialize();
    void RunInput(const uint8_t *pbData, size_t cbData);

private:
    // Decoding.
    NCRYPT_PROV_HANDLE DecodeProvider(InputReader &in);
    NCRYPT_KEY_HANDLE DecodeKey(InputReader &in, NCRYPT_PROV_HANDLE hProvider);
    static DWORD DecodeFlags(InputReader &in);
    static DWORD DecodeKeySpec(InputReader &in);
    static const WCHAR *DecodeString(InputReader &in, Arena &arena, const char16_t *const *rgpsz, size_t cChoices,
                                     size_t iArbitrary);
    static void *DecodePadding(InputReader &in, Arena &arena);
    DataArg DecodeData(InputReader &in, Arena &arena, DWORD cbKey);
    static OutArg DecodeOut(InputReader &in, Arena &arena, DWORD cbKey, const DataArg *pInput);
    static DWORD *DecodeResult(InputReader &in, DWORD *pdw);

    // The operations.
    void RunOpenProvider(InputReader &in);
    void RunOpenKey(InputReader &in);
    void RunGetProviderProperty(InputReader &in);
    void RunFreeProvider(InputReader &in);
    void RunFreeKey(InputReader &in);
    void RunCrypt(InputReader &in, bool fEncrypt);
    void RunEnumAlgorithms(InputReader &in);
    void RunSignHash(InputReader &in);
    void RunVerifySignature(InputReader &in);
    void RunStub(InputReader &in, Op op);
    void RunGetInterface(InputReader &in);
    void RunFailCryptoCall(InputReader &in);
    void RunFailModuleMalloc(InputReader &in);
    void RunSetWindowsVersion(InputReader &in);

    // Model.
    ProviderModel *FindProvider(NCRYPT_PROV_HANDLE h);
    KeyModel *FindKey(ProviderModel *pProvider, NCRYPT_KEY_HANDLE h);
    bool IsLiveHandle(ULONG_PTR h) const;
    std::vector<KeyModel *> AllKeys();
    void RememberFreed(std::vector<ULONG_PTR> &history, ULONG_PTR h);

    // Checks.
    Observation Observe();
    void ExpectStatus(Op op, SECURITY_STATUS status, std::initializer_list<SECURITY_STATUS> natural,
                      const Observation &obs);
    void CheckLiveHandles(Op op);
    void AuditCryptoCalls(Op op);
    void Teardown();
    [[noreturn]] void Finding(const char *pszFormat, ...);

    // Resolves the key of a key entry: the status that handle resolution
    // gives, or nullopt when both handles are good.
    std::optional<SECURITY_STATUS> ResolveKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, KeyModel **ppKey);

    HMODULE m_hModule = nullptr;
    GetKeyStorageInterfaceFn m_pfnGetInterface = nullptr;
    DllMainFn m_pfnDllMain = nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *m_pTable = nullptr;
    HCRYPTPROV m_hOwnContext = 0;
    std::string m_strStore;
    bool m_fTrace = false;

    LONG m_lBaseContexts = 0;
    LONG m_lBaseKeys = 0;
    LONG m_lBaseHashes = 0;
    LONG m_lBaseBlocks = 0;

    // Per input.
    std::vector<ProviderModel> m_providers;
    std::vector<ULONG_PTR> m_freedProviders;
    std::vector<ULONG_PTR> m_freedKeys;
    unsigned m_uNextSerial = 0;
    std::vector<Injection> m_pendingCalls;
    std::optional<DWORD> m_dwMallocFireAt;
    Observation m_lastObservation;
    DWORD m_dwLogMark = 0;
    bool m_fOldWindows = false;
    std::vector<uint8_t> m_lastOutput;
    std::vector<uint8_t> m_lastSignature;
    std::vector<uint8_t> m_lastCipher;
    // Signatures made, by key identity and signed input (algorithm with its
    // identifier, or 0 for a bare hash, and the hash value).
    std::map<std::pair<int, std::pair<ALG_ID, std::vector<uint8_t>>>, std::vector<uint8_t>> m_signatures;
    // Ciphertexts made, by key identity, with their plaintexts.
    std::map<std::pair<int, std::vector<uint8_t>>, std::vector<uint8_t>> m_plaintexts;
    std::vector<std::pair<int, SECURITY_STATUS>> m_trail;
    int m_iCall = 0;
};

// ---- Set-up -----------------------------------------------------------------------

std::string g_strStoreToRemove;

void RemoveStore()
{
    if (!g_strStoreToRemove.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(g_strStoreToRemove, ec);
    }
}

void Die(const char *pszWhat)
{
    std::fprintf(stderr, "qvn-fuzz: set-up failed: %s (last error 0x%08x)\n", pszWhat,
                 static_cast<unsigned>(GetLastError()));
    std::abort();
}

void CreateContainer(const ContainerInfo &container)
{
    const CspInfo &csp = kCsps[container.iCsp];
    const DWORD dwMachine = container.fMachine ? CRYPT_MACHINE_KEYSET : 0;
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, container.pszName, csp.pszName, csp.dwProvType, CRYPT_NEWKEYSET | dwMachine)) {
        Die("CryptAcquireContextW(CRYPT_NEWKEYSET)");
    }
    const std::pair<DWORD, DWORD> rgPairs[] = {{AT_KEYEXCHANGE, container.dwExchangeBits},
                                               {AT_SIGNATURE, container.dwSignatureBits}};
    for (const auto &pair : rgPairs) {
        if (pair.second == 0) {
            continue;
        }
        HCRYPTKEY hKey = 0;
        if (!CryptGenKey(hProv, pair.first, pair.second << 16, &hKey)) {
            Die("CryptGenKey");
        }
        CryptDestroyKey(hKey);
    }
    CryptReleaseContext(hProv, 0);
    if (container.fNeedsPrompt &&
        !QvnPlatformSetContainerNeedsPrompt(csp.pszName, container.pszName, dwMachine, TRUE)) {
        Die("QvnPlatformSetContainerNeedsPrompt");
    }
}

void Harness::Initialize()
{
    m_fTrace = std::getenv("QVN_FUZZ_TRACE") != nullptr;

    std::string strTemplate =
        std::string(std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp") + "/qvn-fuzz-store-XXXXXX";
    if (mkdtemp(strTemplate.data()) == nullptr) {
        Die("mkdtemp");
    }
    m_strStore = strTemplate;
    g_strStoreToRemove = m_strStore;
    std::atexit(RemoveStore);
    QvnPlatformReset();
    QvnPlatformSetStoreDirectory(m_strStore.c_str());
    for (const ContainerInfo &container : kContainers) {
        CreateContainer(container);
    }
    if (!CryptAcquireContextW(&m_hOwnContext, nullptr, kCsps[0].pszName, kCsps[0].dwProvType, CRYPT_VERIFYCONTEXT)) {
        Die("CryptAcquireContextW(CRYPT_VERIFYCONTEXT)");
    }

    // As the CNG router does: the module by path, its export by name.
    const std::string strPath = QVN_FUZZ_MODULE_PATH;
    const std::u16string strWidePath(strPath.begin(), strPath.end());
    m_hModule = LoadLibraryW(strWidePath.c_str());
    if (m_hModule == nullptr) {
        Die("LoadLibraryW");
    }
    m_pfnGetInterface = reinterpret_cast<GetKeyStorageInterfaceFn>(GetProcAddress(m_hModule, "GetKeyStorageInterface"));
    m_pfnDllMain = reinterpret_cast<DllMainFn>(GetProcAddress(m_hModule, "DllMain"));
    if (m_pfnGetInterface == nullptr || m_pfnDllMain == nullptr) {
        Die("GetProcAddress");
    }
    if (m_pfnGetInterface(u"Quorvane TPM Key Storage Provider", &m_pTable, 0) != STATUS_SUCCESS ||
        m_pTable == nullptr) {
        Die("GetKeyStorageInterface");
    }

    m_pfnDllMain(reinterpret_cast<HINSTANCE>(m_hModule), DLL_PROCESS_DETACH, nullptr);
    m_lBaseContexts = QvnPlatformLiveContexts();
    m_lBaseKeys = QvnPlatformLiveKeys();
    m_lBaseHashes = QvnPlatformLiveHashes();
    m_lBaseBlocks = QvnPlatformModuleLiveBlocks();
}

// ---- Reporting -------------------------------------------------------------------

void Harness::Finding(const char *pszFormat, ...)
{
    std::fprintf(stderr, "\nqvn-fuzz: FINDING in call %d: ", m_iCall);
    va_list args;
    va_start(args, pszFormat);
    std::vfprintf(stderr, pszFormat, args);
    va_end(args);
    std::fprintf(stderr, "\nqvn-fuzz: calls of this input (newest last):\n");
    const size_t iFirst = m_trail.size() > 40 ? m_trail.size() - 40 : 0;
    for (size_t i = iFirst; i < m_trail.size(); ++i) {
        std::fprintf(stderr, "  #%zu %s -> 0x%08x\n", i, OpName(m_trail[i].first),
                     static_cast<unsigned>(m_trail[i].second));
    }
    std::abort();
}

// ---- Model ---------------------------------------------------------------------------

ProviderModel *Harness::FindProvider(NCRYPT_PROV_HANDLE h)
{
    for (ProviderModel &provider : m_providers) {
        if (provider.h == h) {
            return &provider;
        }
    }
    return nullptr;
}

KeyModel *Harness::FindKey(ProviderModel *pProvider, NCRYPT_KEY_HANDLE h)
{
    if (pProvider == nullptr) {
        return nullptr;
    }
    for (KeyModel &key : pProvider->keys) {
        if (key.h == h) {
            return &key;
        }
    }
    return nullptr;
}

bool Harness::IsLiveHandle(ULONG_PTR h) const
{
    for (const ProviderModel &provider : m_providers) {
        if (provider.h == h) {
            return true;
        }
        for (const KeyModel &key : provider.keys) {
            if (key.h == h) {
                return true;
            }
        }
    }
    return false;
}

std::vector<KeyModel *> Harness::AllKeys()
{
    std::vector<KeyModel *> keys;
    for (ProviderModel &provider : m_providers) {
        for (KeyModel &key : provider.keys) {
            keys.push_back(&key);
        }
    }
    return keys;
}

void Harness::RememberFreed(std::vector<ULONG_PTR> &history, ULONG_PTR h)
{
    history.push_back(h);
    if (history.size() > 16) {
        history.erase(history.begin());
    }
}

std::optional<SECURITY_STATUS> Harness::ResolveKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                                   KeyModel **ppKey)
{
    *ppKey = FindKey(FindProvider(hProvider), hKey);
    if (*ppKey == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    return std::nullopt;
}

// ---- Decoding ----------------------------------------------------------------------

NCRYPT_PROV_HANDLE Harness::DecodeProvider(InputReader &in)
{
    switch (in.Byte() % kProvChoiceCount) {
    case kProvLive: {
        const uint8_t i = in.Byte();
        return m_providers.empty() ? 0 : m_providers[i % m_providers.size()].h;
    }
    case kProvLastOpened:
        return m_providers.empty() ? 0 : m_providers.back().h;
    case kProvFreed: {
        const uint8_t i = in.Byte();
        return m_freedProviders.empty() ? 0 : m_freedProviders[i % m_freedProviders.size()];
    }
    case kProvKeyHandle: {
        const uint8_t i = in.Byte();
        const std::vector<KeyModel *> keys = AllKeys();
        return keys.empty() ? 0 : keys[i % keys.size()]->h;
    }
    case kProvForeign: {
        const ULONG_PTR rgForeign[] = {m_hOwnContext, reinterpret_cast<ULONG_PTR>(m_pTable),
                                       reinterpret_cast<ULONG_PTR>(this), 1};
        return rgForeign[in.Byte() % 4];
    }
    case kProvArbitrary:
        return static_cast<NCRYPT_PROV_HANDLE>(in.Qword());
    case kProvZero:
        return 0;
    default: { // kProvOfKind
        const int iKind = in.Byte() % 5;
        for (const ProviderModel &provider : m_providers) {
            if (provider.iKind == iKind) {
                return provider.h;
            }
        }
        return 0;
    }
    }
}

NCRYPT_KEY_HANDLE Harness::DecodeKey(InputReader &in, NCRYPT_PROV_HANDLE hProvider)
{
    ProviderModel *pProvider = FindProvider(hProvider);
    switch (in.Byte() % kKeyChoiceCount) {
    case kKeyLiveUnderProvider: {
        const uint8_t i = in.Byte();
        return pProvider == nullptr || pProvider->keys.empty() ? 0 : pProvider->keys[i % pProvider->keys.size()].h;
    }
    case kKeyLastOpened: {
        const KeyModel *pNewest = nullptr;
        for (const KeyModel *pKey : AllKeys()) {
            if (pNewest == nullptr || pKey->uSerial > pNewest->uSerial) {
                pNewest = pKey;
            }
        }
        return pNewest == nullptr ? 0 : pNewest->h;
    }
    case kKeyFreed: {
        const uint8_t i = in.Byte();
        return m_freedKeys.empty() ? 0 : m_freedKeys[i % m_freedKeys.size()];
    }
    case kKeyLiveAnywhere: {
        const uint8_t i = in.Byte();
        const std::vector<KeyModel *> keys = AllKeys();
        return keys.empty() ? 0 : keys[i % keys.size()]->h;
    }
    case kKeyProviderHandle:
        return hProvider;
    case kKeyArbitrary:
        return static_cast<NCRYPT_KEY_HANDLE>(in.Qword());
    case kKeyZero:
        return 0;
    default: // kKeyLastUnderProvider
        return pProvider == nullptr || pProvider->keys.empty() ? 0 : pProvider->keys.back().h;
    }
}

DWORD Harness::DecodeFlags(InputReader &in)
{
    const uint8_t iChoice = in.Byte() % (sizeof(kFlagChoices) / sizeof(kFlagChoices[0]));
    return iChoice == kFlagsArbitrary ? in.Dword() : kFlagChoices[iChoice];
}

DWORD Harness::DecodeKeySpec(InputReader &in)
{
    switch (in.Byte() % kSpecChoiceCount) {
    case kSpecExchange:
        return AT_KEYEXCHANGE;
    case kSpecSignature:
        return AT_SIGNATURE;
    case kSpecZero:
        return 0;
    case kSpecThree:
        return 3;
    case kSpecArbitrary:
        return in.Dword();
    default:
        return 0xFFFFFFFF;
    }
}

const WCHAR *Harness::DecodeString(InputReader &in, Arena &arena, const char16_t *const *rgpsz, size_t cChoices,
                                   size_t iArbitrary)
{
    const size_t iChoice = in.Byte() % cChoices;
    if (iChoice == iArbitrary) {
        const size_t cch = in.Byte() % 64;
        std::u16string str;
        for (size_t i = 0; i < cch; ++i) {
            const uint16_t wLow = in.Byte();
            str.push_back(static_cast<char16_t>(wLow | (in.Byte() << 8)));
        }
        return arena.String(str);
    }
    if (rgpsz[iChoice] == nullptr) {
        return nullptr;
    }
    return arena.String(rgpsz[iChoice]);
}

void *Harness::DecodePadding(InputReader &in, Arena &arena)
{
    const size_t cHashNames = sizeof(kHashNames) / sizeof(kHashNames[0]);
    switch (in.Byte() % kPadChoiceCount) {
    case kPadNull:
        return nullptr;
    case kPadPkcs1NoName:
        return arena.Object<BCRYPT_PKCS1_PADDING_INFO>();
    case kPadPssNamed: {
        BCRYPT_PSS_PADDING_INFO *pInfo = arena.Object<BCRYPT_PSS_PADDING_INFO>();
        pInfo->pszAlgId = DecodeString(in, arena, kHashNames, cHashNames, kHashArbitrary);
        pInfo->cbSalt = in.Dword();
        return pInfo;
    }
    case kPadOaepNamed: {
        OaepPaddingInfo *pInfo = arena.Object<OaepPaddingInfo>();
        pInfo->pszAlgId = DecodeString(in, arena, kHashNames, cHashNames, kHashArbitrary);
        const size_t cbLabel = in.Byte() % 16;
        pInfo->pbLabel = arena.Bytes(cbLabel);
        for (size_t i = 0; i < cbLabel; ++i) {
            pInfo->pbLabel[i] = in.Byte();
        }
        pInfo->cbLabel = static_cast<ULONG>(cbLabel);
        return pInfo;
    }
    case kPadPssNoName:
        return arena.Object<BCRYPT_PSS_PADDING_INFO>();
    default: { // kPadPkcs1Named, kPadPkcs1Named2
        BCRYPT_PKCS1_PADDING_INFO *pInfo = arena.Object<BCRYPT_PKCS1_PADDING_INFO>();
        pInfo->pszAlgId = DecodeString(in, arena, kHashNames, cHashNames, kHashArbitrary);
        return pInfo;
    }
    }
}

DataArg Harness::DecodeData(InputReader &in, Arena &arena, DWORD cbKey)
{
    const uint8_t iSource = in.Byte() % kDataChoiceCount;
    std::vector<uint8_t> content;
    switch (iSource) {
    case kDataBytes:
        content = in.Bytes(in.Byte());
        break;
    case kDataLastOutput:
        content = m_lastOutput;
        break;
    case kDataLastSignature:
        content = m_lastSignature;
        break;
    case kDataLastCipher:
        content = m_lastCipher;
        break;
    case kDataHashLike: {
        content.resize(kHashLikeSizes[in.Byte() % 8]);
        const uint8_t bSeed = in.Byte();
        for (size_t i = 0; i < content.size(); ++i) {
            content[i] = static_cast<uint8_t>(bSeed + i * 29);
        }
        break;
    }
    default:
        break;
    }

    DWORD cbClaimed = 0;
    const DWORD cbContent = static_cast<DWORD>(content.size());
    switch (in.Byte() % kLenChoiceCount) {
    case kLenContent:
        cbClaimed = cbContent;
        break;
    case kLenZero:
        cbClaimed = 0;
        break;
    case kLenContentLess1:
        cbClaimed = cbContent > 0 ? cbContent - 1 : 0;
        break;
    case kLenKey:
        cbClaimed = cbKey;
        break;
    case kLenKeyLess11:
        cbClaimed = cbKey - 11;
        break;
    case kLenKeyLess10:
        cbClaimed = cbKey - 10;
        break;
    case kLenArbitrary:
        cbClaimed = in.Dword();
        break;
    default:
        cbClaimed = cbContent + 1;
        break;
    }

    DataArg arg;
    arg.cb = cbClaimed;
    if (iSource == kDataNull) {
        return arg;
    }
    if (iSource == kDataZeros) {
        content.assign(std::min<DWORD>(cbClaimed, kBufferCap), 0);
    }
    // The buffer covers the claimed length (up to the cap, beyond which the
    // module has no reason to read); bytes past the content are filler.
    arg.cbAllocated = std::max<size_t>(content.size(), std::min<DWORD>(cbClaimed, kBufferCap));
    arg.pb = arena.Bytes(arg.cbAllocated);
    for (size_t i = 0; i < arg.cbAllocated; ++i) {
        arg.pb[i] = i < content.size() ? content[i] : static_cast<uint8_t>(i * 37 + 1);
    }
    arg.original.assign(arg.pb, arg.pb + arg.cbAllocated);
    return arg;
}

OutArg Harness::DecodeOut(InputReader &in, Arena &arena, DWORD cbKey, const DataArg *pInput)
{
    const uint8_t iChoice = in.Byte() % kOutChoiceCount;
    DWORD cbClaimed = 0;
    switch (in.Byte() % kOutLenChoiceCount) {
    case kOutLenKey:
        cbClaimed = cbKey;
        break;
    case kOutLenKeyLess1:
        cbClaimed = cbKey - 1;
        break;
    case kOutLenKeyLess11:
        cbClaimed = cbKey - 11;
        break;
    case kOutLenKeyLess12:
        cbClaimed = cbKey - 12;
        break;
    case kOutLenZero:
        cbClaimed = 0;
        break;
    case kOutLenFour:
        cbClaimed = 4;
        break;
    case kOutLenArbitrary:
        cbClaimed = in.Dword();
        break;
    default:
        cbClaimed = cbKey + 5;
        break;
    }

    OutArg arg;
    arg.cb = cbClaimed;
    if (iChoice == kOutNull) {
        return arg;
    }
    if (iChoice == kOutSameAsInput && pInput != nullptr && pInput->pb != nullptr) {
        arg.pb = pInput->pb;
        arg.cbAllocated = pInput->cbAllocated;
        arg.cb = static_cast<DWORD>(std::min<size_t>(cbClaimed, pInput->cbAllocated));
        arg.fAliased = true;
        return arg;
    }
    arg.cbAllocated = std::min<DWORD>(cbClaimed, kBufferCap);
    arg.pb = arena.Bytes(arg.cbAllocated);
    std::memset(arg.pb, kCanary, arg.cbAllocated);
    return arg;
}

DWORD *Harness::DecodeResult(InputReader &in, DWORD *pdw)
{
    *pdw = kResultSentinel;
    return in.Byte() % 5 == 0 ? nullptr : pdw;
}

bool Untouched(const OutArg &out)
{
    if (out.pb == nullptr || out.fAliased) {
        return true;
    }
    for (size_t i = 0; i < out.cbAllocated; ++i) {
        if (out.pb[i] != kCanary) {
            return false;
        }
    }
    return true;
}

bool Unchanged(const DataArg &data)
{
    return data.pb == nullptr || data.cbAllocated == 0 ||
           std::memcmp(data.pb, data.original.data(), data.cbAllocated) == 0;
}

// ---- Observation and checks ----------------------------------------------------------

Observation Harness::Observe()
{
    Observation obs;
    for (auto it = m_pendingCalls.begin(); it != m_pendingCalls.end();) {
        if (QvnPlatformCountCalls(it->strFunction.c_str()) >= it->dwFireAt) {
            (IsReleaseFunction(it->strFunction) ? obs.released : obs.failed).push_back(*it);
            it = m_pendingCalls.erase(it);
        } else {
            ++it;
        }
    }
    if (m_dwMallocFireAt && QvnPlatformModuleMallocCount() >= *m_dwMallocFireAt) {
        obs.fMallocFailed = true;
        m_dwMallocFireAt.reset();
    }
    m_lastObservation = obs;
    return obs;
}

void Harness::ExpectStatus(Op op, SECURITY_STATUS status, std::initializer_list<SECURITY_STATUS> natural,
                           const Observation &obs)
{
    m_trail.emplace_back(op, status);
    if (m_fTrace) {
        std::fprintf(stderr, "qvn-fuzz: #%d %s -> 0x%08x%s\n", m_iCall, OpName(op), static_cast<unsigned>(status),
                     obs.Any() ? " (injected failure fell due)" : "");
    }
    if (!IsModuleStatus(status)) {
        Finding("%s returned 0x%08x, which the module cannot return", OpName(op), static_cast<unsigned>(status));
    }
    if (obs.Any()) {
        std::vector<SECURITY_STATUS> allowed;
        if (obs.fMallocFailed) {
            allowed.push_back(NTE_NO_MEMORY);
        }
        for (const Injection &failed : obs.failed) {
            allowed.push_back(InjectedStatus(op, failed.strFunction, failed.dwError));
        }
        if (std::find(allowed.begin(), allowed.end(), status) == allowed.end()) {
            Finding("%s returned 0x%08x; the injected failure (%s) stands for 0x%08x", OpName(op),
                    static_cast<unsigned>(status),
                    obs.fMallocFailed ? "module malloc" : obs.failed.front().strFunction.c_str(),
                    static_cast<unsigned>(allowed.front()));
        }
        return;
    }
    if (std::find(natural.begin(), natural.end(), status) == natural.end()) {
        Finding("%s returned 0x%08x, expected 0x%08x", OpName(op), static_cast<unsigned>(status),
                static_cast<unsigned>(*natural.begin()));
    }
}

void Harness::CheckLiveHandles(Op op)
{
    LONG lCapiProviders = 0;
    LONG lKeys = 0;
    for (const ProviderModel &provider : m_providers) {
        lCapiProviders += provider.iKind != 0 ? 1 : 0;
        lKeys += static_cast<LONG>(provider.keys.size());
    }
    const LONG lContexts = QvnPlatformLiveContexts() - m_lBaseContexts;
    const LONG lLiveKeys = QvnPlatformLiveKeys() - m_lBaseKeys;
    const LONG lHashes = QvnPlatformLiveHashes() - m_lBaseHashes;
    if (lContexts != lCapiProviders + lKeys || lLiveKeys != lKeys || lHashes != 0) {
        Finding("after %s: CryptoAPI holds %ld contexts, %ld keys, %ld hashes for %ld CSP providers and %ld keys",
                OpName(op), static_cast<long>(lContexts), static_cast<long>(lLiveKeys), static_cast<long>(lHashes),
                static_cast<long>(lCapiProviders), static_cast<long>(lKeys));
    }
}

// ---- The operations -------------------------------------------------------------------

void Harness::RunOpenProvider(InputReader &in)
{
    Arena arena;
    const bool fNullOut = in.Byte() % 6 == 0;
    const WCHAR *pszName =
        DecodeString(in, arena, kProviderNames, sizeof(kProviderNames) / sizeof(kProviderNames[0]), kNameArbitrary);
    const DWORD dwFlags = DecodeFlags(in);

    int iKind = -1;
    if (pszName != nullptr) {
        const std::u16string strName(pszName);
        for (int i = 0; i < 5; ++i) {
            if (strName == kProviderNames[i]) {
                iKind = i;
            }
        }
    }
    const SECURITY_STATUS natural = fNullOut || iKind < 0 ? NTE_INVALID_PARAMETER : ERROR_SUCCESS;

    NCRYPT_PROV_HANDLE hProvider = kHandleSentinel;
    const SECURITY_STATUS status = m_pTable->OpenProvider(fNullOut ? nullptr : &hProvider, pszName, dwFlags);
    const Observation obs = Observe();
    ExpectStatus(kOpOpenProvider, status, {natural}, obs);
    if (obs.Any() || natural != ERROR_SUCCESS) {
        if (hProvider != kHandleSentinel) {
            Finding("OpenProvider failed but wrote the handle");
        }
        return;
    }
    if (hProvider == kHandleSentinel || hProvider == 0 || IsLiveHandle(hProvider)) {
        Finding("OpenProvider gave handle 0x%lx, which is not a new one", static_cast<unsigned long>(hProvider));
    }
    m_providers.push_back({hProvider, iKind, {}});
}

void Harness::RunOpenKey(InputReader &in)
{
    Arena arena;
    const NCRYPT_PROV_HANDLE hProvider = DecodeProvider(in);
    const bool fNullOut = in.Byte() % 6 == 0;
    const WCHAR *pszKeyName =
        DecodeString(in, arena, kKeyNames, sizeof(kKeyNames) / sizeof(kKeyNames[0]), kKeyNameArbitrary);
    const DWORD dwKeySpec = DecodeKeySpec(in);
    const DWORD dwFlags = DecodeFlags(in);

    ProviderModel *pProvider = FindProvider(hProvider);
    int iContainer = -1;
    SECURITY_STATUS natural = ERROR_SUCCESS;
    if (fNullOut) {
        natural = NTE_INVALID_PARAMETER;
    } else if (pProvider == nullptr) {
        natural = NTE_INVALID_HANDLE;
    } else if (pProvider->iKind == 0) {
        natural = NTE_NOT_SUPPORTED;
    } else if ((dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) || pszKeyName == nullptr) {
        natural = NTE_INVALID_PARAMETER;
    } else if ((dwFlags & ~(NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG)) != 0) {
        natural = NTE_BAD_FLAGS;
    } else {
        const bool fMachine = (dwFlags & NCRYPT_MACHINE_KEY_FLAG) != 0;
        const std::u16string strName(pszKeyName);
        for (int i = 0; i < kContainerCount; ++i) {
            if (kContainers[i].iCsp == pProvider->iKind - 1 && kContainers[i].fMachine == fMachine &&
                strName == kContainers[i].pszName) {
                iContainer = i;
            }
        }
        if (iContainer < 0) {
            natural = NTE_BAD_KEYSET;
        } else if (kContainers[iContainer].fNeedsPrompt && (dwFlags & NCRYPT_SILENT_FLAG) != 0) {
            natural = NTE_UI_REQUIRED;
        } else if ((dwKeySpec == AT_KEYEXCHANGE ? kContainers[iContainer].dwExchangeBits
                                                : kContainers[iContainer].dwSignatureBits) == 0) {
            natural = NTE_BAD_KEYSET;
        }
    }

    NCRYPT_KEY_HANDLE hKey = kHandleSentinel;
    const SECURITY_STATUS status =
        m_pTable->OpenKey(hProvider, fNullOut ? nullptr : &hKey, pszKeyName, dwKeySpec, dwFlags);
    const Observation obs = Observe();
    ExpectStatus(kOpOpenKey, status, {natural}, obs);
    if (obs.Any() || natural != ERROR_SUCCESS) {
        if (hKey != kHandleSentinel) {
            Finding("OpenKey failed but wrote the handle");
        }
        return;
    }
    if (hKey == kHandleSentinel || hKey == 0 || IsLiveHandle(hKey)) {
        Finding("OpenKey gave handle 0x%lx, which is not a new one", static_cast<unsigned long>(hKey));
    }
    const DWORD dwBits =
        dwKeySpec == AT_KEYEXCHANGE ? kContainers[iContainer].dwExchangeBits : kContainers[iContainer].dwSignatureBits;
    pProvider->keys.push_back({hKey, iContainer, dwKeySpec, BytesOfBits(dwBits), m_uNextSerial++});
}

void Harness::RunGetProviderProperty(InputReader &in)
{
    Arena arena;
    const NCRYPT_PROV_HANDLE hProvider = DecodeProvider(in);
    const WCHAR *pszProperty =
        DecodeString(in, arena, kPropertyNames, sizeof(kPropertyNames) / sizeof(kPropertyNames[0]), kPropArbitrary);
    const OutArg out = DecodeOut(in, arena, 4, nullptr);
    DWORD cbResult = 0;
    DWORD *pcbResult = DecodeResult(in, &cbResult);
    const DWORD dwFlags = DecodeFlags(in);

    const ProviderModel *pProvider = FindProvider(hProvider);
    std::optional<DWORD> dwValue;
    SECURITY_STATUS natural = ERROR_SUCCESS;
    bool fSizeWritten = false;
    if (pProvider == nullptr) {
        natural = NTE_INVALID_HANDLE;
    } else if (pProvider->iKind != 0) {
        natural = NTE_NOT_SUPPORTED;
    } else if (pszProperty == nullptr || pcbResult == nullptr) {
        natural = NTE_INVALID_PARAMETER;
    } else {
        const std::u16string strProperty(pszProperty);
        if (strProperty == u"Impl Type") {
            dwValue = 0;
        } else if (strProperty == u"Version") {
            dwValue = 0x00010000;
        } else if (strProperty == u"Max Name Length") {
            dwValue = 260;
        }
        if (!dwValue) {
            natural = NTE_NOT_SUPPORTED;
        } else {
            fSizeWritten = true;
            if (out.pb != nullptr && out.cb < 4) {
                natural = NTE_INVALID_PARAMETER;
            }
        }
    }

    const SECURITY_STATUS status =
        m_pTable->GetProviderProperty(hProvider, pszProperty, out.pb, out.cb, pcbResult, dwFlags);
    const Observation obs = Observe();
    ExpectStatus(kOpGetProviderProperty, status, {natural}, obs);
    if (obs.Any()) {
        if (!Untouched(out) || cbResult != kResultSentinel) {
            Finding("GetProviderProperty wrote its output although it ran out of memory");
        }
        return;
    }
    if (fSizeWritten ? cbResult != 4 : cbResult != kResultSentinel) {
        Finding("GetProviderProperty left the size 0x%08x", static_cast<unsigned>(cbResult));
    }
    if (natural == ERROR_SUCCESS && out.pb != nullptr) {
        if (std::memcmp(out.pb, &*dwValue, 4) != 0) {
            Finding("GetProviderProperty wrote a wrong value");
        }
        for (size_t i = 4; i < out.cbAllocated; ++i) {
            if (out.pb[i] != kCanary) {
                Finding("GetProviderProperty wrote beyond the 4 bytes of its value");
            }
        }
        m_lastOutput.assign(out.pb, out.pb + 4);
    } else if (!Untouched(out)) {
        Finding("GetProviderProperty wrote its buffer although it failed");
    }
}

void Harness::RunFreeProvider(InputReader &in)
{
    const NCRYPT_PROV_HANDLE hProvider = DecodeProvider(in);
    const SECURITY_STATUS natural = FindProvider(hProvider) != nullptr ? ERROR_SUCCESS : NTE_INVALID_HANDLE;
    const SECURITY_STATUS status = m_pTable->FreeProvider(hProvider);
    const Observation obs = Observe();
    ExpectStatus(kOpFreeProvider, status, {natural}, obs);
    if (obs.Any() || natural != ERROR_SUCCESS) {
        return;
    }
    for (auto it = m_providers.begin(); it != m_providers.end(); ++it) {
        if (it->h == hProvider) {
            for (const KeyModel &key : it->keys) {
                RememberFreed(m_freedKeys, key.h);
            }
            m_providers.erase(it);
            break;
        }
    }
    RememberFreed(m_freedProviders, hProvider);
}

void Harness::RunFreeKey(InputReader &in)
{
    const NCRYPT_PROV_HANDLE hProvider = DecodeProvider(in);
    const NCRYPT_KEY_HANDLE hKey = DecodeKey(in, hProvider);
    KeyModel *pKey = nullptr;
    const SECURITY_STATUS natural = ResolveKey(hProvider, hKey, &pKey).value_or(ERROR_SUCCESS);
    const SECURITY_STATUS status = m_pTable->FreeKey(hProvider, hKey);
    const Observation obs = Observe();
    ExpectStatus(kOpFreeKey, status, {natural}, obs);
    if (obs.Any() || natural != ERROR_SUCCESS) {
        return;
    }
    ProviderModel *pProvider = FindProvider(hProvider);
    for (auto it = pProvider->keys.begin(); it != pProvider->keys.end(); ++it) {
        if (it->h == hKey) {
            pProvider->keys.erase(it);
            break;
        }
    }
    RememberFreed(m_freedKeys, hKey);
}

void Harness::RunCrypt(InputReader &in, bool fEncrypt)
{
    const Op op = fEncrypt ? kOpEncrypt : kOpDecrypt;
    Arena arena;
    const NCRYPT_PROV_HANDLE hProvider = DecodeProvider(in);
    const NCRYPT_KEY_HANDLE hKey = DecodeKey(in, hProvider);
    KeyModel *pKey = nullptr;
    const std::optional<SECURITY_STATUS> handleStatus = ResolveKey(hProvider, hKey, &pKey);
    const DWORD cbKey = pKey != nullptr ? pKey->cbKey : 64;
    const DataArg input = DecodeData(in, arena, cbKey);
    void *pPaddingInfo = DecodePadding(in, arena);
    const OutArg out = DecodeOut(in, arena, cbKey, &input);
    DWORD cbResult = 0;
    DWORD *pcbResult = DecodeResult(in, &cbResult);
    const DWORD dwFlags = DecodeFlags(in);

    // The checks in the order the operation makes them; fReachesCsp: all
    // passed and the CSP is asked.
    SECURITY_STATUS natural = ERROR_SUCCESS;
    std::optional<DWORD> cbSizeQuery;
    bool fReachesCsp = false;
    const DWORD cbLimit = fEncrypt ? cbKey : cbKey - 11;
    if (handleStatus) {
        natural = *handleStatus;
    } else if (dwFlags != NCRYPT_PAD_PKCS1_FLAG) {
        natural = NTE_BAD_FLAGS;
    } else if (pPaddingInfo != nullptr) {
        natural = NTE_INVALID_PARAMETER;
    } else if (pKey->dwKeySpec == AT_SIGNATURE) {
        natural = NTE_PERM;
    } else if (input.pb == nullptr || (fEncrypt ? input.cb > cbKey - 11 : input.cb != cbKey) || pcbResult == nullptr) {
        natural = NTE_INVALID_PARAMETER;
    } else if (out.pb == nullptr) {
        cbSizeQuery = cbLimit;
    } else if (out.cb < cbLimit) {
        natural = NTE_BUFFER_TOO_SMALL;
    } else {
        fReachesCsp = true;
    }

    // A decryption of bytes that an encryption of this input made gives its
    // plaintext back; of any other bytes, most likely no plaintext at all.
    std::optional<std::vector<uint8_t>> knownPlaintext;
    if (fReachesCsp && !fEncrypt) {
        auto it = m_plaintexts.find({KeyIdentity(*pKey), std::vector<uint8_t>(input.pb, input.pb + input.cb)});
        if (it != m_plaintexts.end()) {
            knownPlaintext = it->second;
        }
    }
    const std::vector<uint8_t> plaintextIn =
        fReachesCsp && fEncrypt ? std::vector<uint8_t>(input.pb, input.pb + input.cb) : std::vector<uint8_t>();

    const SECURITY_STATUS status =
        fEncrypt
            ? m_pTable->Encrypt(hProvider, hKey, input.pb, input.cb, pPaddingInfo, out.pb, out.cb, pcbResult, dwFlags)
            : m_pTable->Decrypt(hProvider, hKey, input.pb, input.cb, pPaddingInfo, out.pb, out.cb, pcbResult, dwFlags);
    const Observation obs = Observe();
    if (fReachesCsp && !fEncrypt && !knownPlaintext) {
        ExpectStatus(op, status, {NTE_DECRYPTION_FAILURE, ERROR_SUCCESS}, obs);
    } else {
        ExpectStatus(op, status, {natural}, obs);
    }
    if (!out.fAliased && !Unchanged(input)) {
        Finding("%s changed its input buffer", OpName(op));
    }

    if (obs.Any() || status != ERROR_SUCCESS) {
        // The result is 0 once the CSP is about to be asked, else untouched.
        const bool fResultOk = cbResult == kResultSentinel || (fReachesCsp && cbResult == 0);
        if (!fResultOk || (!out.fAliased && !Untouched(out))) {
            Finding("%s failed with 0x%08x but left size 0x%08x or wrote its output", OpName(op),
                    static_cast<unsigned>(status), static_cast<unsigned>(cbResult));
        }
        return;
    }
    if (cbSizeQuery) {
        if (cbResult != *cbSizeQuery) {
            Finding("%s size query gave %u, expected %u", OpName(op), static_cast<unsigned>(cbResult),
                    static_cast<unsigned>(*cbSizeQuery));
        }
        return;
    }
    if (fEncrypt) {
        if (cbResult != cbKey) {
            Finding("Encrypt gave %u bytes with a %u-byte key", static_cast<unsigned>(cbResult),
                    static_cast<unsigned>(cbKey));
        }
        std::vector<uint8_t> cipher(out.pb, out.pb + cbResult);
        for (size_t i = cbResult; i < out.cbAllocated && !out.fAliased; ++i) {
            if (out.pb[i] != kCanary) {
                Finding("Encrypt wrote beyond its ciphertext");
            }
        }
        if (m_plaintexts.size() < 64) {
            m_plaintexts[{KeyIdentity(*pKey), cipher}] = plaintextIn;
        }
        m_lastCipher = cipher;
        m_lastOutput = cipher;
    } else {
        std::vector<uint8_t> plain(out.pb, out.pb + std::min<DWORD>(cbResult, out.cb));
        if (cbResult > cbKey - 11) {
            Finding("Decrypt gave %u bytes with a %u-byte key", static_cast<unsigned>(cbResult),
                    static_cast<unsigned>(cbKey));
        }
        if (knownPlaintext && plain != *knownPlaintext) {
            Finding("Decrypt did not give back the plaintext that was encrypted");
        }
        m_lastOutput = plain;
    }
}

void Harness::RunEnumAlgorithms(InputReader &in)
{
    const NCRYPT_PROV_HANDLE hProvider = DecodeProvider(in);
    const uint8_t iOperations = in.Byte() % 3;
    const DWORD dwAlgOperations = iOperations == 0   ? 0
                                  : iOperations == 1 ? NCRYPT_SIGNATURE_OPERATION | NCRYPT_HASH_OPERATION
                                                     : in.Dword();
    DWORD dwCount = kResultSentinel;
    DWORD *pdwCount = in.Byte() % 4 == 0 ? nullptr : &dwCount;
    NCryptAlgorithmName *pListSentinel = reinterpret_cast<NCryptAlgorithmName *>(kHandleSentinel);
    NCryptAlgorithmName *pList = pListSentinel;
    NCryptAlgorithmName **ppList = in.Byte() % 2 == 0 ? nullptr : &pList;
    const DWORD dwFlags = DecodeFlags(in);

    const ProviderModel *pProvider = FindProvider(hProvider);
    const SECURITY_STATUS natural = pProvider == nullptr    ? NTE_INVALID_HANDLE
                                    : pProvider->iKind != 0 ? NTE_NOT_SUPPORTED
                                    : pdwCount == nullptr   ? NTE_INVALID_PARAMETER
                                                            : ERROR_SUCCESS;
    const SECURITY_STATUS status = m_pTable->EnumAlgorithms(hProvider, dwAlgOperations, pdwCount, ppList, dwFlags);
    const Observation obs = Observe();
    ExpectStatus(kOpEnumAlgorithms, status, {natural}, obs);
    const DWORD dwExpectedCount = status == ERROR_SUCCESS && !obs.Any() ? 0 : kResultSentinel;
    if (dwCount != dwExpectedCount || pList != pListSentinel) {
        Finding("EnumAlgorithms left count 0x%08x and list %p", static_cast<unsigned>(dwCount),
                static_cast<void *>(pList));
    }
}

// The CryptoAPI algorithm of a hash value and whether it is signed with its
// algorithm identifier, as the padding information or the length decide; the
// size that the DigestInfo of that algorithm adds; nullopt for none.
struct HashChoice {
    ALG_ID aiHash;
    DWORD cbHash;
    DWORD cbDigestInfoPrefix; // 0 for a bare hash
};

std::optional<HashChoice> ChooseHash(const void *pPaddingInfo, DWORD cbHashValue)
{
    const BCRYPT_PKCS1_PADDING_INFO *pInfo = static_cast<const BCRYPT_PKCS1_PADDING_INFO *>(pPaddingInfo);
    if (pInfo == nullptr || pInfo->pszAlgId == nullptr) {
        static const HashChoice kByLength[] = {{CALG_MD5, 16, 0},         {CALG_SHA1, 20, 0},    {CALG_SHA_256, 32, 0},
                                               {CALG_SSL3_SHAMD5, 36, 0}, {CALG_SHA_384, 48, 0}, {CALG_SHA_512, 64, 0}};
        for (const HashChoice &choice : kByLength) {
            if (choice.cbHash == cbHashValue) {
                return choice;
            }
        }
        return std::nullopt;
    }
    static const std::pair<const char16_t *, HashChoice> kByName[] = {
        {u"SHA1", {CALG_SHA1, 20, 15}},      {u"SHA256", {CALG_SHA_256, 32, 19}}, {u"SHA384", {CALG_SHA_384, 48, 19}},
        {u"SHA512", {CALG_SHA_512, 64, 19}}, {u"MD2", {CALG_MD2, 16, 18}},        {u"MD4", {CALG_MD4, 16, 18}},
        {u"MD5", {CALG_MD5, 16, 18}}};
    const std::u16string strName(pInfo->pszAlgId);
    for (const auto &entry : kByName) {
        if (strName == entry.first) {
            return entry.second;
        }
    }
    return std::nullopt;
}

void Harness::RunSignHash(InputReader &in)
{
    Arena arena;
    const NCRYPT_PROV_HANDLE hProvider = DecodeProvider(in);
    const NCRYPT_KEY_HANDLE hKey = DecodeKey(in, hProvider);
    KeyModel *pKey = nullptr;
    const std::optional<SECURITY_STATUS> handleStatus = ResolveKey(hProvider, hKey, &pKey);
    const DWORD cbKey = pKey != nullptr ? pKey->cbKey : 64;
    void *pPaddingInfo = DecodePadding(in, arena);
    const DataArg hash = DecodeData(in, arena, cbKey);
    const OutArg out = DecodeOut(in, arena, cbKey, nullptr);
    DWORD cbResult = 0;
    DWORD *pcbResult = DecodeResult(in, &cbResult);
    const DWORD dwFlags = DecodeFlags(in);

    SECURITY_STATUS natural = ERROR_SUCCESS;
    bool fReachesHash = false;
    bool fSizeQuery = false;
    std::optional<HashChoice> choice;
    if (handleStatus) {
        natural = *handleStatus;
    } else if (dwFlags != NCRYPT_PAD_PKCS1_FLAG) {
        natural = NTE_BAD_FLAGS;
    } else if (hash.pb == nullptr || hash.cb == 0 || pcbResult == nullptr) {
        natural = NTE_INVALID_PARAMETER;
    } else if (out.pb == nullptr) {
        fSizeQuery = true;
    } else if (out.cb < cbKey) {
        natural = NTE_BUFFER_TOO_SMALL;
    } else {
        fReachesHash = true;
        choice = ChooseHash(pPaddingInfo, hash.cb);
        if (!choice || choice->cbHash != hash.cb) {
            natural = NTE_INVALID_PARAMETER;
        } else if (choice->cbDigestInfoPrefix + choice->cbHash + 11 > cbKey) {
            natural = NTE_BAD_LEN; // the CSP's answer: too long for this key
        }
    }

    const SECURITY_STATUS status =
        m_pTable->SignHash(hProvider, hKey, pPaddingInfo, hash.pb, hash.cb, out.pb, out.cb, pcbResult, dwFlags);
    const Observation obs = Observe();
    ExpectStatus(kOpSignHash, status, {natural}, obs);
    if (!Unchanged(hash)) {
        Finding("SignHash changed the hash value");
    }
    if (obs.Any() || natural != ERROR_SUCCESS) {
        const bool fResultOk = cbResult == kResultSentinel || (fReachesHash && cbResult == 0);
        if (!fResultOk || !Untouched(out)) {
            Finding("SignHash failed with 0x%08x but left size 0x%08x or wrote its buffer",
                    static_cast<unsigned>(status), static_cast<unsigned>(cbResult));
        }
        return;
    }
    if (cbResult != cbKey) {
        Finding("SignHash gave %u bytes with a %u-byte key", static_cast<unsigned>(cbResult),
                static_cast<unsigned>(cbKey));
    }
    if (fSizeQuery) {
        return;
    }
    for (size_t i = cbKey; i < out.cbAllocated; ++i) {
        if (out.pb[i] != kCanary) {
            Finding("SignHash wrote beyond the signature");
        }
    }
    // PKCS #1 v1.5 signatures are deterministic: the same input signs the same.
    std::vector<uint8_t> signature(out.pb, out.pb + cbKey);
    const auto recordKey =
        std::make_pair(KeyIdentity(*pKey), std::make_pair(choice->cbDigestInfoPrefix != 0 ? choice->aiHash : 0,
                                                          std::vector<uint8_t>(hash.pb, hash.pb + hash.cb)));
    auto it = m_signatures.find(recordKey);
    if (it != m_signatures.end() && it->second != signature) {
        Finding("SignHash gave two different signatures of one hash");
    }
    if (m_signatures.size() < 64) {
        m_signatures[recordKey] = signature;
    }
    m_lastSignature = signature;
    m_lastOutput = signature;
}

void Harness::RunVerifySignature(InputReader &in)
{
    Arena arena;
    const NCRYPT_PROV_HANDLE hProvider = DecodeProvider(in);
    const NCRYPT_KEY_HANDLE hKey = DecodeKey(in, hProvider);
    KeyModel *pKey = nullptr;
    const std::optional<SECURITY_STATUS> handleStatus = ResolveKey(hProvider, hKey, &pKey);
    const DWORD cbKey = pKey != nullptr ? pKey->cbKey : 64;
    void *pPaddingInfo = DecodePadding(in, arena);
    const DataArg hash = DecodeData(in, arena, cbKey);
    const DataArg signature = DecodeData(in, arena, cbKey);
    const DWORD dwFlags = DecodeFlags(in);

    SECURITY_STATUS natural = ERROR_SUCCESS;
    if (handleStatus) {
        natural = *handleStatus;
    } else if (dwFlags != NCRYPT_PAD_PKCS1_FLAG) {
        natural = NTE_BAD_FLAGS;
    } else if (hash.pb == nullptr || hash.cb == 0 || signature.pb == nullptr || signature.cb != cbKey) {
        natural = NTE_INVALID_PARAMETER;
    } else {
        const std::optional<HashChoice> choice = ChooseHash(pPaddingInfo, hash.cb);
        if (!choice || choice->cbHash != hash.cb) {
            natural = NTE_INVALID_PARAMETER;
        } else {
            // Valid exactly when it is the signature that signing this input made.
            auto it = m_signatures.find(
                std::make_pair(KeyIdentity(*pKey), std::make_pair(choice->cbDigestInfoPrefix != 0 ? choice->aiHash : 0,
                                                                  std::vector<uint8_t>(hash.pb, hash.pb + hash.cb))));
            const bool fValid = it != m_signatures.end() &&
                                std::equal(it->second.begin(), it->second.end(), signature.pb, signature.pb + cbKey);
            natural = fValid ? ERROR_SUCCESS : NTE_BAD_SIGNATURE;
        }
    }

    const SECURITY_STATUS status =
        m_pTable->VerifySignature(hProvider, hKey, pPaddingInfo, hash.pb, hash.cb, signature.pb, signature.cb, dwFlags);
    const Observation obs = Observe();
    ExpectStatus(kOpVerifySignature, status, {natural}, obs);
    if (!Unchanged(hash) || !Unchanged(signature)) {
        Finding("VerifySignature changed the hash value or the signature");
    }
}

void Harness::RunStub(InputReader &in, Op op)
{
    // The stubs read none of their arguments, so they get values that are
    // not valid pointers at all: reading one would fault.
    const NCRYPT_PROV_HANDLE hProvider = DecodeProvider(in);
    const NCRYPT_KEY_HANDLE hKey = DecodeKey(in, hProvider);
    const ULONG_PTR uPointer = static_cast<ULONG_PTR>(in.Qword()) | 0xF000000000000000ull;
    const DWORD dwValue = in.Dword();
    void *pv = reinterpret_cast<void *>(uPointer);
    PBYTE pb = static_cast<PBYTE>(pv);
    LPCWSTR psz = static_cast<LPCWSTR>(pv);
    DWORD *pdw = static_cast<DWORD *>(pv);
    NCryptBufferDesc *pDesc = static_cast<NCryptBufferDesc *>(pv);

    SECURITY_STATUS status = 0;
    switch (op) {
    case kOpCreatePersistedKey:
        status =
            m_pTable->CreatePersistedKey(hProvider, static_cast<NCRYPT_KEY_HANDLE *>(pv), psz, psz, dwValue, dwValue);
        break;
    case kOpGetKeyProperty:
        status = m_pTable->GetKeyProperty(hProvider, hKey, psz, pb, dwValue, pdw, dwValue);
        break;
    case kOpSetProviderProperty:
        status = m_pTable->SetProviderProperty(hProvider, psz, pb, dwValue, dwValue);
        break;
    case kOpSetKeyProperty:
        status = m_pTable->SetKeyProperty(hProvider, hKey, psz, pb, dwValue, dwValue);
        break;
    case kOpFinalizeKey:
        status = m_pTable->FinalizeKey(hProvider, hKey, dwValue);
        break;
    case kOpDeleteKey:
        status = m_pTable->DeleteKey(hProvider, hKey, dwValue);
        break;
    case kOpFreeBuffer:
        status = m_pTable->FreeBuffer(dwValue % 2 == 0 ? nullptr : pv);
        break;
    case kOpIsAlgSupported:
        status = m_pTable->IsAlgSupported(hProvider, psz, dwValue);
        break;
    case kOpEnumKeys:
        status =
            m_pTable->EnumKeys(hProvider, psz, static_cast<NCryptKeyName **>(pv), static_cast<PVOID *>(pv), dwValue);
        break;
    case kOpImportKey:
        status = m_pTable->ImportKey(hProvider, hKey, psz, pDesc, static_cast<NCRYPT_KEY_HANDLE *>(pv), pb, dwValue,
                                     dwValue);
        break;
    case kOpExportKey:
        status = m_pTable->ExportKey(hProvider, hKey, hKey, psz, pDesc, pb, dwValue, pdw, dwValue);
        break;
    case kOpPromptUser:
        status = m_pTable->PromptUser(hProvider, hKey, psz, dwValue);
        break;
    case kOpNotifyChangeKey:
        status = m_pTable->NotifyChangeKey(hProvider, static_cast<HANDLE *>(pv), dwValue);
        break;
    case kOpSecretAgreement:
        status = m_pTable->SecretAgreement(hProvider, hKey, hKey, static_cast<NCRYPT_SECRET_HANDLE *>(pv), dwValue);
        break;
    case kOpDeriveKey:
        status = m_pTable->DeriveKey(hProvider, hKey, psz, pDesc, pb, dwValue, pdw, dwValue);
        break;
    default: // kOpFreeSecret
        status = m_pTable->FreeSecret(hProvider, hKey);
        break;
    }
    const Observation obs = Observe();
    // A stub makes no call, so nothing injected can fall due in it.
    ExpectStatus(op, status, {NTE_NOT_SUPPORTED}, Observation());
    if (obs.Any() || !obs.released.empty()) {
        Finding("%s reached the platform", OpName(op));
    }
}

void Harness::RunGetInterface(InputReader &in)
{
    Arena arena;
    const WCHAR *pszName =
        DecodeString(in, arena, kProviderNames, sizeof(kProviderNames) / sizeof(kProviderNames[0]), kNameArbitrary);
    const bool fNullTable = in.Byte() % 4 == 0;
    const DWORD dwFlags = in.Byte() % 4 == 0 ? in.Dword() : 0;

    bool fKnownName = false;
    if (pszName != nullptr) {
        const std::u16string strName(pszName);
        for (int i = 0; i < 5; ++i) {
            fKnownName = fKnownName || strName == kProviderNames[i];
        }
    }
    NTSTATUS natural = STATUS_SUCCESS;
    if (!fKnownName) {
        natural = STATUS_INVALID_PARAMETER;
    } else if (m_fOldWindows) {
        natural = STATUS_NOT_SUPPORTED;
    } else if (fNullTable || dwFlags != 0) {
        natural = STATUS_INVALID_PARAMETER;
    }

    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(kHandleSentinel);
    const NTSTATUS status = m_pfnGetInterface(pszName, fNullTable ? nullptr : &pTable, dwFlags);
    const Observation obs = Observe();
    m_trail.emplace_back(kOpGetInterface, status);
    if (!obs.failed.empty() || !obs.released.empty()) {
        Finding("GetKeyStorageInterface reached CryptoAPI");
    }
    const NTSTATUS expected = obs.fMallocFailed ? STATUS_UNSUCCESSFUL : natural;
    if (status != expected) {
        Finding("GetKeyStorageInterface returned 0x%08x, expected 0x%08x", static_cast<unsigned>(status),
                static_cast<unsigned>(expected));
    }
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pExpected =
        expected == STATUS_SUCCESS ? m_pTable : reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(kHandleSentinel);
    if (!fNullTable && pTable != pExpected) {
        Finding("GetKeyStorageInterface left the table pointer %p", static_cast<void *>(pTable));
    }
}

void Harness::RunFailCryptoCall(InputReader &in)
{
    const char *pszFunction = kCryptoFunctions[in.Byte() % kCryptoFunctionCount];
    const DWORD nthCall = 1 + in.Byte() % 4;
    const DWORD dwError = kInjectedErrors[in.Byte() % kInjectedErrorCount];
    m_pendingCalls.push_back({pszFunction, QvnPlatformCountCalls(pszFunction) + nthCall, dwError});
    QvnPlatformFailCall(pszFunction, nthCall, dwError);
}

void Harness::RunFailModuleMalloc(InputReader &in)
{
    const DWORD nthCall = 1 + in.Byte() % 16;
    m_dwMallocFireAt = QvnPlatformModuleMallocCount() + nthCall;
    QvnPlatformFailModuleMalloc(nthCall);
}

void Harness::RunSetWindowsVersion(InputReader &in)
{
    switch (in.Byte() % 3) {
    case 0:
        QvnPlatformSetWindowsVersion(5, 2);
        m_fOldWindows = true;
        break;
    case 1:
        QvnPlatformSetWindowsVersion(6, 0);
        m_fOldWindows = false;
        break;
    default:
        QvnPlatformSetWindowsVersion(10, 0);
        m_fOldWindows = false;
        break;
    }
}

// ---- One input ----------------------------------------------------------------------------

void Harness::AuditCryptoCalls(Op op)
{
    // Every failed CryptoAPI call of the module either failed on its own for
    // a reason that the fuzz store gives, or was made to fail during it.
    std::vector<Injection> injected = m_lastObservation.failed;
    injected.insert(injected.end(), m_lastObservation.released.begin(), m_lastObservation.released.end());
    std::vector<QVN_CALL_RECORD> refused;
    const DWORD cCalls = QvnPlatformGetCallCount();
    for (DWORD i = m_dwLogMark; i < cCalls; ++i) {
        QVN_CALL_RECORD record;
        if (!QvnPlatformGetCall(i, &record) || record.fSucceeded) {
            continue;
        }
        const std::string strFunction(record.szFunction);
        auto it = std::find_if(injected.begin(), injected.end(), [&](const Injection &injection) {
            return injection.strFunction == strFunction && injection.dwError == record.dwError;
        });
        if (it != injected.end()) {
            injected.erase(it);
            if (IsReleaseFunction(strFunction)) {
                refused.push_back(record);
            }
        } else if (!IsNaturalCryptoFailure(strFunction, record.dwError)) {
            Finding("in %s the module's %s failed with 0x%08x, which nothing injected", OpName(op), strFunction.c_str(),
                    static_cast<unsigned>(record.dwError));
        }
    }

    // A release that was made to fail left its handle with the platform
    // (unless releasing the context it belonged to took it along): release
    // it here, so that the live handles match the open ones again. An
    // injection still pending for the same function may hit this call
    // instead; it then fell due outside the module and is dropped.
    for (const QVN_CALL_RECORD &record : refused) {
        const std::string strFunction(record.szFunction);
        for (int iTry = 0; iTry < 8; ++iTry) {
            BOOL fReleased = FALSE;
            if (strFunction == "CryptDestroyHash") {
                fReleased = CryptDestroyHash(record.hHandle);
            } else if (strFunction == "CryptDestroyKey") {
                fReleased = CryptDestroyKey(record.hHandle);
            } else {
                fReleased = CryptReleaseContext(record.hHandle, 0);
            }
            const DWORD dwError = GetLastError();
            const DWORD dwCount = QvnPlatformCountCalls(strFunction.c_str());
            const auto itHit = std::find_if(m_pendingCalls.begin(), m_pendingCalls.end(), [&](const Injection &i) {
                return i.strFunction == strFunction && dwCount >= i.dwFireAt;
            });
            if (itHit == m_pendingCalls.end()) {
                if (!fReleased && dwError != ERROR_INVALID_PARAMETER) {
                    Finding("releasing a handle that %s refused failed with 0x%08x", strFunction.c_str(),
                            static_cast<unsigned>(dwError));
                }
                break;
            }
            m_pendingCalls.erase(itHit);
        }
    }
    m_dwLogMark = QvnPlatformGetCallCount();
}

void Harness::Teardown()
{
    // Nothing injected may fall due in the detach.
    QvnPlatformFailModuleMalloc(0);
    QvnPlatformClearFailures();
    m_pendingCalls.clear();
    m_dwMallocFireAt.reset();
    m_lastObservation = Observation();

    m_pfnDllMain(reinterpret_cast<HINSTANCE>(m_hModule), DLL_PROCESS_DETACH, nullptr);
    AuditCryptoCalls(kOpCount);
    if (QvnPlatformLiveContexts() != m_lBaseContexts || QvnPlatformLiveKeys() != m_lBaseKeys ||
        QvnPlatformLiveHashes() != m_lBaseHashes) {
        Finding("process detach left %ld contexts, %ld keys, %ld hashes (expected %ld, %ld, %ld)",
                static_cast<long>(QvnPlatformLiveContexts()), static_cast<long>(QvnPlatformLiveKeys()),
                static_cast<long>(QvnPlatformLiveHashes()), static_cast<long>(m_lBaseContexts),
                static_cast<long>(m_lBaseKeys), static_cast<long>(m_lBaseHashes));
    }
    if (QvnPlatformModuleLiveBlocks() != m_lBaseBlocks) {
        Finding("process detach left %ld module allocations (expected %ld)",
                static_cast<long>(QvnPlatformModuleLiveBlocks()), static_cast<long>(m_lBaseBlocks));
    }

    // The detach really dropped every handle: one that was open is unknown now.
    if (!m_providers.empty()) {
        const SECURITY_STATUS status = m_pTable->FreeProvider(m_providers.front().h);
        if (status != NTE_INVALID_HANDLE) {
            Finding("a provider handle still worked after process detach (0x%08x)", static_cast<unsigned>(status));
        }
        m_pfnDllMain(reinterpret_cast<HINSTANCE>(m_hModule), DLL_PROCESS_DETACH, nullptr);
        if (QvnPlatformModuleLiveBlocks() != m_lBaseBlocks) {
            Finding("a second process detach left module allocations");
        }
    }
}

void Harness::RunInput(const uint8_t *pbData, size_t cbData)
{
    m_providers.clear();
    m_freedProviders.clear();
    m_freedKeys.clear();
    m_pendingCalls.clear();
    m_dwMallocFireAt.reset();
    m_lastObservation = Observation();
    m_fOldWindows = false;
    m_lastOutput.clear();
    m_lastSignature.clear();
    m_lastCipher.clear();
    m_signatures.clear();
    m_plaintexts.clear();
    m_trail.clear();
    m_uNextSerial = 0;
    QvnPlatformClearFailures();
    QvnPlatformFailModuleMalloc(0);
    QvnPlatformSetWindowsVersion(10, 0);
    QvnPlatformClearCallLog();
    m_dwLogMark = 0;

    InputReader in(pbData, cbData);
    for (m_iCall = 0; !in.AtEnd() && m_iCall < 200; ++m_iCall) {
        const Op op = static_cast<Op>(in.Byte() % kOpCount);
        const DWORD dwLastError = 0x1000u + static_cast<DWORD>(m_iCall);
        SetLastError(dwLastError);
        switch (op) {
        case kOpOpenProvider:
            RunOpenProvider(in);
            break;
        case kOpOpenKey:
            RunOpenKey(in);
            break;
        case kOpGetProviderProperty:
            RunGetProviderProperty(in);
            break;
        case kOpFreeProvider:
            RunFreeProvider(in);
            break;
        case kOpFreeKey:
            RunFreeKey(in);
            break;
        case kOpEncrypt:
            RunCrypt(in, true);
            break;
        case kOpDecrypt:
            RunCrypt(in, false);
            break;
        case kOpEnumAlgorithms:
            RunEnumAlgorithms(in);
            break;
        case kOpSignHash:
            RunSignHash(in);
            break;
        case kOpVerifySignature:
            RunVerifySignature(in);
            break;
        case kOpGetInterface:
            RunGetInterface(in);
            break;
        case kOpFailCryptoCall:
            RunFailCryptoCall(in);
            break;
        case kOpFailModuleMalloc:
            RunFailModuleMalloc(in);
            break;
        case kOpSetWindowsVersion:
            RunSetWindowsVersion(in);
            break;
        default:
            RunStub(in, op);
            break;
        }
        // Every table entry leaves the caller's last-error value alone
        // (GetKeyStorageInterface is no table entry).
        if (op < kOpGetInterface && GetLastError() != dwLastError) {
            Finding("%s changed the last-error value to 0x%08x", OpName(op), static_cast<unsigned>(GetLastError()));
        }
        AuditCryptoCalls(op);
        CheckLiveHandles(op);
        m_lastObservation = Observation();
    }
    Teardown();
    QvnPlatformSetWindowsVersion(10, 0);
}

Harness *g_pHarness = nullptr;

} // namespace
} // namespace qvnfuzz

extern "C" int LLVMFuzzerInitialize(int * /*pargc*/, char *** /*pargv*/)
{
    if (const char *pszCorpus = std::getenv("QVN_FUZZ_WRITE_CORPUS")) {
        std::exit(qvnfuzz::WriteSeedCorpus(pszCorpus) ? 0 : 1);
    }
    qvnfuzz::g_pHarness = new qvnfuzz::Harness;
    qvnfuzz::g_pHarness->Initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pbData, size_t cbData)
{
    qvnfuzz::g_pHarness->RunInput(pbData, cbData);
    return 0;
}
