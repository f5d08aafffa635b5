// The export GetKeyStorageInterface, the table it hands out with its sixteen
// unsupported slots, opening providers under the five names (each opening its
// own handle), and what a provider tells of itself: properties, algorithms.
#include "E2E.h"

#include <cstring>
#include <functional>
#include <set>

namespace e2e
{
namespace
{

// Names compare exactly: whole strings, case-sensitive, no trimming.
const std::pair<const char *, LPCWSTR> kNotNames[] = {
    {"null", nullptr},
    {"empty", TEXT("")},
    {"lower-case", TEXT("quorvane tpm key storage provider")},
    {"trailing-blank", TEXT("Quorvane TPM Key Storage Provider ")},
    {"prefix", TEXT("Quorvane TPM Key Storage")},
    {"csp-lower-case", TEXT("Quorvane alder Cryptographic Provider")},
    {"csp-trailing-blank", TEXT("Quorvane Dogwood Cryptographic Provider ")},
    {"unknown-csp", TEXT("Quorvane Elm Cryptographic Provider")}};

TEST_F(KspTest, GetKeyStorageInterfaceAndOpenProviderAcceptTheFiveNamesExactly)
{
    const NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
    std::set<NCRYPT_PROV_HANDLE> handles; // each opening its own, whatever the flags
    for (LPCWSTR pszName : kAllNames) {
        ExpectTable("name", pszName, 0, 0);
        for (DWORD dwFlags : Dwords{0u, DWORD(NCRYPT_SILENT_FLAG), 0xFFFFFFFFu}) {
            NCRYPT_PROV_HANDLE hProvider = 0;
            ASSERT_EQ(0, KSP(OpenProvider, "each", &hProvider, pszName, dwFlags));
            EXPECT_TRUE(hProvider != 0 && handles.insert(hProvider).second) << "handle 0 or handed out twice";
        }
    }
    for (NCRYPT_PROV_HANDLE hProvider : handles) {
        EXPECT_EQ(0, KSP(FreeProvider, "each", hProvider));
    }
    EXPECT_EQ(NTE_INVALID_PARAMETER, KSP(OpenProvider, "null-out", nullptr, E2E_KSP_NAME, 0));
    for (const auto &name : kNotNames) { // refused by OpenProvider too, which leaves its out-parameter
        NCRYPT_PROV_HANDLE hProvider = 0xC0FFEE;
        ExpectTable(name.first, name.second, 0, kInvalidParameter);
        EXPECT_EQ(NTE_INVALID_PARAMETER, KSP(OpenProvider, name.first, &hProvider, name.second, 0)) << name.first;
        EXPECT_EQ(0xC0FFEEu, hProvider);
    }
    ExpectTable("flags", E2E_ALDER_NAME, 0x80000001u, kInvalidParameter);
    ExpectTable("null-out", E2E_CEDAR_NAME, 0, kInvalidParameter, true);
    EXPECT_EQ(1, m_pTable->Version.MajorVersion);
    EXPECT_EQ(0, m_pTable->Version.MinorVersion);
    const void *const *ppSlots = reinterpret_cast<const void *const *>(&m_pTable->OpenProvider);
    for (int i = 0; i < 26; ++i) {
        EXPECT_NE(nullptr, ppSlots[i]) << "slot " << i + 1;
    }
}

// Every slot beyond the ten implemented answers NTE_NOT_SUPPORTED at once, for
// made-up and real handles, touching no out-parameter nor the last-error value.
TEST_F(AlderTest, UnsupportedSlotsTouchNothing)
{
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = *m_pTable;
    for (const auto &h :
         {std::make_pair(ULONG_PTR(0x4000), ULONG_PTR(0x8000)), std::make_pair(m_hProvider, m_hExchange)}) {
        const NCRYPT_PROV_HANDLE hP = h.first;
        const NCRYPT_KEY_HANDLE hK = h.second;
        struct {
            NCRYPT_KEY_HANDLE hKey;
            NCRYPT_SECRET_HANDLE hSecret;
            HANDLE hEvent;
            NCryptKeyName *pKeyName;
            PVOID pvState;
            DWORD dw;
            BYTE rgb[16];
        } o, before;
        std::memset(&o, 0xA5, sizeof(o));
        std::memcpy(&before, &o, sizeof(o));
        const std::pair<const char *, std::function<SECURITY_STATUS()>> calls[] = {
            {"CreatePersistedKey", [&] { return t.CreatePersistedKey(hP, &o.hKey, TEXT("RSA"), E2E_MAIN, 1, 0); }},
            {"GetKeyProperty", [&] { return t.GetKeyProperty(hP, hK, TEXT("Length"), o.rgb, 16, &o.dw, 0); }},
            {"GetKeyProperty-group",
             [&] { return t.GetKeyProperty(hP, hK, TEXT("Algorithm Group"), o.rgb, 16, &o.dw, 0); }},
            {"SetProviderProperty", [&] { return t.SetProviderProperty(hP, TEXT("Version"), o.rgb, 4, 0); }},
            {"SetKeyProperty", [&] { return t.SetKeyProperty(hP, hK, TEXT("Length"), o.rgb, 4, 0); }},
            {"FinalizeKey", [&] { return t.FinalizeKey(hP, hK, 0); }},
            {"DeleteKey", [&] { return t.DeleteKey(hP, hK, 0); }},
            {"FreeBuffer", [&] { return t.FreeBuffer(o.rgb); }},
            {"IsAlgSupported", [&] { return t.IsAlgSupported(hP, TEXT("RSA"), 0); }},
            {"EnumKeys", [&] { return t.EnumKeys(hP, nullptr, &o.pKeyName, &o.pvState, 0); }},
            {"ImportKey", [&] { return t.ImportKey(hP, 0, TEXT("RSAPUBLICBLOB"), nullptr, &o.hKey, o.rgb, 16, 0); }},
            {"ExportKey", [&] { return t.ExportKey(hP, hK, 0, TEXT("RSAPUBLICBLOB"), nullptr, o.rgb, 16, &o.dw, 0); }},
            {"PromptUser", [&] { return t.PromptUser(hP, hK, TEXT("Sign"), 0); }},
            {"NotifyChangeKey", [&] { return t.NotifyChangeKey(hP, &o.hEvent, 0); }},
            {"SecretAgreement", [&] { return t.SecretAgreement(hP, hK, hK, &o.hSecret, 0); }},
            {"DeriveKey", [&] { return t.DeriveKey(hP, 0x1234, TEXT("HASH"), nullptr, o.rgb, 16, &o.dw, 0); }},
            {"FreeSecret", [&] { return t.FreeSecret(hP, 0x1234); }}};
        for (const auto &call : calls) {
            SetLastError(0x0BADF00D);
            const SECURITY_STATUS status = call.second();
            EXPECT_EQ(0x0BADF00Du, GetLastError()) << call.first;
            Record(std::string(call.first) + (hP == m_hProvider ? ".open" : ".never-opened"), status);
            EXPECT_EQ(NTE_NOT_SUPPORTED, status) << call.first;
        }
        EXPECT_EQ(0, std::memcmp(&o, &before, sizeof(o))) << "an out-parameter was written";
    }
    EXPECT_EQ(0, Sign("after", m_hProvider, m_hExchange, nullptr, Pattern(32, 1), kExchangeBytes).status);
}

// Asks a provider for a property into 16 bytes of 0xCC at an offset (none for
// a null output), the size at 0xDEAD; checks the status, the size and that
// nothing but `written` (at the offset) was written.
class PropertyTest : public KspTest
{
protected:
    void Expect(SECURITY_STATUS expected, DWORD cbAfter, const Bytes &written, const char *l,
                NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszName, size_t offset, DWORD cbOutput, bool fNullOutput = false,
                bool fNullResult = false, DWORD dwFlags = 0)
    {
        Bytes output(16, 0xCC), after(16, 0xCC);
        std::copy(written.begin(), written.end(), after.begin() + offset);
        DWORD cb = 0xDEAD;
        EXPECT_EQ(expected,
                  KSP(GetProviderProperty, l, hProvider, pszName, fNullOutput ? nullptr : output.data() + offset,
                      cbOutput, Size{fNullResult ? nullptr : &cb}, dwFlags))
            << l;
        EXPECT_EQ(cbAfter, cb) << l;
        EXPECT_EQ(Hex(after), Hex(output)) << l;
    }
};

// Only the key storage provider answers the three properties: 4 little-endian
// bytes and not a byte more, at any address, whatever the flags; a size query
// answers 4. Refusals write nothing; a missing result pointer is found before
// the name is looked at.
TEST_F(PropertyTest, ProviderPropertiesAreFourBytesWrittenExactly)
{
    const NCRYPT_PROV_HANDLE hKsp = Open(E2E_KSP_NAME);
    Expect(0, 4, {0, 0, 0, 0}, "impl-type", hKsp, NCRYPT_IMPL_TYPE_PROPERTY, 0, 8);
    Expect(0, 4, {0, 0, 1, 0}, "version-unaligned", hKsp, NCRYPT_VERSION_PROPERTY, 1, 4, false, false, ~0u);
    Expect(0, 4, {4, 1, 0, 0}, "max-name-length", hKsp, NCRYPT_MAX_NAME_LENGTH_PROPERTY, 3, 5, false, false, 0x40);
    Expect(0, 4, {}, "size-query", hKsp, NCRYPT_VERSION_PROPERTY, 0, 100, true);
    for (LPCWSTR pszName : {TEXT("impl type"), TEXT("Version "), TEXT("Unique Name")}) {
        Expect(NTE_NOT_SUPPORTED, 0xDEAD, {}, "other-name", hKsp, pszName, 0, 8);
    }
    Expect(NTE_INVALID_PARAMETER, 0xDEAD, {}, "null-name", hKsp, nullptr, 0, 8);
    Expect(NTE_INVALID_PARAMETER, 0xDEAD, {}, "null-result", hKsp, NCRYPT_VERSION_PROPERTY, 0, 8, false, true);
    Expect(NTE_INVALID_PARAMETER, 0xDEAD, {}, "unknown-null-result", hKsp, TEXT("Name"), 0, 8, false, true);
    for (size_t i = 1; i < 5; ++i) { // a provider of a CSP answers none
        Expect(NTE_NOT_SUPPORTED, 0xDEAD, {}, "csp", Open(kAllNames[i]), NCRYPT_VERSION_PROPERTY, 0, 8);
    }
}

// A buffer shorter than the 4 bytes is an invalid parameter, not
// NTE_BUFFER_TOO_SMALL; the size needed (4) is written all the same. Only
// under the provider's own name: a provider of a CSP answers NTE_NOT_SUPPORTED
// whatever the buffer, and writes no size.
TEST_F(PropertyTest, ProviderPropertyIntoTooSmallBufferIsInvalidParameter)
{
    const NCRYPT_PROV_HANDLE hKsp = Open(E2E_KSP_NAME);
    Expect(NTE_INVALID_PARAMETER, 4, {}, "short-3", hKsp, NCRYPT_VERSION_PROPERTY, 0, 3);
    Expect(NTE_INVALID_PARAMETER, 4, {}, "short-0", hKsp, NCRYPT_IMPL_TYPE_PROPERTY, 0, 0);
    for (size_t i = 1; i < 5; ++i) {
        const NCRYPT_PROV_HANDLE hCsp = Open(kAllNames[i]);
        Expect(NTE_NOT_SUPPORTED, 0xDEAD, {}, "csp-short-3", hCsp, NCRYPT_VERSION_PROPERTY, 0, 3);
        Expect(NTE_NOT_SUPPORTED, 0xDEAD, {}, "csp-size-query", hCsp, NCRYPT_MAX_NAME_LENGTH_PROPERTY, 0, 0, true);
    }
}

// The key storage provider lists no algorithm, for any class and flag, and
// never touches the list pointer; a provider of a CSP answers no list at all.
TEST_F(KspTest, EnumAlgorithmsListsNothing)
{
    NCryptAlgorithmName *const pSentinel = reinterpret_cast<NCryptAlgorithmName *>(static_cast<ULONG_PTR>(0xA160));
    for (size_t iProvider = 0; iProvider < 5; ++iProvider) {
        const NCRYPT_PROV_HANDLE hProvider = Open(kAllNames[iProvider]);
        const SECURITY_STATUS expected = iProvider == 0 ? 0 : NTE_NOT_SUPPORTED;
        DWORD dwCount = 77, dwCountNullList = 77;
        NCryptAlgorithmName *pList = pSentinel;
        EXPECT_EQ(expected, KSP(EnumAlgorithms, "list", hProvider, 0, Size{&dwCount}, &pList, ~0u));
        EXPECT_EQ(expected, KSP(EnumAlgorithms, "null-list", hProvider, NCRYPT_SIGNATURE_OPERATION,
                                Size{&dwCountNullList}, nullptr, 0));
        EXPECT_EQ(expected == 0 ? 0u : 77u, dwCount) << iProvider;
        EXPECT_EQ(dwCount, dwCountNullList);
        EXPECT_EQ(iProvider == 0 ? NTE_INVALID_PARAMETER : NTE_NOT_SUPPORTED,
                  KSP(EnumAlgorithms, "null-count", hProvider, 0, nullptr, &pList, 0));
        EXPECT_EQ(pSentinel, pList);
    }
}

} // namespace
} // namespace e2e
