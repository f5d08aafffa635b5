// libFuzzer harness of the key storage provider. Each input decodes to a
// sequence of calls of GetKeyStorageInterface and of the 26 table slots, with
// handles drawn from those open, freed or made up, names from a small
// dictionary, flags, buffer sizes and padding information chosen by the input,
// and with failures of the module's malloc and of single CryptoAPI calls
// switched on between calls.
//
// It predicts no status. It checks what must hold whatever the input:
// - every status is one that the module can return; the stubs answer
//   NTE_NOT_SUPPORTED; no entry changes the caller's last-error value;
// - a failed call leaves out-parameters and caller buffers as they were
//   (a result length may have been set to 0), and never changes input bytes;
// - only the five provider names open, only open handles work, a key only
//   with the provider it was opened through, and a success never writes past
//   the length it reports;
// - the live CryptoAPI contexts, keys and hashes are exactly those that the
//   open handles hold; a call that opens or frees nothing allocates nothing
//   that outlives it; after the input's handles are freed, the module's
//   blocks are back to the baseline; process detach with handles open
//   leaves nothing behind;
// - with no failure injected: what was signed verifies and a changed
//   signature does not; what was encrypted decrypts to the same bytes.
// The module stays loaded and the key containers are made once, so that the
// inputs run fast. A breach aborts with a report (a crash input for
// libFuzzer). QVN_FUZZ_TRACE=1 prints every call and its status.
#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>
#include <ntstatus.h>
#include <wincrypt.h>

