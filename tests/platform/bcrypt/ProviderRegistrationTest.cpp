// BCryptRegisterProvider, BCryptUnregisterProvider and
// BCryptQueryProviderRegistration: what is registered reads back exactly,
// overwriting, removal, lookups by name, argument checks and the buffer forms
// of the query.
#include "RegistrationTestSupport.h"

#include <cstring>
#include <functional>

namespace bcrypt_test
{
namespace
{

constexpr LPCWSTR kSample = TEXT("Sample Provider");

TEST_F(RegistrationTest, RegisteredRecordReadsBackFieldByField)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));

    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    ASSERT_NT(STATUS_SUCCESS,
              BCryptQueryProviderRegistration(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg));
    ASSERT_NE(nullptr, pReg);
    EXPECT_GE(cbBuffer, sizeof(CRYPT_PROVIDER_REG));

    ASSERT_EQ(2u, pReg->cAliases);
    EXPECT_EQ(u"Sample Alias One", std::u16string(pReg->rgpszAliases[0]));
    EXPECT_EQ(u"Sample Alias Two", std::u16string(pReg->rgpszAliases[1]));
    EXPECT_EQ(nullptr, pReg->pKM);
    ASSERT_NE(nullptr, pReg->pUM);
    EXPECT_EQ(u"Sample.dll", std::u16string(pReg->pUM->pszImage));
    // Only the interface asked for.
    ASSERT_EQ(1u, pReg->pUM->cInterfaces);
    const CRYPT_INTERFACE_REG &keyStorage = *pReg->pUM->rgpInterfaces[0];
    EXPECT_EQ(static_cast<ULONG>(NCRYPT_KEY_STORAGE_INTERFACE), keyStorage.dwInterface);
    EXPECT_EQ(static_cast<ULONG>(CRYPT_LOCAL), keyStorage.dwFlags);
    ASSERT_EQ(1u, keyStorage.cFunctions);
    EXPECT_EQ(u"KEY_STORAGE", std::u16string(keyStorage.rgpszFunctions[0]));

    // Everything the record points to lies inside the one buffer.
    const BYTE *pbStart = reinterpret_cast<const BYTE *>(pReg);
    const BYTE *pbEnd = pbStart + cbBuffer;
    for (const void *pv : {static_cast<const void *>(pReg->rgpszAliases[1]), static_cast<const void *>(pReg->pUM),
                           static_cast<const void *>(keyStorage.rgpszFunctions[0])}) {
        EXPECT_GE(static_cast<const BYTE *>(pv), pbStart);
        EXPECT_LT(static_cast<const BYTE *>(pv), pbEnd);
    }
    BCryptFreeBuffer(pReg);

    NTSTATUS status = 0;
    ProviderSpec cipher = Query(kSample, CRYPT_UM, BCRYPT_CIPHER_INTERFACE, &status);
    ASSERT_NT(STATUS_SUCCESS, status);
    ASSERT_TRUE(cipher.userMode.has_value());
    ASSERT_EQ(1u, cipher.userMode->interfaces.size());
    EXPECT_EQ((InterfaceSpec{BCRYPT_CIPHER_INTERFACE, CRYPT_DOMAIN, {u"AES", u"3DES"}}),
              cipher.userMode->interfaces[0]);
}

TEST_F(RegistrationTest, QueryModeSelectsTheImages)
{
    ProviderSpec spec = SampleProvider();
    spec.kernelMode = ImageSpec{u"sample.sys", {InterfaceSpec{BCRYPT_CIPHER_INTERFACE, CRYPT_LOCAL, {u"AES"}}}};
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, spec));

    const ImageSpec userCipher{u"Sample.dll", {spec.userMode->interfaces[1]}};
    const ImageSpec kernelCipher = *spec.kernelMode;
    struct Case {
        ULONG dwMode;
        std::optional<ImageSpec> userMode;
        std::optional<ImageSpec> kernelMode;
    };
    const Case cases[] = {
        {CRYPT_UM, userCipher, std::nullopt},
        {CRYPT_KM, std::nullopt, kernelCipher},
        {CRYPT_MM, userCipher, kernelCipher},
        {CRYPT_ANY, userCipher, kernelCipher},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.dwMode);
        NTSTATUS status = 0;
        ProviderSpec result = Query(kSample, c.dwMode, BCRYPT_CIPHER_INTERFACE, &status);
        ASSERT_NT(STATUS_SUCCESS, status);
        EXPECT_EQ(spec.aliases, result.aliases);
        EXPECT_EQ(c.userMode, result.userMode);
        EXPECT_EQ(c.kernelMode, result.kernelMode);
    }
}

