// CryptAcquireContextW and CryptReleaseContext: provider lookup by name and
// type, key sets, container creation and deletion, verification contexts,
// silent contexts and prompts.
#include "CapiTestUtil.h"

#include <pwd.h>
#include <unistd.h>

using namespace capitest;
using qvntest::kAlderProvider;
using qvntest::kBirchProvider;
using qvntest::kCedarProvider;
using qvntest::kDogwoodProvider;

namespace
{

const WCHAR kContainer[] = u"acquire container";

class AcquireContextTest : public qvntest::StoreTest
{
protected:
    // CryptAcquireContextW that must fail with hr; the output stays untouched.
    void ExpectAcquireFails(HRESULT hr, const WCHAR *pszContainer, const WCHAR *pszProvider, DWORD dwProvType,
                            DWORD dwFlags)
    {
        HCRYPTPROV hProv = 0x5a5a;
        EXPECT_FALSE(CryptAcquireContextW(&hProv, pszContainer, pszProvider, dwProvType, dwFlags));
        EXPECT_EQ(Code(hr), GetLastError());
        EXPECT_EQ(0x5a5au, hProv);
    }
};

TEST_F(AcquireContextTest, EachProviderOpensWithItsType)
{
    const struct {
        const WCHAR *pszProvider;
        DWORD dwProvType;
    } kProviders[] = {{kAlderProvider, PROV_RSA_FULL},
                      {kBirchProvider, PROV_RSA_SCHANNEL},
                      {kCedarProvider, PROV_RSA_AES},
                      {kDogwoodProvider, PROV_RSA_FULL}};
    for (const auto &provider : kProviders) {
        SCOPED_TRACE(qvntest::Narrow(provider.pszProvider));
        Prov prov;
        ASSERT_TRUE(
            CryptAcquireContextW(prov.Out(), nullptr, provider.pszProvider, provider.dwProvType, CRYPT_VERIFYCONTEXT));
        EXPECT_NE(0u, prov.Get());
        for (DWORD dwOtherType :
             std::initializer_list<DWORD>{static_cast<DWORD>(PROV_RSA_FULL), static_cast<DWORD>(PROV_RSA_SIG),
                                          static_cast<DWORD>(PROV_RSA_SCHANNEL), static_cast<DWORD>(PROV_RSA_AES)}) {
            if (dwOtherType != provider.dwProvType) {
                ExpectAcquireFails(NTE_PROV_TYPE_NO_MATCH, nullptr, provider.pszProvider, dwOtherType,
                                   CRYPT_VERIFYCONTEXT);
            }
        }
    }
}

TEST_F(AcquireContextTest, UnknownProviderNameIsKeysetNotDefined)
{
    for (const WCHAR *pszName :
         {u"Quorvane Elm Cryptographic Provider", u"quorvane alder cryptographic provider",
          u"Quorvane Alder Cryptographic Provider ", u"Microsoft Base Cryptographic Provider v1.0"}) {
        SCOPED_TRACE(qvntest::Narrow(pszName));
        ExpectAcquireFails(NTE_KEYSET_NOT_DEF, nullptr, pszName, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    }
}

TEST_F(AcquireContextTest, ProviderTypeOutOfRangeIsBadProviderType)
{
    ExpectAcquireFails(NTE_BAD_PROV_TYPE, nullptr, kAlderProvider, 0, CRYPT_VERIFYCONTEXT);
    ExpectAcquireFails(NTE_BAD_PROV_TYPE, nullptr, kAlderProvider, 1000, CRYPT_VERIFYCONTEXT);
    ExpectAcquireFails(NTE_BAD_PROV_TYPE, nullptr, nullptr, 0, CRYPT_VERIFYCONTEXT);
}

TEST_F(AcquireContextTest, NoProviderNameTakesTheDefaultOfTheType)
{
    // Alder for PROV_RSA_FULL: a container made there is found without a name.
    ASSERT_TRUE(
        qvntest::CreateContainerWithKey(kAlderProvider, kContainer, AT_KEYEXCHANGE, qvntest::CachedTestKey(1024)));
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.Out(), kContainer, nullptr, PROV_RSA_FULL, 0));
    Prov empty;
    ASSERT_TRUE(CryptAcquireContextW(empty.Out(), kContainer, u"", PROV_RSA_FULL, 0));
    // Birch is the default of PROV_RSA_SCHANNEL: the Alder container is not there.
    ExpectAcquireFails(NTE_BAD_KEYSET, kContainer, nullptr, PROV_RSA_SCHANNEL, 0);
    Prov cedar;
    EXPECT_TRUE(CryptAcquireContextW(cedar.Out(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    ExpectAcquireFails(NTE_PROV_TYPE_NOT_DEF, nullptr, nullptr, PROV_RSA_SIG, CRYPT_VERIFYCONTEXT);
    ExpectAcquireFails(NTE_PROV_TYPE_NOT_DEF, nullptr, nullptr, 999, CRYPT_VERIFYCONTEXT);
}

TEST_F(AcquireContextTest, NullOutputIsInvalidParameter)
{
    EXPECT_FALSE(CryptAcquireContextW(nullptr, nullptr, kAlderProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(AcquireContextTest, UnknownFlagBitsAreBadFlags)
{
    for (DWORD dwFlags : std::initializer_list<DWORD>{0x1u, 0x2u, 0x4u, 0x80u, 0x100u, 0x10000u, 0x08000000u}) {
        SCOPED_TRACE(dwFlags);
        ExpectAcquireFails(NTE_BAD_FLAGS, nullptr, kAlderProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | dwFlags);
    }
}

TEST_F(AcquireContextTest, ConflictingActionsAreBadFlags)
{
    ExpectAcquireFails(NTE_BAD_FLAGS, kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET);
    ExpectAcquireFails(NTE_BAD_FLAGS, nullptr, kAlderProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_DELETEKEYSET);
    // Nothing was created on the way.
    ExpectAcquireFails(NTE_BAD_KEYSET, kContainer, kAlderProvider, PROV_RSA_FULL, 0);
}

TEST_F(AcquireContextTest, VerificationContextTakesNoContainerName)
{
    ExpectAcquireFails(NTE_BAD_FLAGS, kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    Prov emptyName;
    EXPECT_TRUE(CryptAcquireContextW(emptyName.Out(), u"", kAlderProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Prov withNewKeyset;
    EXPECT_TRUE(CryptAcquireContextW(withNewKeyset.Out(), nullptr, kAlderProvider, PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET));
}

TEST_F(AcquireContextTest, VerificationContextHasNoKeysAndStoresNone)
{
    Prov prov;
    ASSERT_TRUE(Acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT));
    HCRYPTKEY hKey = 0x77;
    EXPECT_FALSE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &hKey));
    EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());
    EXPECT_EQ(0x77u, hKey);
    Key generated;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 512u << 16, generated.Out()));
    Key user;
    EXPECT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, user.Out())); // in the context only
    Prov other;
    ASSERT_TRUE(Acquire(&other, nullptr, CRYPT_VERIFYCONTEXT));
    EXPECT_FALSE(CryptGetUserKey(other, AT_KEYEXCHANGE, &hKey));
    EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());
}