#include <ncrypt_provider.h>
#include <qvnplatform.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace
{

// ---- The dictionary ---------------------------------------------------------
const char16_t *const kProviderNames[] = {u"Quorvane TPM Key Storage Provider",
                                          u"Quorvane Alder Cryptographic Provider",
                                          u"Quorvane Birch Cryptographic Provider",
                                          u"Quorvane Cedar Cryptographic Provider",
                                          u"Quorvane Dogwood Cryptographic Provider",
                                          u"quorvane tpm key storage provider",
                                          u"Quorvane TPM Key Storage Provider ",
                                          u"",
                                          nullptr};
const DWORD kCspTypes[] = {PROV_RSA_FULL, PROV_RSA_SCHANNEL, PROV_RSA_AES, PROV_RSA_FULL};
const char16_t *const kKeyNames[] = {u"fz-both",    u"fz-sig",    u"fz-prompt", u"fz-empty",
                                     u"fz-machine", u"fz-absent", u"",          nullptr};
const char16_t *const kProperties[] = {u"Impl Type", u"Version", u"Max Name Length", u"impl type", u"Name",
                                       u"",          nullptr};
const char16_t *const kHashNames[] = {u"SHA1", u"SHA256", u"SHA384", u"SHA512", u"MD2",
                                      u"MD4",  u"MD5",    u"sha256", u"",       nullptr};
const DWORD kFlags[] = {0,
                        NCRYPT_PAD_PKCS1_FLAG,
                        NCRYPT_PAD_PKCS1_FLAG | NCRYPT_SILENT_FLAG,
                        NCRYPT_SILENT_FLAG,
                        NCRYPT_MACHINE_KEY_FLAG,
                        NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG,
                        NCRYPT_NO_PADDING_FLAG,
                        NCRYPT_PAD_OAEP_FLAG,
                        NCRYPT_PAD_PSS_FLAG,
                        NCRYPT_OVERWRITE_KEY_FLAG,
                        1,
                        3,
                        0x80000000u};
const DWORD kKeySpecs[] = {0, AT_KEYEXCHANGE, AT_SIGNATURE, 3, 0xffffffffu};
// Around the byte lengths of the keys below (64, 80, 96, 128) and those
// lengths less the 11 bytes of PKCS #1 padding.
const DWORD kSizes[] = {0,  1,  3,  4,  5,  8,  16, 20,  36,  52,  53,  54,  63,  64,  65,  69,
                        79, 80, 84, 85, 95, 96, 97, 116, 117, 118, 127, 128, 129, 255, 256, 512};
// The CryptoAPI calls that the module makes, but for the releases: a failed
// release leaves its handle with the platform, which would read as a leak.
const char *const kFailable[] = {
    "CryptAcquireContextW", "CryptGetUserKey", "CryptGetKeyParam",      "CryptCreateHash", "CryptSetHashParam",
    "CryptGetHashParam",    "CryptSignHashW",  "CryptVerifySignatureW", "CryptEncrypt",    "CryptDecrypt"};
const DWORD kInjectedErrors[] = {(DWORD)NTE_FAIL,   ERROR_ACCESS_DENIED,       (DWORD)NTE_SILENT_CONTEXT,
                                 (DWORD)NTE_NO_KEY, (DWORD)NTE_KEYSET_NOT_DEF, (DWORD)NTE_BAD_DATA};

// What the module returns: its own codes, the failures of the CryptoAPI
// calls that it passes on (the CSPs' own and the injected ones), never
// NTE_SILENT_CONTEXT (it becomes NTE_UI_REQUIRED) nor NTE_INTERNAL_ERROR
// (which only an unexpected exception gives).
bool IsModuleStatus(SECURITY_STATUS s)
{
    const SECURITY_STATUS kStatuses[] = {
        ERROR_SUCCESS,      NTE_BAD_FLAGS,         NTE_NO_MEMORY,        NTE_PERM,          NTE_BAD_KEYSET,
        NTE_INVALID_HANDLE, NTE_INVALID_PARAMETER, NTE_BUFFER_TOO_SMALL, NTE_NOT_SUPPORTED, NTE_DECRYPTION_FAILURE,
        NTE_UI_REQUIRED,    NTE_BAD_SIGNATURE,     NTE_BAD_LEN,          NTE_FAIL,          ERROR_ACCESS_DENIED,
        NTE_NO_KEY,         NTE_KEYSET_NOT_DEF,    NTE_BAD_DATA};
    return std::find(std::begin(kStatuses), std::end(kStatuses), s) != std::end(kStatuses);
}

template <typename T, size_t N> T Pick(const T (&choices)[N], uint8_t b)
{
    return choices[b % N];
}

constexpr uint8_t kCanary = 0xA5;
constexpr DWORD kCanaryLength = 0xA5A5A5A5u;
constexpr ULONG_PTR kCanaryHandle = 0xC0FFEEu;

void Fail(const char *pszWhat, int iCall, SECURITY_STATUS status)
{
    std::fprintf(stderr, "qvn-fuzz: FINDING in call %d: %s (status 0x%08x)\n", iCall, pszWhat,
                 static_cast<unsigned>(status));
    std::abort();
}

// ---- Input bytes -------------------------------------------------------------
struct Reader {
    const uint8_t *pb;
    size_t cb;
    size_t i = 0;
    bool AtEnd() const { return i >= cb; }
    uint8_t Byte() { return i < cb ? pb[i++] : 0; }
    DWORD Dword()
    {
        DWORD dw = 0;
        for (int i = 0; i < 4; ++i) {
            dw |= static_cast<DWORD>(Byte()) << (8 * i);
        }
        return dw;
    }
};

// A caller's output: a buffer of exactly the chosen size (so that ASan sees
// a write past it; not null even when empty) filled with a canary, and a
// result length that holds a canary until written.
struct Output {
    explicit Output(DWORD cbBuffer) : buf(new uint8_t[cbBuffer]), cb(cbBuffer) { std::fill_n(buf.get(), cb, kCanary); }
    std::unique_ptr<uint8_t[]> buf;
    DWORD cb, cbResult = kCanaryLength;
    bool fNullBuffer = false, fNullResult = false;
    PBYTE Buffer() { return fNullBuffer ? nullptr : buf.get(); }
    DWORD *Result() { return fNullResult ? nullptr : &cbResult; }
    bool BufferUntouchedFrom(DWORD i) const
    {
        return std::all_of(buf.get() + std::min(i, cb), buf.get() + cb, [](uint8_t b) { return b == kCanary; });
    }
};

struct OpenProvider {
    NCRYPT_PROV_HANDLE h;
    bool fCapi;
};
struct OpenKey {
    NCRYPT_PROV_HANDLE hProvider;
    NCRYPT_KEY_HANDLE h;
};

class Harness
{
public:
    void Initialize();
    void RunInput(const uint8_t *pb, size_t cb);

private:
    enum Op {
        kOpen,
        kOpenKey,
        kProperty,
        kFreeProvider,
        kFreeKey,
        kEncrypt,
        kDecrypt,
        kEnumAlgorithms,
        kSign,
        kVerify,
        kStub,
        kGetInterface,
        kFailCrypto,
        kFailMalloc,
        kVersion,
        kDetach,
        kOpCount
    };
    SECURITY_STATUS Call(Reader &in, Op op);
    SECURITY_STATUS CallCrypt(Reader &in, bool fEncrypt);
    SECURITY_STATUS CallSign(Reader &in);
    SECURITY_STATUS CallStub(Reader &in);
    NCRYPT_PROV_HANDLE PickProvider(Reader &in);
    NCRYPT_KEY_HANDLE PickKey(Reader &in);
    std::vector<uint8_t> PickData(Reader &in, bool &fNull);
    void *PickPadding(Reader &in);
    Output PickOutput(Reader &in);
    bool IsOpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) const;
    void CheckOutput(const Output &out, SECURITY_STATUS status);
    void CheckLiveHandles();
    void Detach();
    void Warm();
    void Check(bool f, const char *pszWhat, SECURITY_STATUS status = 0)
    {
        if (!f) {
            Fail(pszWhat, m_iCall, status);
        }
    }

    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *m_pTable = nullptr;
    GetKeyStorageInterfaceFn m_pfnGetInterface = nullptr;
    BOOL(WINAPI *m_pfnDllMain)(HINSTANCE, DWORD, LPVOID) = nullptr;
    HMODULE m_hModule = nullptr;
    LONG m_lContexts = 0, m_lKeys = 0, m_lHashes = 0, m_lColdBlocks = 0, m_lWarmBlocks = 0;
    std::vector<OpenProvider> m_providers;
    std::vector<OpenKey> m_keys;
    NCRYPT_PROV_HANDLE m_hFreedProvider = 0;
    NCRYPT_KEY_HANDLE m_hFreedKey = 0;
    std::vector<uint8_t> m_lastOutput;
    BCRYPT_PKCS1_PADDING_INFO m_padding = {};
    bool m_fInjected = false, m_fCold = false, m_fTrace = false;
    int m_iCall = 0;
};