TEST_F(RegistrationTest, QueryOfWhatNoImageOffersIsNotFound)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));
    struct Case {
        LPCWSTR pszProvider;
        ULONG dwMode;
        ULONG dwInterface;
    };
    const Case cases[] = {
        {TEXT("Other Provider"), CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE}, // not registered
        {kSample, CRYPT_KM, NCRYPT_KEY_STORAGE_INTERFACE},                // no kernel-mode image
        {kSample, CRYPT_UM, BCRYPT_HASH_INTERFACE},                       // interface not offered
        {kSample, CRYPT_ANY, BCRYPT_RNG_INTERFACE},
        {TEXT("Sample Alias One"), CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE}, // an alias is not a provider name
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Narrow(c.pszProvider) + " mode " + std::to_string(c.dwMode));
        ULONG cbBuffer = 0x5A5A;
        PCRYPT_PROVIDER_REG pReg = nullptr;
        EXPECT_NT(STATUS_NOT_FOUND,
                  BCryptQueryProviderRegistration(c.pszProvider, c.dwMode, c.dwInterface, &cbBuffer, &pReg));
        EXPECT_EQ(nullptr, pReg);
        EXPECT_EQ(0x5A5Au, cbBuffer);
    }
}

TEST_F(RegistrationTest, OverwriteReplacesTheWholeRecord)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));

    ProviderSpec replacement;
    replacement.aliases = {u"Only Alias"};
    replacement.userMode = ImageSpec{u"Other.dll", {InterfaceSpec{NCRYPT_KEY_STORAGE_INTERFACE, CRYPT_DOMAIN, {}}}};
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, CRYPT_OVERWRITE, replacement));

    NTSTATUS status = 0;
    EXPECT_EQ(replacement, Query(kSample, CRYPT_ANY, NCRYPT_KEY_STORAGE_INTERFACE, &status));
    EXPECT_NT(STATUS_SUCCESS, status);
    // The cipher interface of the first registration went with it.
    Query(kSample, CRYPT_ANY, BCRYPT_CIPHER_INTERFACE, &status);
    EXPECT_NT(STATUS_NOT_FOUND, status);
}

TEST_F(RegistrationTest, OverwriteOfAnAbsentProviderRegistersIt)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, CRYPT_OVERWRITE, SampleProvider()));
    NTSTATUS status = 0;
    EXPECT_EQ(SampleProvider().aliases, Query(kSample, CRYPT_UM, BCRYPT_CIPHER_INTERFACE, &status).aliases);
    EXPECT_NT(STATUS_SUCCESS, status);
}

TEST_F(RegistrationTest, RegisteringATakenNameWithoutOverwriteFailsAndKeepsTheRecord)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));
    ProviderSpec other;
    other.userMode = ImageSpec{u"Other.dll", {InterfaceSpec{NCRYPT_KEY_STORAGE_INTERFACE, CRYPT_LOCAL, {u"X"}}}};

    EXPECT_NT(STATUS_OBJECT_NAME_COLLISION, Register(kSample, 0, other));

    NTSTATUS status = 0;
    ProviderSpec result = Query(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    ASSERT_NT(STATUS_SUCCESS, status);
    EXPECT_EQ(SampleProvider().aliases, result.aliases);
    EXPECT_EQ(u"Sample.dll", result.userMode->strImage);
}