TEST_F(AcquireContextTest, MissingContainerIsBadKeyset)
{
    ExpectAcquireFails(NTE_BAD_KEYSET, kContainer, kAlderProvider, PROV_RSA_FULL, 0);
    ExpectAcquireFails(NTE_BAD_KEYSET, kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_SILENT);
}

TEST_F(AcquireContextTest, NewKeysetCreatesOnceThenExists)
{
    Prov created;
    ASSERT_TRUE(CryptAcquireContextW(created.Out(), kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptGetUserKey(created, AT_KEYEXCHANGE, &hKey));
    EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());
    ExpectAcquireFails(NTE_EXISTS, kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET);
    Prov opened;
    EXPECT_TRUE(Acquire(&opened, kContainer));
}

TEST_F(AcquireContextTest, DeleteKeysetRemovesContainerAndZeroesHandle)
{
    Prov created;
    ASSERT_TRUE(CryptAcquireContextW(created.Out(), kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTPROV hProv = 0x5a5a;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(0u, hProv);
    ExpectAcquireFails(NTE_BAD_KEYSET, kContainer, kAlderProvider, PROV_RSA_FULL, 0);
    ExpectAcquireFails(NTE_BAD_KEYSET, kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    // The context that was open goes on working with what it had.
    Key key;
    EXPECT_TRUE(CryptGenKey(created, AT_SIGNATURE, 512u << 16, key.Out()));
}

TEST_F(AcquireContextTest, DeleteKeysetCreatesNoContext)
{
    Prov created;
    ASSERT_TRUE(CryptAcquireContextW(created.Out(), kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    const LONG cContexts = QvnPlatformLiveContexts();
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(cContexts, QvnPlatformLiveContexts());
}

TEST_F(AcquireContextTest, UserAndMachineKeysetsAreSeparate)
{
    ASSERT_TRUE(qvntest::CreateContainerWithKey(kAlderProvider, kContainer, AT_KEYEXCHANGE,
                                                qvntest::CachedTestKey(1024, 0), CRYPT_MACHINE_KEYSET));
    ExpectAcquireFails(NTE_BAD_KEYSET, kContainer, kAlderProvider, PROV_RSA_FULL, 0);
    ASSERT_TRUE(
        qvntest::CreateContainerWithKey(kAlderProvider, kContainer, AT_KEYEXCHANGE, qvntest::CachedTestKey(1024, 1)));
    auto modulusOf = [](DWORD dwFlags) {
        Prov prov;
        Key key;
        Bytes blob(200);
        DWORD cbBlob = 200;
        EXPECT_TRUE(Acquire(&prov, kContainer, dwFlags));
        EXPECT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, key.Out()));
        EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob));
        blob.resize(cbBlob);
        return qvntest::TestKeyFromBlob(blob)->Modulus();
    };
    EXPECT_EQ(qvntest::CachedTestKey(1024, 0).Modulus(), modulusOf(CRYPT_MACHINE_KEYSET));
    EXPECT_EQ(qvntest::CachedTestKey(1024, 1).Modulus(), modulusOf(0));
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, kContainer, kAlderProvider, PROV_RSA_FULL,
                                     CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET));
    ExpectAcquireFails(NTE_BAD_KEYSET, kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET);
    Prov user;
    EXPECT_TRUE(Acquire(&user, kContainer));
}