// ---- Handles and arguments ---------------------------------------------------
NCRYPT_PROV_HANDLE Harness::PickProvider(Reader &in)
{
    const uint8_t b = in.Byte();
    if (b < 0xF0 && !m_providers.empty()) {
        return m_providers[b % m_providers.size()].h;
    }
    switch (b % 4) {
    case 0:
        return 0;
    case 1:
        return m_hFreedProvider;
    case 2:
        return m_keys.empty() ? 1 : m_keys[0].h;
    default:
        return in.Dword();
    }
}

NCRYPT_KEY_HANDLE Harness::PickKey(Reader &in)
{
    const uint8_t b = in.Byte();
    if (b < 0xF0 && !m_keys.empty()) {
        return m_keys[b % m_keys.size()].h;
    }
    switch (b % 4) {
    case 0:
        return 0;
    case 1:
        return m_hFreedKey;
    case 2:
        return m_providers.empty() ? 1 : m_providers[0].h;
    default:
        return in.Dword();
    }
}

bool Harness::IsOpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) const
{
    return std::any_of(m_keys.begin(), m_keys.end(),
                       [&](const OpenKey &k) { return k.hProvider == hProvider && k.h == hKey; });
}

// Bytes from the input, the last signature or ciphertext (as it is or with
// its last byte changed), or a null pointer with a length.
std::vector<uint8_t> Harness::PickData(Reader &in, bool &fNull)
{
    const uint8_t b = in.Byte();
    fNull = b == 0xFF;
    if (b < 0x80) {
        std::vector<uint8_t> data(b);
        std::generate(data.begin(), data.end(), [&] { return in.Byte(); });
        return data;
    }
    std::vector<uint8_t> data = m_lastOutput;
    if (fNull) {
        data.assign(in.Byte(), 0);
    } else if (b >= 0xC0 && !data.empty()) {
        data.back() ^= 1;
    }
    return data;
}

void *Harness::PickPadding(Reader &in)
{
    const uint8_t b = in.Byte() % (1 + std::size(kHashNames));
    if (b == 0) {
        return nullptr;
    }
    m_padding.pszAlgId = kHashNames[b - 1];
    return &m_padding;
}

Output Harness::PickOutput(Reader &in)
{
    const uint8_t b = in.Byte();
    Output out(Pick(kSizes, b));
    out.fNullBuffer = b & 0x20;
    out.fNullResult = b & 0x40;
    return out;
}

// A failure writes nothing into the buffer; as a result length it may
// write 0, or a size that the buffer lacked. A success writes no further than
// the length that it reports.
void Harness::CheckOutput(const Output &out, SECURITY_STATUS status)
{
    if (status != ERROR_SUCCESS) {
        Check(out.BufferUntouchedFrom(0), "a failed call wrote into the caller's buffer", status);
        Check(out.cbResult == kCanaryLength || out.cbResult == 0 || out.cbResult > out.cb,
              "a failed call set a result length that fits the buffer", status);
    } else if (!out.fNullBuffer && !out.fNullResult) {
        Check(out.cbResult <= out.cb, "a success reported more bytes than the buffer holds", status);
        Check(out.BufferUntouchedFrom(out.cbResult), "a success wrote past the length it reported", status);
    }
}