TEST_F(RegistrationTest, UnregisterRemovesOnlyThatProvider)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));
    ASSERT_NT(STATUS_SUCCESS, Register(TEXT("Second Provider"), 0, SampleProvider()));

    EXPECT_NT(STATUS_SUCCESS, BCryptUnregisterProvider(kSample));
    EXPECT_NT(STATUS_NOT_FOUND, BCryptUnregisterProvider(kSample));

    NTSTATUS status = 0;
    Query(kSample, CRYPT_ANY, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    EXPECT_NT(STATUS_NOT_FOUND, status);
    ProviderSpec second = Query(TEXT("Second Provider"), CRYPT_ANY, BCRYPT_CIPHER_INTERFACE, &status);
    EXPECT_NT(STATUS_SUCCESS, status);
    EXPECT_EQ(SampleProvider().aliases, second.aliases);
}

TEST_F(RegistrationTest, UnregisterOfWhatWasNeverRegisteredIsNotFound)
{
    // Nothing at all in this store yet, then a store with another provider.
    EXPECT_NT(STATUS_NOT_FOUND, BCryptUnregisterProvider(kSample));
    ASSERT_NT(STATUS_SUCCESS, Register(TEXT("Second Provider"), 0, SampleProvider()));
    EXPECT_NT(STATUS_NOT_FOUND, BCryptUnregisterProvider(kSample));
    // An alias does not name the provider.
    EXPECT_NT(STATUS_NOT_FOUND, BCryptUnregisterProvider(TEXT("Sample Alias One")));
}