TEST_F(AcquireContextTest, ProvidersHaveSeparateContainers)
{
    Prov alder;
    ASSERT_TRUE(CryptAcquireContextW(alder.Out(), kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ExpectAcquireFails(NTE_BAD_KEYSET, kContainer, kDogwoodProvider, PROV_RSA_FULL, 0);
    ExpectAcquireFails(NTE_BAD_KEYSET, kContainer, kBirchProvider, PROV_RSA_SCHANNEL, 0);
    ExpectAcquireFails(NTE_BAD_KEYSET, kContainer, kCedarProvider, PROV_RSA_AES, 0);
}

TEST_F(AcquireContextTest, ContainerNamesAreExactAndAnyText)
{
    const WString names[] = {
        u"Name",           u"name",           u"with/slash and \\back", u"..", u"\u00e9t\u00e9 \u65e5\u672c",
        u"\xd800unpaired", WString(300, u'x')};
    for (const WString &strName : names) {
        Prov prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.Out(), strName.c_str(), kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET))
            << qvntest::Narrow(strName.c_str());
    }
    for (const WString &strName : names) {
        Prov prov;
        EXPECT_TRUE(Acquire(&prov, strName.c_str())) << qvntest::Narrow(strName.c_str());
    }
    ExpectAcquireFails(NTE_BAD_KEYSET, u"NAME", kAlderProvider, PROV_RSA_FULL, 0);
    ExpectAcquireFails(NTE_BAD_KEYSET, WString(299, u'x').c_str(), kAlderProvider, PROV_RSA_FULL, 0);
}