void Harness::CheckLiveHandles()
{
    const LONG lCapiProviders =
        std::count_if(m_providers.begin(), m_providers.end(), [](const OpenProvider &p) { return p.fCapi; });
    const LONG lKeys = static_cast<LONG>(m_keys.size());
    Check(QvnPlatformLiveContexts() == m_lContexts + lCapiProviders + lKeys,
          "live CryptoAPI contexts differ from the open provider and key handles");
    Check(QvnPlatformLiveKeys() == m_lKeys + lKeys, "live CryptoAPI keys differ from the open key handles");
    Check(QvnPlatformLiveHashes() == m_lHashes, "a CryptoAPI hash outlived its call");
}

// ---- The calls -----------------------------------------------------------------
SECURITY_STATUS Harness::CallCrypt(Reader &in, bool fEncrypt)
{
    const NCRYPT_PROV_HANDLE hProvider = PickProvider(in);
    const NCRYPT_KEY_HANDLE hKey = PickKey(in);
    bool fNull = false;
    std::vector<uint8_t> input = PickData(in, fNull);
    const std::vector<uint8_t> original = input;
    void *pPadding = PickPadding(in);
    Output out = PickOutput(in);
    const DWORD dwFlags = Pick(kFlags, in.Byte());
    const auto pfn = fEncrypt ? m_pTable->Encrypt : m_pTable->Decrypt;
    const SECURITY_STATUS status = pfn(hProvider, hKey, fNull ? nullptr : input.data(), (DWORD)input.size(), pPadding,
                                       out.Buffer(), out.cb, out.Result(), dwFlags);
    Check(input == original, "the call changed its input bytes", status);
    CheckOutput(out, status);
    Check(status != ERROR_SUCCESS || IsOpenKey(hProvider, hKey), "a key worked that is not open", status);
    if (status != ERROR_SUCCESS || out.fNullBuffer) {
        return status;
    }
    const std::vector<uint8_t> result(out.buf.get(), out.buf.get() + out.cbResult);
    if (fEncrypt) {
        m_lastOutput = result;
        if (!m_fInjected) {
            Output plain(512);
            const SECURITY_STATUS s = m_pTable->Decrypt(hProvider, hKey, m_lastOutput.data(), out.cbResult, pPadding,
                                                        plain.Buffer(), plain.cb, plain.Result(), dwFlags);
            Check(s == ERROR_SUCCESS && plain.cbResult == input.size() &&
                      std::equal(input.begin(), input.end(), plain.buf.get()),
                  "decrypting what was encrypted did not give the plaintext back", s);
        }
    }
    return status;
}

SECURITY_STATUS Harness::CallSign(Reader &in)
{
    const NCRYPT_PROV_HANDLE hProvider = PickProvider(in);
    const NCRYPT_KEY_HANDLE hKey = PickKey(in);
    void *pPadding = PickPadding(in);
    bool fNull = false;
    std::vector<uint8_t> hash = PickData(in, fNull);
    const std::vector<uint8_t> original = hash;
    Output out = PickOutput(in);
    const DWORD dwFlags = Pick(kFlags, in.Byte());
    PBYTE pbHash = fNull ? nullptr : hash.data();
    const SECURITY_STATUS status = m_pTable->SignHash(hProvider, hKey, pPadding, pbHash, (DWORD)hash.size(),
                                                      out.Buffer(), out.cb, out.Result(), dwFlags);
    Check(hash == original, "signing changed the hash value", status);
    CheckOutput(out, status);
    Check(status != ERROR_SUCCESS || IsOpenKey(hProvider, hKey), "a key worked that is not open", status);
    if (status != ERROR_SUCCESS || out.fNullBuffer) {
        return status;
    }
    m_lastOutput.assign(out.buf.get(), out.buf.get() + out.cbResult);
    if (!m_fInjected) {
        std::vector<uint8_t> signature = m_lastOutput;
        SECURITY_STATUS s = m_pTable->VerifySignature(hProvider, hKey, pPadding, pbHash, (DWORD)hash.size(),
                                                      signature.data(), (DWORD)signature.size(), dwFlags);
        Check(s == ERROR_SUCCESS, "a signature that the key made does not verify", s);
        signature.back() ^= 1;
        s = m_pTable->VerifySignature(hProvider, hKey, pPadding, pbHash, (DWORD)hash.size(), signature.data(),
                                      (DWORD)signature.size(), dwFlags);
        Check(s == NTE_BAD_SIGNATURE, "a changed signature was not refused as a bad signature", s);
    }
    return status;
}

