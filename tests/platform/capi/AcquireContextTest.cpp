// CryptAcquireContextW: provider lookup by name and type, key sets, container
// creation and deletion, verification contexts and prompts.
#include "CapiTestUtil.h"

using namespace capitest;

namespace
{

const WCHAR kExisting[] = u"existing"; // Alder, user key set, with an exchange pair
const WCHAR kPrompted[] = u"prompted"; // Alder, user and machine key sets; the user one needs a prompt
const WCHAR kMissing[] = u"missing";

class AcquireContextTest : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, kExisting, AT_KEYEXCHANGE, CachedTestKey(1024)));
        ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, kPrompted, AT_KEYEXCHANGE, CachedTestKey(1024)));
        ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, kPrompted, AT_KEYEXCHANGE, CachedTestKey(1024, 1),
                                           CRYPT_MACHINE_KEYSET));
        ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, kPrompted, 0, TRUE));
    }
};

TEST_F(AcquireContextTest, LooksUpProviderTypeKeySetAndContainer)
{
    const WCHAR *const pszAlder = kAlderProvider;
    const DWORD kVerify = CRYPT_VERIFYCONTEXT, kFull = PROV_RSA_FULL;
    const struct {
        const char *pszName;
        const WCHAR *pszContainer, *pszProvider;
        DWORD dwProvType, dwFlags;
        HRESULT hr; // S_OK: it succeeds
    } cases[] = {
        {"Alder", nullptr, pszAlder, kFull, kVerify, S_OK},
        {"Birch", nullptr, kBirchProvider, PROV_RSA_SCHANNEL, kVerify, S_OK},
        {"Cedar", nullptr, kCedarProvider, PROV_RSA_AES, kVerify, S_OK},
        {"Dogwood", nullptr, kDogwoodProvider, kFull, kVerify, S_OK},
        {"Alder as SCHANNEL", nullptr, pszAlder, PROV_RSA_SCHANNEL, kVerify, NTE_PROV_TYPE_NO_MATCH},
        {"Birch as FULL", nullptr, kBirchProvider, kFull, kVerify, NTE_PROV_TYPE_NO_MATCH},
        {"Dogwood as AES", nullptr, kDogwoodProvider, PROV_RSA_AES, kVerify, NTE_PROV_TYPE_NO_MATCH},
        {"unknown name", nullptr, u"Quorvane Elm Cryptographic Provider", kFull, kVerify, NTE_KEYSET_NOT_DEF},
        {"default of FULL is Alder", kExisting, nullptr, kFull, 0, S_OK},
        {"default of SCHANNEL is Birch", kExisting, nullptr, PROV_RSA_SCHANNEL, 0, NTE_BAD_KEYSET},
        {"missing", kMissing, pszAlder, kFull, 0, NTE_BAD_KEYSET},
        {"missing, silent", kMissing, pszAlder, kFull, CRYPT_SILENT, NTE_BAD_KEYSET},
        {"existing, new", kExisting, pszAlder, kFull, CRYPT_NEWKEYSET, NTE_EXISTS},
        {"in other case", u"EXISTING", pszAlder, kFull, 0, NTE_BAD_KEYSET},
        {"in the machine key set", kExisting, pszAlder, kFull, CRYPT_MACHINE_KEYSET, NTE_BAD_KEYSET},
        {"in Dogwood", kExisting, kDogwoodProvider, kFull, 0, NTE_BAD_KEYSET},
        {"prompted, silent", kPrompted, pszAlder, kFull, CRYPT_SILENT, NTE_SILENT_CONTEXT},
        {"prompted, answered", kPrompted, pszAlder, kFull, 0, S_OK},
        {"machine one of that name", kPrompted, pszAlder, kFull, CRYPT_SILENT | CRYPT_MACHINE_KEYSET, S_OK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszName);
        HCRYPTPROV hProv = 0x5a5a;
        const BOOL fOk = CryptAcquireContextW(&hProv, c.pszContainer, c.pszProvider, c.dwProvType, c.dwFlags);
        if (c.hr == S_OK) {
            EXPECT_TRUE(fOk) << std::hex << GetLastError();
            EXPECT_TRUE(CryptReleaseContext(hProv, 0));
        } else {
            EXPECT_EQ(Code(c.hr), GetLastError());
            EXPECT_FALSE(fOk);
            EXPECT_EQ(0x5a5au, hProv);
        }
    }
    HCRYPTPROV hProv = 0;
    EXPECT_FAILS(NTE_BAD_KEYSET, CryptAcquireContextW(&hProv, kMissing, kAlderProvider, kFull, 0)); // none was made
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptAcquireContextW(nullptr, nullptr, kAlderProvider, kFull, kVerify));
}

