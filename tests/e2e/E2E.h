// The end-to-end suite's ground: the module loaded as the CNG router loads it, each
// call of its table recorded (into QVN_E2E_RECORD: "<Suite.Test> <Slot>.<label> <status>
// [<size>]", main thread only, no handles or random data, so Linux, 64-bit and
// 32-bit Wine compare line by line), the judge, the key containers, the fixtures.
#ifndef QVN_E2E_H
#define QVN_E2E_H

#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>

#include <ncrypt_provider.h>

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#ifdef _WIN32
#include "QvnWineCsp.h"
#else
#include <qvnplatform.h>
#endif

namespace e2e
{

using Bytes = std::vector<BYTE>;
using WString = std::basic_string<WCHAR>;
using Dwords = std::initializer_list<DWORD>;

#define E2E_KSP_NAME TEXT("Quorvane TPM Key Storage Provider")
#define E2E_ALDER_NAME TEXT("Quorvane Alder Cryptographic Provider")
#define E2E_BIRCH_NAME TEXT("Quorvane Birch Cryptographic Provider")
#define E2E_CEDAR_NAME TEXT("Quorvane Cedar Cryptographic Provider")
#define E2E_DOGWOOD_NAME TEXT("Quorvane Dogwood Cryptographic Provider")

struct Csp {
    const char *pszTag;
    LPCWSTR pszName;
    DWORD dwProvType;
};
extern const Csp kCsps[4];
extern const LPCWSTR kAllNames[5]; // the key storage provider first, then the CSPs

// Main, in every CSP: an exchange pair of 2048 bits, a signature pair of 1024.
// In Alder only: SignatureOnly, Empty, Machine (an exchange pair of 1024 bits,
// machine key set), Prompt (opening it silently needs a prompt). Missing: none.
#define E2E_MAIN TEXT("QvnE2E-Main")
#define E2E_SIGNATURE_ONLY TEXT("QvnE2E-SignatureOnly")
#define E2E_EMPTY TEXT("QvnE2E-Empty")
#define E2E_MACHINE TEXT("QvnE2E-Machine")
#define E2E_MISSING TEXT("QvnE2E-Missing")
#ifdef _WIN32 // the Wine test CSP asks for a prompt by the name's prefix
#define E2E_PROMPT QVN_WINE_CSP_PROMPT_PREFIX_W L"E2E"
#else
#define E2E_PROMPT TEXT("QvnPrompt-E2E")
#endif

constexpr DWORD kExchangeBytes = 256;
constexpr DWORD kSignatureBytes = 128;
constexpr DWORD kMaxPlaintext = kExchangeBytes - 11;
constexpr DWORD kPkcs1 = NCRYPT_PAD_PKCS1_FLAG;

// The judge (OpenSSL on Linux, BCrypt on Windows) holds a key pair from a
// PRIVATEKEYBLOB; byte strings most significant byte first, a null algorithm for
// a bare hash. Signatures are deterministic: the module's must be the judge's.
class JudgeKey
{
public:
    virtual ~JudgeKey() = default;
    virtual Bytes Sign(LPCWSTR pszAlgId, const Bytes &hash) const = 0;
    virtual Bytes Encrypt(const Bytes &plaintext) const = 0;
    virtual std::optional<Bytes> Decrypt(const Bytes &ciphertext) const = 0; // nullopt: not a valid ciphertext
};
std::unique_ptr<JudgeKey> JudgeKeyFromBlob(const Bytes &blob);
// Whether the judge can tell signatures of this algorithm here.
bool JudgeCanCheck(LPCWSTR pszAlgId);

void Record(const std::string &strLabel, LONG lStatus, const DWORD *pdwSize = nullptr);
// The size or count that a slot reports is marked at the call site, Size{&cb}: on
// 32-bit targets a handle's address is a DWORD * too, so its type cannot tell.
struct Size {
    DWORD *pdw;
    operator DWORD *() const { return pdw; }
    static const DWORD *Of(Size size) { return size.pdw; }
    template <class T> static const DWORD *Of(T) { return nullptr; }
};
// Calls one slot, records it and checks what every entry promises: the
// last-error value is left as it was, and after a failure the lock is free
// for another thread (a held lock hangs; the test driver's time-out ends it).
template <class Fn, class... A>
SECURITY_STATUS Call(const char *pszSlot, const char *pszLabel, const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable, Fn pfn,
                     A... a)
{
    // Where handles are wider, an unmarked DWORD * is a call site that forgot Size{}.
    static_assert(sizeof(ULONG_PTR) == sizeof(DWORD) || !(std::is_same<A, DWORD *>::value || ...),
                  "mark the size argument with Size{}");
    SetLastError(0x4E2E4E2E);
    const SECURITY_STATUS status = pfn(a...);
    EXPECT_EQ(0x4E2E4E2Eu, GetLastError()) << pszSlot << "." << pszLabel << " changed the last-error value";
    if (status != 0) {
        SECURITY_STATUS next = 0;
        std::thread([&] { next = pTable->FreeProvider(0); }).join();
        EXPECT_EQ(NTE_INVALID_HANDLE, next) << "a call after " << pszSlot << "." << pszLabel;
    }
    const DWORD *pdwSize = nullptr;
    ((pdwSize = pdwSize != nullptr ? pdwSize : Size::Of(a)), ...);
    Record(std::string(pszSlot) + "." + pszLabel, status, pdwSize);
    return status;
}
// Calls a slot of the table in scope (m_pTable), recorded as "<Slot>.<label>".
#define KSP(Slot, label, ...) ::e2e::Call(#Slot, label, m_pTable, m_pTable->Slot, __VA_ARGS__)

// The module, loaded by path (beside the program on Windows; on Linux from
// QVN_E2E_MODULE or the build's path). Load throws std::runtime_error.
class KspModule
{
public:
    ~KspModule() { Unload(); }
    void Load();
    void Unload();
    GetKeyStorageInterfaceFn pfnGetInterface = nullptr;

private:
    HMODULE m_hModule = nullptr;
};

// The containers' key pairs (made by the CSPs) as the judge holds them; made on first use.
struct KeyPair {
    std::unique_ptr<JudgeKey> pJudge;
    DWORD cb = 0;
};
struct KeyStore {
    KeyPair exchange[4], signature[4], machine;
    const KeyPair &Main(size_t i, DWORD dwKeySpec) const
    {
        return dwKeySpec == AT_SIGNATURE ? signature[i] : exchange[i];
    }
};
const KeyStore &Keys();

Bytes Pattern(size_t cb, BYTE bSeed);
std::string Hex(const Bytes &bytes);

#ifndef _WIN32
// Live CryptoAPI contexts, keys, hashes and module blocks (the stand-in's counts).
inline std::array<LONG, 4> Live()
{
    return {QvnPlatformLiveContexts(), QvnPlatformLiveKeys(), QvnPlatformLiveHashes(), QvnPlatformModuleLiveBlocks()};
}
// Clears injected failures, the call log and the emulated version (not the prompt marks).
void ResetControls();
#endif

// What a data slot left: status, size (0xDEAD before), output (0xCC before).
struct Out {
    SECURITY_STATUS status;
    DWORD cb;
    Bytes bytes;
};

// A freshly loaded module per case; on Linux nothing of it may outlive TearDown.
class KspTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // GetKeyStorageInterface hands out the one table on success and leaves
    // the out-parameter otherwise.
    void ExpectTable(const char *l, LPCWSTR pszName, DWORD dwFlags, NTSTATUS expected, bool fNullOut = false)
    {
        auto *const pSentinel = reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(static_cast<ULONG_PTR>(0x5EB7));
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = pSentinel;
        const NTSTATUS status = m_module.pfnGetInterface(pszName, fNullOut ? nullptr : &pTable, dwFlags);
        Record(std::string("GetKeyStorageInterface.") + l, status);
        EXPECT_EQ(expected, status) << l;
        EXPECT_EQ(expected == 0 ? m_pTable : pSentinel, pTable) << l;
    }
    NCRYPT_PROV_HANDLE Open(LPCWSTR pszName)
    {
        NCRYPT_PROV_HANDLE hProvider = 0;
        EXPECT_EQ(0, KSP(OpenProvider, "fixture", &hProvider, pszName, 0));
        return hProvider;
    }
    NCRYPT_KEY_HANDLE OpenKey(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszName, DWORD dwKeySpec, DWORD dwFlags = 0)
    {
        NCRYPT_KEY_HANDLE hKey = 0;
        EXPECT_EQ(0, KSP(OpenKey, "fixture", hProvider, &hKey, pszName, dwKeySpec, dwFlags));
        return hKey;
    }
    Out Sign(const char *l, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, VOID *pPadding, Bytes hash,
             DWORD cbOutput, DWORD dwFlags = kPkcs1)
    {
        Out out{0, 0xDEAD, Bytes(cbOutput, 0xCC)};
        out.status = KSP(SignHash, l, hProvider, hKey, pPadding, hash.data(), static_cast<DWORD>(hash.size()),
                         out.bytes.data(), cbOutput, Size{&out.cb}, dwFlags);
        return out;
    }
    // Also checks that the caller's signature is left unchanged.
    SECURITY_STATUS Verify(const char *l, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, VOID *pPadding,
                           Bytes hash, const Bytes &signature, DWORD dwFlags = kPkcs1);
    // Encrypt or Decrypt; also checks that the input is left unchanged.
    Out Crypt(bool fEncrypt, const char *l, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, const Bytes &input,
              DWORD cbOutput, VOID *pPadding = nullptr, DWORD dwFlags = kPkcs1);

    KspModule m_module;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *m_pTable = nullptr;
#ifndef _WIN32
    std::array<LONG, 4> m_live{};
#endif
};

// Alder's main container opened once, both key pairs.
class AlderTest : public KspTest
{
protected:
    void SetUp() override
    {
        KspTest::SetUp();
        Keys();
        m_hProvider = Open(E2E_ALDER_NAME);
        m_hExchange = OpenKey(m_hProvider, E2E_MAIN, AT_KEYEXCHANGE);
        m_hSignature = OpenKey(m_hProvider, E2E_MAIN, AT_SIGNATURE);
    }
    const JudgeKey &Judge() const { return *Keys().exchange[0].pJudge; }

    NCRYPT_PROV_HANDLE m_hProvider = 0;
    NCRYPT_KEY_HANDLE m_hExchange = 0, m_hSignature = 0;
};

} // namespace e2e

#endif