TEST_F(AcquireContextTest, NoContainerNameMeansTheUsersName)
{
    const struct passwd *pEntry = getpwuid(geteuid());
    ASSERT_NE(nullptr, pEntry);
    const WString strUser = qvntest::Wide(pEntry->pw_name);
    Prov created;
    ASSERT_TRUE(CryptAcquireContextW(created.Out(), nullptr, kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    Prov byName;
    EXPECT_TRUE(Acquire(&byName, strUser.c_str()));
    Prov byEmpty;
    EXPECT_TRUE(Acquire(&byEmpty, u""));
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, nullptr, kAlderProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    ExpectAcquireFails(NTE_BAD_KEYSET, strUser.c_str(), kAlderProvider, PROV_RSA_FULL, 0);
}

TEST_F(AcquireContextTest, PromptedContainerFailsSilentlyButOpensOtherwise)
{
    Prov created;
    ASSERT_TRUE(CryptAcquireContextW(created.Out(), kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, kContainer, 0, TRUE));

    ExpectAcquireFails(NTE_SILENT_CONTEXT, kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_SILENT);
    Prov prompted;
    EXPECT_TRUE(Acquire(&prompted, kContainer));
    // The machine key set's container of that name is another container.
    ASSERT_TRUE(CryptAcquireContextW(created.Out(), kContainer, kAlderProvider, PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET));
    Prov machine;
    EXPECT_TRUE(Acquire(&machine, kContainer, CRYPT_SILENT | CRYPT_MACHINE_KEYSET));

    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, kContainer, 0, FALSE));
    Prov silent;
    EXPECT_TRUE(Acquire(&silent, kContainer, CRYPT_SILENT));
}

TEST_F(AcquireContextTest, PromptMarkSurvivesKeyChangesAndIsClearedByReset)
{
    ASSERT_TRUE(
        qvntest::CreateContainerWithKey(kAlderProvider, kContainer, AT_KEYEXCHANGE, qvntest::CachedTestKey(1024)));
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, kContainer, 0, TRUE));
    {
        Prov prov;
        ASSERT_TRUE(Acquire(&prov, kContainer));
        Key key;
        ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 512u << 16, key.Out()));
    }
    ExpectAcquireFails(NTE_SILENT_CONTEXT, kContainer, kAlderProvider, PROV_RSA_FULL, CRYPT_SILENT);
    QvnPlatformReset();
    Prov silent;
    EXPECT_TRUE(Acquire(&silent, kContainer, CRYPT_SILENT));
}

TEST_F(AcquireContextTest, PromptMarkNeedsAnExistingContainer)
{
    SetLastError(0);
    EXPECT_FALSE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, kContainer, 0, TRUE));
    EXPECT_EQ(Code(NTE_BAD_KEYSET), GetLastError());
    EXPECT_FALSE(QvnPlatformSetContainerNeedsPrompt(u"Quorvane Elm Cryptographic Provider", kContainer, 0, TRUE));
    EXPECT_EQ(Code(NTE_KEYSET_NOT_DEF), GetLastError());
}

TEST_F(AcquireContextTest, SilentVerificationContextNeverPrompts)
{
    Prov prov;
    EXPECT_TRUE(Acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT | CRYPT_SILENT));
}

TEST_F(AcquireContextTest, ReleaseWithFlagsReleasesButReportsBadFlags)
{
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, nullptr, kAlderProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    const LONG cContexts = QvnPlatformLiveContexts();
    EXPECT_FALSE(CryptReleaseContext(hProv, 1));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
    EXPECT_EQ(cContexts - 1, QvnPlatformLiveContexts());
    EXPECT_FALSE(CryptReleaseContext(hProv, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(AcquireContextTest, ReleaseOfUnknownHandlesIsInvalidParameter)
{
    for (HCRYPTPROV hProv : {HCRYPTPROV(0), HCRYPTPROV(0xdeadbeef), HCRYPTPROV(1)}) {
        EXPECT_FALSE(CryptReleaseContext(hProv, 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
}

TEST_F(AcquireContextTest, EveryContextGetsItsOwnHandle)
{
    Prov a, b;
    ASSERT_TRUE(Acquire(&a, nullptr, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(Acquire(&b, nullptr, CRYPT_VERIFYCONTEXT));
    EXPECT_NE(a.Get(), b.Get());
}

} // namespace