TEST_F(AcquireContextTest, UserAndMachineKeySetsHoldTheirOwnPairs)
{
    for (DWORD dwFlags : {0u, static_cast<DWORD>(CRYPT_MACHINE_KEYSET)}) {
        Prov prov;
        Key key;
        ASSERT_TRUE(Acquire(&prov, kPrompted, dwFlags));
        ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, key.Out()));
        EXPECT_EQ(CachedTestKey(1024, dwFlags == 0 ? 0 : 1).PublicKeyBlob(), Export(key, PUBLICKEYBLOB));
    }
    HCRYPTPROV hProv = 0;
    const DWORD dwDelete = CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, kPrompted, kAlderProvider, PROV_RSA_FULL, dwDelete));
    EXPECT_FAILS(NTE_BAD_KEYSET,
                 CryptAcquireContextW(&hProv, kPrompted, kAlderProvider, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET));
    Prov user;
    EXPECT_TRUE(Acquire(&user, kPrompted));
}

TEST_F(AcquireContextTest, NewKeysetCreatesOnceAndDeleteKeysetRemovesIt)
{
    Prov created;
    ASSERT_TRUE(Acquire(&created, kMissing, CRYPT_NEWKEYSET));
    HCRYPTKEY hKey = 0x77;
    EXPECT_FAILS(NTE_NO_KEY, CryptGetUserKey(created, AT_KEYEXCHANGE, &hKey));
    EXPECT_EQ(0x77u, hKey);
    HCRYPTPROV hProv = 0x5a5a;
    EXPECT_FAILS(NTE_EXISTS, CryptAcquireContextW(&hProv, kMissing, kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));

    const LONG cContexts = QvnPlatformLiveContexts();
    ASSERT_TRUE(CryptAcquireContextW(&hProv, kMissing, kAlderProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(0u, hProv);
    EXPECT_EQ(cContexts, QvnPlatformLiveContexts()); // no context was made
    for (DWORD dwFlags : {0u, static_cast<DWORD>(CRYPT_DELETEKEYSET)}) {
        EXPECT_FAILS(NTE_BAD_KEYSET, CryptAcquireContextW(&hProv, kMissing, kAlderProvider, PROV_RSA_FULL, dwFlags));
    }
    Key key; // the context that was open goes on working with what it had
    EXPECT_TRUE(CryptGenKey(created, AT_SIGNATURE, 512u << 16, key.Out()));
}

TEST_F(AcquireContextTest, ContainerNamesAreExactAndAnyText)
{
    const WString names[] = {
        u"Name",           u"name",           u"with/slash and \\back", u"..", u"\u00e9t\u00e9 \u65e5\u672c",
        u"\xd800unpaired", WString(300, u'x')};
    for (DWORD dwFlags : {static_cast<DWORD>(CRYPT_NEWKEYSET), 0u}) {
        for (const WString &strName : names) {
            Prov prov;
            EXPECT_TRUE(Acquire(&prov, strName.c_str(), dwFlags)) << Narrow(strName.c_str());
        }
    }
    HCRYPTPROV hProv = 0;
    EXPECT_FAILS(NTE_BAD_KEYSET,
                 CryptAcquireContextW(&hProv, WString(299, u'x').c_str(), kAlderProvider, PROV_RSA_FULL, 0));
}

TEST_F(AcquireContextTest, PromptMarkSurvivesKeyChangesUntilClearedOrReset)
{
    auto silentError = [] {
        HCRYPTPROV hProv = 0;
        const BOOL fOk = CryptAcquireContextW(&hProv, kPrompted, kAlderProvider, PROV_RSA_FULL, CRYPT_SILENT);
        const DWORD dwError = fOk ? 0 : GetLastError();
        CryptReleaseContext(hProv, 0);
        return dwError;
    };
    {
        Prov prov;
        Key key;
        ASSERT_TRUE(Acquire(&prov, kPrompted));
        ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 512u << 16, key.Out()));
    }
    EXPECT_EQ(Code(NTE_SILENT_CONTEXT), silentError());
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, kPrompted, 0, FALSE));
    EXPECT_EQ(0u, silentError());
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, kPrompted, 0, TRUE));
    QvnPlatformReset();
    EXPECT_EQ(0u, silentError());
    EXPECT_FAILS(NTE_BAD_KEYSET, QvnPlatformSetContainerNeedsPrompt(kAlderProvider, kMissing, 0, TRUE));
    EXPECT_FAILS(NTE_KEYSET_NOT_DEF, QvnPlatformSetContainerNeedsPrompt(u"Quorvane Elm", kExisting, 0, TRUE));
}

} // namespace