// The 16 slots that are not implemented: NTE_NOT_SUPPORTED, nothing written.
SECURITY_STATUS Harness::CallStub(Reader &in)
{
    const uint8_t iSlot = in.Byte() % 16;
    const NCRYPT_PROV_HANDLE hProv = PickProvider(in);
    const NCRYPT_KEY_HANDLE hKey = PickKey(in);
    ULONG_PTR hOut = kCanaryHandle;
    void *pOut = reinterpret_cast<void *>(kCanaryHandle);
    DWORD cb = kCanaryLength;
    BYTE rgb[8] = {kCanary, kCanary, kCanary, kCanary, kCanary, kCanary, kCanary, kCanary};
    const auto &t = *m_pTable;
    SECURITY_STATUS s = 0;
    switch (iSlot) {
    case 0:
        s = t.CreatePersistedKey(hProv, &hOut, u"RSA", u"fz-new", AT_KEYEXCHANGE, 0);
        break;
    case 1:
        s = t.GetKeyProperty(hProv, hKey, u"Length", rgb, sizeof rgb, &cb, 0);
        break;
    case 2:
        s = t.SetProviderProperty(hProv, u"Version", rgb, sizeof rgb, 0);
        break;
    case 3:
        s = t.SetKeyProperty(hProv, hKey, u"Length", rgb, sizeof rgb, 0);
        break;
    case 4:
        s = t.FinalizeKey(hProv, hKey, 0);
        break;
    case 5:
        s = t.DeleteKey(hProv, hKey, 0);
        break;
    case 6:
        s = t.FreeBuffer(rgb);
        break;
    case 7:
        s = t.IsAlgSupported(hProv, u"RSA", 0);
        break;
    case 8:
        s = t.EnumKeys(hProv, nullptr, reinterpret_cast<NCryptKeyName **>(&pOut), &pOut, 0);
        break;
    case 9:
        s = t.ImportKey(hProv, hKey, u"RSAPUBLICBLOB", nullptr, &hOut, rgb, sizeof rgb, 0);
        break;
    case 10:
        s = t.ExportKey(hProv, hKey, 0, u"RSAPUBLICBLOB", nullptr, rgb, sizeof rgb, &cb, 0);
        break;
    case 11:
        s = t.PromptUser(hProv, hKey, u"Sign", 0);
        break;
    case 12:
        s = t.NotifyChangeKey(hProv, &pOut, 0);
        break;
    case 13:
        s = t.SecretAgreement(hProv, hKey, hKey, &hOut, 0);
        break;
    case 14:
        s = t.DeriveKey(hProv, hKey, u"HASH", nullptr, rgb, sizeof rgb, &cb, 0);
        break;
    default:
        s = t.FreeSecret(hProv, hKey);
        break;
    }
    Check(s == NTE_NOT_SUPPORTED, "a slot that is not implemented did not answer NTE_NOT_SUPPORTED", s);
    Check(hOut == kCanaryHandle && pOut == reinterpret_cast<void *>(kCanaryHandle) && cb == kCanaryLength &&
              std::all_of(std::begin(rgb), std::end(rgb), [](BYTE b) { return b == kCanary; }),
          "a slot that is not implemented wrote", s);
    return s;
}