TEST_F(RegistrationTest, ProviderNamesIgnoreLetterCaseLikeRegistryKeys)
{
    ASSERT_NT(STATUS_SUCCESS, Register(TEXT("Sample Provider"), 0, SampleProvider()));

    NTSTATUS status = 0;
    Query(TEXT("SAMPLE PROVIDER"), CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    EXPECT_NT(STATUS_SUCCESS, status);
    EXPECT_NT(STATUS_OBJECT_NAME_COLLISION, Register(TEXT("sample provider"), 0, SampleProvider()));
    // Only letters fold: a different character is a different name.
    Query(TEXT("Sample_Provider"), CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    EXPECT_NT(STATUS_NOT_FOUND, status);
    Query(TEXT("Sample Provider "), CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    EXPECT_NT(STATUS_NOT_FOUND, status);

    EXPECT_NT(STATUS_SUCCESS, BCryptUnregisterProvider(TEXT("sAMPLE pROVIDER")));
    Query(TEXT("Sample Provider"), CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    EXPECT_NT(STATUS_NOT_FOUND, status);
}

TEST_F(RegistrationTest, NamesAndStringsSurviveExactly)
{
    // Characters outside ASCII, and the longest name a registry key can have.
    const std::u16string strLongName(255, u'n');
    ProviderSpec spec;
    spec.aliases = {u"\u00c4lder \u4e2d\u6587", u"x"};
    spec.userMode =
        ImageSpec{u"C:\\Program Files\\Q\u00fc\\P.dll", {InterfaceSpec{0xFFFFFFFFu, 0x80000003u, {u"F\u00e9", u"G"}}}};
    ASSERT_NT(STATUS_SUCCESS, Register(strLongName.c_str(), 0, spec));

    NTSTATUS status = 0;
    EXPECT_EQ(spec, Query(strLongName.c_str(), CRYPT_UM, 0xFFFFFFFFu, &status));
    EXPECT_NT(STATUS_SUCCESS, status);
}

TEST_F(RegistrationTest, InvalidRegistrationsAreRefusedAndStoreNothing)
{
    const std::u16string strTooLong(256, u'n');
    struct Case {
        const char *pszWhat;
        LPCWSTR pszProvider;
        ULONG dwFlags;
        std::function<void(CRYPT_PROVIDER_REG &)> spoil;
        bool fNullRecord;
    };
    auto none = [](CRYPT_PROVIDER_REG &) {};
    const Case cases[] = {
        {"null name", nullptr, 0, none, false},
        {"empty name", TEXT(""), 0, none, false},
        {"backslash in name", TEXT("Sample\\Provider"), 0, none, false},
        {"name of 256 characters", strTooLong.c_str(), 0, none, false},
        {"null record", kSample, 0, none, true},
        {"unknown flag", kSample, 0x2, none, false},
        {"unknown flag with overwrite", kSample, CRYPT_OVERWRITE | 0x100, none, false},
        {"no image", kSample, 0, [](CRYPT_PROVIDER_REG &reg) { reg.pUM = nullptr; }, false},
        {"aliases counted, array null", kSample, 0, [](CRYPT_PROVIDER_REG &reg) { reg.rgpszAliases = nullptr; }, false},
        {"null alias", kSample, 0, [](CRYPT_PROVIDER_REG &reg) { reg.rgpszAliases[1] = nullptr; }, false},
        {"empty alias", kSample, 0, [](CRYPT_PROVIDER_REG &reg) { reg.rgpszAliases[0] = const_cast<PWSTR>(u""); },
         false},
        {"null image name", kSample, 0, [](CRYPT_PROVIDER_REG &reg) { reg.pUM->pszImage = nullptr; }, false},
        {"interfaces counted, array null", kSample, 0,
         [](CRYPT_PROVIDER_REG &reg) { reg.pUM->rgpInterfaces = nullptr; }, false},
        {"null interface", kSample, 0, [](CRYPT_PROVIDER_REG &reg) { reg.pUM->rgpInterfaces[1] = nullptr; }, false},
        {"functions counted, array null", kSample, 0,
         [](CRYPT_PROVIDER_REG &reg) { reg.pUM->rgpInterfaces[0]->rgpszFunctions = nullptr; }, false},
        {"null function", kSample, 0,
         [](CRYPT_PROVIDER_REG &reg) { reg.pUM->rgpInterfaces[1]->rgpszFunctions[1] = nullptr; }, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszWhat);
        CryptRecord record(SampleProvider());
        c.spoil(*record.Get());
        EXPECT_NT(STATUS_INVALID_PARAMETER,
                  BCryptRegisterProvider(c.pszProvider, c.dwFlags, c.fNullRecord ? nullptr : record.Get()));
        NTSTATUS status = 0;
        Query(kSample, CRYPT_ANY, NCRYPT_KEY_STORAGE_INTERFACE, &status);
        EXPECT_NT(STATUS_NOT_FOUND, status);
    }
}

TEST_F(RegistrationTest, InvalidRegistrationLeavesAnExistingOneAlone)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));
    CryptRecord record(SampleProvider());
    record.Get()->pUM->pszImage = nullptr;
    EXPECT_NT(STATUS_INVALID_PARAMETER, BCryptRegisterProvider(kSample, CRYPT_OVERWRITE, record.Get()));

    NTSTATUS status = 0;
    ProviderSpec result = Query(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    ASSERT_NT(STATUS_SUCCESS, status);
    EXPECT_EQ(u"Sample.dll", result.userMode->strImage);
}

TEST_F(RegistrationTest, UnregisterAndQueryRefuseInvalidArguments)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));
    EXPECT_NT(STATUS_INVALID_PARAMETER, BCryptUnregisterProvider(nullptr));
    EXPECT_NT(STATUS_INVALID_PARAMETER, BCryptUnregisterProvider(TEXT("")));

    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    EXPECT_NT(STATUS_INVALID_PARAMETER,
              BCryptQueryProviderRegistration(nullptr, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg));
    EXPECT_NT(STATUS_INVALID_PARAMETER,
              BCryptQueryProviderRegistration(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, nullptr, &pReg));
    for (ULONG dwMode : {0u, 5u, 0x101u}) {
        SCOPED_TRACE(dwMode);
        EXPECT_NT(STATUS_INVALID_PARAMETER,
                  BCryptQueryProviderRegistration(kSample, dwMode, NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg));
    }
    EXPECT_EQ(nullptr, pReg);
    EXPECT_EQ(0u, cbBuffer);

    // The registration is still there.
    NTSTATUS status = 0;
    Query(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    EXPECT_NT(STATUS_SUCCESS, status);
}

