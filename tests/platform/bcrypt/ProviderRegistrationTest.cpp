// BCryptRegisterProvider, BCryptUnregisterProvider and
// BCryptQueryProviderRegistration: what is registered reads back exactly,
// overwriting, removal, lookups and argument checks.
#include "RegistrationTestSupport.h"

#include <functional>

namespace bcrypt_test
{
namespace
{

TEST_F(RegistrationTest, RegisteredRecordReadsBackFieldByFieldInOneBuffer)
{
    ASSERT_EQ(STATUS_SUCCESS, Register(kSample, 0, Sample()));
    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              BCryptQueryProviderRegistration(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg));
    ASSERT_EQ(2u, pReg->cAliases);
    EXPECT_EQ(u"Sample Alias One", std::u16string(pReg->rgpszAliases[0]));
    EXPECT_EQ(u"Sample Alias Two", std::u16string(pReg->rgpszAliases[1]));
    EXPECT_EQ(nullptr, pReg->pKM);
    ASSERT_NE(nullptr, pReg->pUM);
    EXPECT_EQ(u"Sample.dll", std::u16string(pReg->pUM->pszImage));
    ASSERT_EQ(1u, pReg->pUM->cInterfaces); // only the interface asked for
    const CRYPT_INTERFACE_REG &keyStorage = *pReg->pUM->rgpInterfaces[0];
    EXPECT_EQ(static_cast<ULONG>(NCRYPT_KEY_STORAGE_INTERFACE), keyStorage.dwInterface);
    EXPECT_EQ(static_cast<ULONG>(CRYPT_LOCAL), keyStorage.dwFlags);
    ASSERT_EQ(1u, keyStorage.cFunctions);
    EXPECT_EQ(u"KEY_STORAGE", std::u16string(keyStorage.rgpszFunctions[0]));
    const BYTE *pbStart = reinterpret_cast<const BYTE *>(pReg);
    for (const void *pv : {static_cast<const void *>(pReg->rgpszAliases[1]), static_cast<const void *>(pReg->pUM),
                           static_cast<const void *>(keyStorage.rgpszFunctions[0])}) {
        EXPECT_GE(static_cast<const BYTE *>(pv), pbStart);
        EXPECT_LT(static_cast<const BYTE *>(pv), pbStart + cbBuffer);
    }
    BCryptFreeBuffer(pReg);
    BCryptFreeBuffer(nullptr);
}

TEST_F(RegistrationTest, QueryModeAndInterfaceSelectWhatIsReturned)
{
    ASSERT_EQ(STATUS_SUCCESS, Register(kSample, 0,
                                       Record({u"A"}, Image{u"Sample.dll", {{1, 2, {u"AES", u"3DES"}}, {2, 1, {}}}},
                                              Image{u"sample.sys", {{1, 1, {u"AES"}}}})));
    const std::string strUserAes = "[A] um Sample.dll { 1/2 [ AES 3DES ] }";
    const struct {
        LPCWSTR pszProvider;
        ULONG dwMode, dwInterface;
        std::string strExpected;
    } cases[] = {
        {kSample, CRYPT_UM, 1, strUserAes + " km -"},
        {kSample, CRYPT_KM, 1, "[A] um - km sample.sys { 1/1 [ AES ] }"},
        {kSample, CRYPT_MM, 1, strUserAes + " km sample.sys { 1/1 [ AES ] }"},
        {kSample, CRYPT_ANY, 1, strUserAes + " km sample.sys { 1/1 [ AES ] }"},
        {kSample, CRYPT_ANY, 2, "[A] um Sample.dll { 2/1 [ ] } km -"},
        {kSample, CRYPT_KM, 2, kNotFound}, // no kernel-mode image offers it
        {kSample, CRYPT_ANY, BCRYPT_RNG_INTERFACE, kNotFound},
        {u"Other Provider", CRYPT_UM, 1, kNotFound},
        {u"A", CRYPT_UM, 1, kNotFound},                          // an alias does not name the provider
        {u"SAMPLE PROVIDER", CRYPT_UM, 1, strUserAes + " km -"}, // letter case is ignored
        {u"Sample Provider ", CRYPT_UM, 1, kNotFound},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.strExpected, Query(c.pszProvider, c.dwMode, c.dwInterface))
            << Text(c.pszProvider) << " mode " << c.dwMode << " interface " << c.dwInterface;
    }
}