SECURITY_STATUS Harness::Call(Reader &in, Op op)
{
    switch (op) {
    case kOpen: {
        const uint8_t iName = in.Byte() % std::size(kProviderNames);
        NCRYPT_PROV_HANDLE h = kCanaryHandle;
        const uint8_t b = in.Byte();
        const SECURITY_STATUS s =
            m_pTable->OpenProvider(b & 0x80 ? nullptr : &h, kProviderNames[iName], Pick(kFlags, b));
        Check(s == ERROR_SUCCESS ? iName < 5 : h == kCanaryHandle,
              "a provider opened that must not, or a failure wrote", s);
        if (s == ERROR_SUCCESS) {
            m_providers.push_back({h, iName != 0});
        }
        return s;
    }
    case kOpenKey: {
        const NCRYPT_PROV_HANDLE hProvider = PickProvider(in);
        NCRYPT_KEY_HANDLE h = kCanaryHandle;
        const uint8_t b = in.Byte();
        const SECURITY_STATUS s = m_pTable->OpenKey(hProvider, b & 0x80 ? nullptr : &h, Pick(kKeyNames, b),
                                                    Pick(kKeySpecs, in.Byte()), Pick(kFlags, in.Byte()));
        const auto it = std::find_if(m_providers.begin(), m_providers.end(),
                                     [&](const OpenProvider &p) { return p.h == hProvider; });
        Check(s == ERROR_SUCCESS ? it != m_providers.end() && it->fCapi : h == kCanaryHandle,
              "a key opened without an open CryptoAPI provider, or a failure wrote", s);
        if (s == ERROR_SUCCESS) {
            m_keys.push_back({hProvider, h});
        }
        return s;
    }
    case kProperty: {
        const NCRYPT_PROV_HANDLE hProvider = PickProvider(in);
        const char16_t *pszProperty = Pick(kProperties, in.Byte());
        Output out = PickOutput(in);
        const SECURITY_STATUS s = m_pTable->GetProviderProperty(hProvider, pszProperty, out.Buffer(), out.cb,
                                                                out.Result(), Pick(kFlags, in.Byte()));
        CheckOutput(out, s);
        return s;
    }
    case kFreeProvider: {
        const NCRYPT_PROV_HANDLE h = PickProvider(in);
        const SECURITY_STATUS s = m_pTable->FreeProvider(h);
        const auto it =
            std::find_if(m_providers.begin(), m_providers.end(), [&](const OpenProvider &p) { return p.h == h; });
        if (s == ERROR_SUCCESS) {
            Check(it != m_providers.end(), "a provider handle that is not open was freed", s);
            m_providers.erase(it);
            m_keys.erase(
                std::remove_if(m_keys.begin(), m_keys.end(), [&](const OpenKey &k) { return k.hProvider == h; }),
                m_keys.end());
            m_hFreedProvider = h;
        }
        return s;
    }
    case kFreeKey: {
        const NCRYPT_PROV_HANDLE hProvider = PickProvider(in);
        const NCRYPT_KEY_HANDLE h = PickKey(in);
        const SECURITY_STATUS s = m_pTable->FreeKey(hProvider, h);
        if (s == ERROR_SUCCESS) {
            Check(IsOpenKey(hProvider, h), "a key handle that is not open under that provider was freed", s);
            m_keys.erase(std::find_if(m_keys.begin(), m_keys.end(), [&](const OpenKey &k) { return k.h == h; }));
            m_hFreedKey = h;
        }
        return s;
    }
    case kEncrypt:
    case kDecrypt:
        return CallCrypt(in, op == kEncrypt);
    case kEnumAlgorithms: {
        const NCRYPT_PROV_HANDLE hProvider = PickProvider(in);
        DWORD cAlgorithms = kCanaryLength;
        NCryptAlgorithmName *pList = reinterpret_cast<NCryptAlgorithmName *>(kCanaryHandle);
        const uint8_t b = in.Byte();
        const SECURITY_STATUS s = m_pTable->EnumAlgorithms(hProvider, in.Dword(), b & 1 ? nullptr : &cAlgorithms,
                                                           b & 2 ? nullptr : &pList, Pick(kFlags, b >> 2));
        // FreeBuffer is a stub, so a list that the module allocated could never be freed.
        const bool fNoList = pList == nullptr || pList == reinterpret_cast<void *>(kCanaryHandle);
        Check(s == ERROR_SUCCESS ? cAlgorithms == 0 && fNoList : cAlgorithms == kCanaryLength && fNoList,
              "an algorithm list was handed out, or a failure wrote", s);
        return s;
    }
    case kSign:
        return CallSign(in);
    case kVerify: {
        const NCRYPT_PROV_HANDLE hProvider = PickProvider(in);
        const NCRYPT_KEY_HANDLE hKey = PickKey(in);
        void *pPadding = PickPadding(in);
        bool fNullHash = false, fNullSignature = false;
        std::vector<uint8_t> hash = PickData(in, fNullHash), signature = PickData(in, fNullSignature);
        const std::vector<uint8_t> originals[] = {hash, signature};
        const SECURITY_STATUS s = m_pTable->VerifySignature(
            hProvider, hKey, pPadding, fNullHash ? nullptr : hash.data(), (DWORD)hash.size(),
            fNullSignature ? nullptr : signature.data(), (DWORD)signature.size(), Pick(kFlags, in.Byte()));
        Check(originals[0] == hash && originals[1] == signature, "verifying changed its input bytes", s);
        Check(s != ERROR_SUCCESS || IsOpenKey(hProvider, hKey), "a key worked that is not open", s);
        return s;
    }
    case kStub:
        return CallStub(in);
    case kGetInterface: {
        const char16_t *pszName = Pick(kProviderNames, in.Byte());
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable =
            reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(kCanaryHandle);
        const uint8_t b = in.Byte();
        const NTSTATUS s = m_pfnGetInterface(pszName, b & 1 ? nullptr : &pTable, b & 2 ? 1 : 0);
        Check(s == STATUS_SUCCESS || s == STATUS_INVALID_PARAMETER || s == STATUS_NOT_SUPPORTED ||
                  s == STATUS_UNSUCCESSFUL,
              "GetKeyStorageInterface answered a status that it cannot", s);
        Check(pTable == (s == STATUS_SUCCESS ? m_pTable
                                             : reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(kCanaryHandle)),
              "GetKeyStorageInterface handed out another table, or wrote on failure", s);
        return ERROR_SUCCESS;
    }
    case kFailCrypto:
        QvnPlatformFailCall(Pick(kFailable, in.Byte()), 1 + in.Byte() % 4, Pick(kInjectedErrors, in.Byte()));
        m_fInjected = true;
        return ERROR_SUCCESS;
    case kFailMalloc:
        QvnPlatformFailModuleMalloc(1 + in.Byte() % 16);
        m_fInjected = true;
        return ERROR_SUCCESS;
    case kVersion: {
        const DWORD rgVersions[][2] = {{5, 2}, {6, 0}, {10, 0}};
        const uint8_t i = in.Byte() % 3;
        QvnPlatformSetWindowsVersion(rgVersions[i][0], rgVersions[i][1]);
        return ERROR_SUCCESS;
    }
    default:
        Detach();
        if (in.Byte() & 1) {
            Warm();
        }
        return ERROR_SUCCESS;
    }
}