TEST_F(RegistrationTest, QueryIntoTheCallersBuffer)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));

    // No buffer at all: the size only.
    ULONG cbNeeded = 0;
    ASSERT_NT(STATUS_BUFFER_TOO_SMALL,
              BCryptQueryProviderRegistration(kSample, CRYPT_UM, BCRYPT_CIPHER_INTERFACE, &cbNeeded, nullptr));
    ASSERT_GT(cbNeeded, sizeof(CRYPT_PROVIDER_REG));

    // One byte short: the size again, and the buffer untouched.
    std::vector<uint64_t> storage(cbNeeded / sizeof(uint64_t) + 1);
    BYTE *pbStorage = reinterpret_cast<BYTE *>(storage.data());
    std::memset(pbStorage, 0xCD, cbNeeded);
    PCRYPT_PROVIDER_REG pReg = reinterpret_cast<PCRYPT_PROVIDER_REG>(pbStorage);
    ULONG cbBuffer = cbNeeded - 1;
    ASSERT_NT(STATUS_BUFFER_TOO_SMALL,
              BCryptQueryProviderRegistration(kSample, CRYPT_UM, BCRYPT_CIPHER_INTERFACE, &cbBuffer, &pReg));
    EXPECT_EQ(cbNeeded, cbBuffer);
    EXPECT_EQ(reinterpret_cast<PCRYPT_PROVIDER_REG>(pbStorage), pReg);
    for (ULONG i = 0; i < cbNeeded; ++i) {
        ASSERT_EQ(0xCD, pbStorage[i]) << "byte " << i;
    }

    // Exactly large enough.
    cbBuffer = cbNeeded;
    ASSERT_NT(STATUS_SUCCESS,
              BCryptQueryProviderRegistration(kSample, CRYPT_UM, BCRYPT_CIPHER_INTERFACE, &cbBuffer, &pReg));
    EXPECT_EQ(cbNeeded, cbBuffer);
    EXPECT_EQ(reinterpret_cast<PCRYPT_PROVIDER_REG>(pbStorage), pReg);
    ProviderSpec expected = SampleProvider();
    expected.userMode->interfaces.erase(expected.userMode->interfaces.begin());
    EXPECT_EQ(expected, ReadBack(*pReg));

    // The buffer that the query allocates has the same size.
    PCRYPT_PROVIDER_REG pAllocated = nullptr;
    cbBuffer = 0;
    ASSERT_NT(STATUS_SUCCESS,
              BCryptQueryProviderRegistration(kSample, CRYPT_UM, BCRYPT_CIPHER_INTERFACE, &cbBuffer, &pAllocated));
    EXPECT_EQ(cbNeeded, cbBuffer);
    EXPECT_EQ(expected, ReadBack(*pAllocated));
    BCryptFreeBuffer(pAllocated);
}

TEST_F(RegistrationTest, RecordWithoutAliasesOrFunctionsHasNullArrays)
{
    ProviderSpec spec;
    spec.userMode = ImageSpec{u"Bare.dll", {InterfaceSpec{NCRYPT_KEY_STORAGE_INTERFACE, CRYPT_LOCAL, {}}}};
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, spec));

    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    ASSERT_NT(STATUS_SUCCESS,
              BCryptQueryProviderRegistration(kSample, CRYPT_ANY, NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg));
    EXPECT_EQ(0u, pReg->cAliases);
    EXPECT_EQ(nullptr, pReg->rgpszAliases);
    EXPECT_EQ(nullptr, pReg->pKM);
    ASSERT_EQ(1u, pReg->pUM->cInterfaces);
    EXPECT_EQ(0u, pReg->pUM->rgpInterfaces[0]->cFunctions);
    EXPECT_EQ(nullptr, pReg->pUM->rgpInterfaces[0]->rgpszFunctions);
    BCryptFreeBuffer(pReg);
    BCryptFreeBuffer(nullptr);
}

} // namespace
} // namespace bcrypt_test