TEST_F(RegistrationTest, OverwriteReplacesTheWholeRecordAndUnregisterRemovesOne)
{
    EXPECT_EQ(STATUS_NOT_FOUND, BCryptUnregisterProvider(kSample));          // nothing in this store yet
    ASSERT_EQ(STATUS_SUCCESS, Register(kSample, CRYPT_OVERWRITE, Sample())); // absent: registered
    ASSERT_EQ(STATUS_SUCCESS, Register(u"Second Provider", 0, Sample()));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Register(kSample, 0, Record({}, Image{u"Other.dll", {{1, 1, {u"X"}}}})));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Register(u"sample provider", 0, Sample()));
    EXPECT_EQ(kSampleKeyStorage, Query(kSample));

    ASSERT_EQ(STATUS_SUCCESS, Register(kSample, CRYPT_OVERWRITE,
                                       Record({u"Only Alias"}, Image{u"Other.dll", {{0x10001, CRYPT_DOMAIN, {}}}})));
    EXPECT_EQ("[Only Alias] um Other.dll { 10001/2 [ ] } km -", Query(kSample, CRYPT_ANY));
    EXPECT_EQ(kNotFound, Query(kSample, CRYPT_ANY, BCRYPT_CIPHER_INTERFACE)); // went with the old record

    EXPECT_EQ(STATUS_NOT_FOUND, BCryptUnregisterProvider(u"Sample Alias One"));
    EXPECT_EQ(STATUS_SUCCESS, BCryptUnregisterProvider(u"sAMPLE pROVIDER"));
    EXPECT_EQ(STATUS_NOT_FOUND, BCryptUnregisterProvider(kSample));
    EXPECT_EQ(kNotFound, Query(kSample, CRYPT_ANY));
    EXPECT_EQ(kSampleKeyStorage, Query(u"Second Provider"));
}

TEST_F(RegistrationTest, InvalidArgumentsAreRefusedAndChangeNothing)
{
    ASSERT_EQ(STATUS_SUCCESS, Register(kSample, 0, Sample()));
    const std::u16string strTooLong(256, u'n');
    auto none = [](CRYPT_PROVIDER_REG &) {};
    const struct {
        const char *pszWhat;
        LPCWSTR pszProvider;
        ULONG dwFlags;
        std::function<void(CRYPT_PROVIDER_REG &)> spoil;
    } cases[] = {
        {"null name", nullptr, 0, none},
        {"empty name", u"", 0, none},
        {"backslash in name", u"New\\Provider", 0, none},
        {"name of 256 characters", strTooLong.c_str(), 0, none},
        {"unknown flag", kSample, CRYPT_OVERWRITE | 0x100, none},
        {"no image", u"New", 0, [](CRYPT_PROVIDER_REG &reg) { reg.pUM = nullptr; }},
        {"aliases counted, array null", u"New", 0, [](CRYPT_PROVIDER_REG &reg) { reg.rgpszAliases = nullptr; }},
        {"empty alias", u"New", 0, [](CRYPT_PROVIDER_REG &reg) { reg.rgpszAliases[0][0] = 0; }},
        {"null image name", kSample, CRYPT_OVERWRITE, [](CRYPT_PROVIDER_REG &reg) { reg.pUM->pszImage = nullptr; }},
        {"null interface", u"New", 0, [](CRYPT_PROVIDER_REG &reg) { reg.pUM->rgpInterfaces[1] = nullptr; }},
        {"null function", u"New", 0,
         [](CRYPT_PROVIDER_REG &reg) { reg.pUM->rgpInterfaces[1]->rgpszFunctions[1] = nullptr; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszWhat);
        Record record = Sample();
        c.spoil(*record.Get());
        EXPECT_EQ(STATUS_INVALID_PARAMETER, BCryptRegisterProvider(c.pszProvider, c.dwFlags, record.Get()));
        EXPECT_EQ(kNotFound, Query(u"New"));
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, BCryptRegisterProvider(u"New", 0, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, BCryptUnregisterProvider(nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, BCryptUnregisterProvider(u""));
    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, BCryptQueryProviderRegistration(nullptr, CRYPT_UM, 1, &cbBuffer, &pReg));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, BCryptQueryProviderRegistration(kSample, CRYPT_UM, 1, nullptr, &pReg));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, BCryptQueryProviderRegistration(kSample, 0, 1, &cbBuffer, &pReg));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, BCryptQueryProviderRegistration(kSample, 5, 1, &cbBuffer, &pReg));
    EXPECT_EQ(nullptr, pReg);
    EXPECT_EQ(0u, cbBuffer);
    EXPECT_EQ(kSampleKeyStorage, Query(kSample));
}

} // namespace
} // namespace bcrypt_test