// ---- Module lifetime -----------------------------------------------------------------
// Process detach with whatever is open: every handle goes, and with them every
// CryptoAPI handle and module block. Nothing injected may fall due in it.
void Harness::Detach()
{
    QvnPlatformClearFailures();
    QvnPlatformFailModuleMalloc(0);
    m_pfnDllMain(reinterpret_cast<HINSTANCE>(m_hModule), DLL_PROCESS_DETACH, nullptr);
    m_providers.clear();
    m_keys.clear();
    CheckLiveHandles();
    Check(QvnPlatformModuleLiveBlocks() == m_lColdBlocks, "process detach left module blocks behind");
    m_fCold = true;
}

// The first implemented entry after loading or detach creates the provider
// manager; a made-up handle does that and opens nothing.
void Harness::Warm()
{
    const SECURITY_STATUS s = m_pTable->FreeProvider(1);
    Check(s == NTE_INVALID_HANDLE, "a made-up provider handle was not refused", s);
    m_fCold = false;
}

void Harness::Initialize()
{
    m_fTrace = std::getenv("QVN_FUZZ_TRACE") != nullptr;
    std::string strStore = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + std::string("/qvn-fuzz-XXXXXX");
    Check(mkdtemp(strStore.data()) != nullptr, "set-up: mkdtemp");
    static std::string s_strStore = strStore;
    std::atexit([] { std::filesystem::remove_all(s_strStore); });
    QvnPlatformReset();
    QvnPlatformSetStoreDirectory(strStore.c_str());
    // Container (CSP index, name, machine, needs a prompt, exchange and signature key bits).
    struct Container {
        int iCsp;
        const char16_t *pszName;
        bool fMachine, fPrompt;
        DWORD dwExchangeBits, dwSignatureBits;
    };
    const Container kContainers[] = {{1, u"fz-both", false, false, 512, 768},  {1, u"fz-sig", false, false, 0, 512},
                                     {1, u"fz-prompt", false, true, 512, 0},   {1, u"fz-empty", false, false, 0, 0},
                                     {1, u"fz-machine", true, false, 1023, 0}, {2, u"fz-both", false, false, 512, 512},
                                     {3, u"fz-both", false, false, 640, 0},    {4, u"fz-both", false, false, 512, 0}};
    for (const Container &c : kContainers) {
        const DWORD dwMachine = c.fMachine ? CRYPT_MACHINE_KEYSET : 0;
        HCRYPTPROV hProv = 0;
        HCRYPTKEY hKey = 0;
        Check(CryptAcquireContextW(&hProv, c.pszName, kProviderNames[c.iCsp], kCspTypes[c.iCsp - 1],
                                   CRYPT_NEWKEYSET | dwMachine),
              "set-up: creating a container");
        const std::pair<DWORD, DWORD> rgPairs[] = {{AT_KEYEXCHANGE, c.dwExchangeBits},
                                                   {AT_SIGNATURE, c.dwSignatureBits}};
        for (const auto &pair : rgPairs) {
            Check(pair.second == 0 ||
                      (CryptGenKey(hProv, pair.first, pair.second << 16, &hKey) && CryptDestroyKey(hKey)),
                  "set-up: making a key");
        }
        CryptReleaseContext(hProv, 0);
        Check(!c.fPrompt || QvnPlatformSetContainerNeedsPrompt(kProviderNames[c.iCsp], c.pszName, dwMachine, TRUE),
              "set-up: marking a container as needing a prompt");
    }
    // As the CNG router does: the module by path, its export by name.
    const std::string strPath = QVN_FUZZ_MODULE_PATH;
    m_hModule = LoadLibraryW(std::u16string(strPath.begin(), strPath.end()).c_str());
    Check(m_hModule != nullptr, "set-up: LoadLibraryW");
    m_pfnGetInterface = reinterpret_cast<GetKeyStorageInterfaceFn>(GetProcAddress(m_hModule, "GetKeyStorageInterface"));
    m_pfnDllMain = reinterpret_cast<decltype(m_pfnDllMain)>(GetProcAddress(m_hModule, "DllMain"));
    Check(m_pfnGetInterface && m_pfnDllMain && m_pfnGetInterface(kProviderNames[0], &m_pTable, 0) == STATUS_SUCCESS,
          "set-up: GetKeyStorageInterface");
    m_pfnDllMain(reinterpret_cast<HINSTANCE>(m_hModule), DLL_PROCESS_DETACH, nullptr);
    m_lContexts = QvnPlatformLiveContexts();
    m_lKeys = QvnPlatformLiveKeys();
    m_lHashes = QvnPlatformLiveHashes();
    m_lColdBlocks = QvnPlatformModuleLiveBlocks();
    Warm();
    m_lWarmBlocks = QvnPlatformModuleLiveBlocks();
}

// ---- One input ---------------------------------------------------------------------------
void Harness::RunInput(const uint8_t *pb, size_t cb)
{
    Reader in{pb, cb};
    m_lastOutput.clear();
    m_hFreedProvider = m_hFreedKey = 0;
    m_fInjected = false;
    QvnPlatformClearCallLog();
    for (m_iCall = 0; !in.AtEnd() && m_iCall < 64; ++m_iCall) {
        const Op op = static_cast<Op>(in.Byte() % kOpCount);
        const LONG lBlocks = QvnPlatformModuleLiveBlocks();
        const DWORD dwLastError = 0x5000u + m_iCall;
        SetLastError(dwLastError);
        if (m_fTrace) {
            std::fprintf(stderr, "qvn-fuzz: call %d: op %d\n", m_iCall, op);
        }
        const SECURITY_STATUS s = Call(in, op);
        if (m_fTrace) {
            std::fprintf(stderr, "qvn-fuzz: status 0x%08x\n", static_cast<unsigned>(s));
        }
        Check(IsModuleStatus(s), "a status that the module cannot return", s);
        Check(op == kGetInterface || op == kDetach || GetLastError() == dwLastError,
              "an entry changed the caller's last-error value", s);
        const bool fOpensOrFrees = op == kOpen || op == kOpenKey || op == kFreeProvider || op == kFreeKey;
        Check(m_fCold || op == kDetach || (fOpensOrFrees && s == ERROR_SUCCESS) ||
                  QvnPlatformModuleLiveBlocks() == lBlocks,
              "a call that opened and freed nothing kept a module block", s);
        CheckLiveHandles();
    }
    // Free what the input left open: with nothing injected, freeing an open
    // handle succeeds, and the module is then back where it started.
    QvnPlatformClearFailures();
    QvnPlatformFailModuleMalloc(0);
    QvnPlatformSetWindowsVersion(10, 0);
    while (!m_keys.empty()) {
        const SECURITY_STATUS s = m_pTable->FreeKey(m_keys.back().hProvider, m_keys.back().h);
        Check(s == ERROR_SUCCESS, "freeing an open key failed", s);
        m_keys.pop_back();
    }
    while (!m_providers.empty()) {
        const SECURITY_STATUS s = m_pTable->FreeProvider(m_providers.back().h);
        Check(s == ERROR_SUCCESS, "freeing an open provider failed", s);
        m_providers.pop_back();
    }
    CheckLiveHandles();
    if (m_fCold) {
        Detach();
        Warm();
    }
    Check(QvnPlatformModuleLiveBlocks() == m_lWarmBlocks, "module blocks outlived the handles that the input freed");
}

Harness *g_pHarness = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*pargc*/, char *** /*pargv*/)
{
    g_pHarness = new Harness;
    g_pHarness->Initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pbData, size_t cbData)
{
    g_pHarness->RunInput(pbData, cbData);
    return 0;
}
