// Provider objects: the key map that every provider object keeps
// (GetKey, FreeKey, teardown), and the key storage provider's own object with
// its three properties and empty algorithm list.
#include "PrivateAccess.h"
#include "UnitFakes.h"
#include "UnitTestSupport.h"

#include "ksp/KspInterface.h"
#include "provider/KspProviderContext.h"

#include <algorithm>
#include <array>
#include <memory>

namespace
{

using unit::FakeKey;
using unit::FakeProvider;
using unit::Journal;
using unit::JournalEntry;
using unit::StatusOf;

class KspBaseProviderContext : public unit::ModuleTest
{
};

TEST_F(KspBaseProviderContext, HandlesAreTheObjectsOwnAddresses)
{
    FakeProvider provider(nullptr);
    EXPECT_EQ(reinterpret_cast<NCRYPT_PROV_HANDLE>(&provider), provider.GetHandle());
    FakeKey *pKey = new FakeKey(nullptr);
    EXPECT_EQ(reinterpret_cast<NCRYPT_KEY_HANDLE>(pKey), pKey->GetHandle());
    EXPECT_EQ(pKey->GetHandle(), provider.AddKey(pKey));
}

TEST_F(KspBaseProviderContext, GetKeyFindsOnlyKeysOfThisProvider)
{
    FakeProvider providerA(nullptr);
    FakeProvider providerB(nullptr);
    FakeKey *pKey = new FakeKey(nullptr);
    const NCRYPT_KEY_HANDLE hKey = providerA.AddKey(pKey);

    CKspBaseKeyContext *pFound = nullptr;
    EXPECT_STATUS(0, StatusOf([&] { pFound = providerA.GetKey(hKey); }));
    EXPECT_EQ(pKey, pFound);

    // Never dereferenced: a neighbour of a live key and small values are
    // only keys that are not in the map.
    for (NCRYPT_KEY_HANDLE hOther : {hKey + 1, hKey - 1, hKey + sizeof(void *), NCRYPT_KEY_HANDLE(0),
                                     NCRYPT_KEY_HANDLE(1), ~NCRYPT_KEY_HANDLE(0)}) {
        EXPECT_STATUS(NTE_INVALID_HANDLE, StatusOf([&] { providerA.GetKey(hOther); })) << hOther;
        EXPECT_STATUS(NTE_INVALID_HANDLE, StatusOf([&] { providerA.FreeKey(hOther); })) << hOther;
    }
    // The key exists, but not under the other provider.
    EXPECT_STATUS(NTE_INVALID_HANDLE, StatusOf([&] { providerB.GetKey(hKey); }));
    EXPECT_STATUS(NTE_INVALID_HANDLE, StatusOf([&] { providerB.FreeKey(hKey); }));
    EXPECT_EQ(1u, unit::KeysOf(providerA).size());
}

TEST_F(KspBaseProviderContext, NullEntryIsAnInternalErrorAndStays)
{
    FakeProvider provider(nullptr);
    unit::KeysOf(provider)[0x1230] = nullptr;
    EXPECT_STATUS(NTE_INTERNAL_ERROR, StatusOf([&] { provider.GetKey(0x1230); }));
    EXPECT_STATUS(NTE_INTERNAL_ERROR, StatusOf([&] { provider.FreeKey(0x1230); }));
    EXPECT_EQ(1u, unit::KeysOf(provider).count(0x1230));
    // Teardown passes over the null entry.
    provider.FreeAllKeys();
    EXPECT_TRUE(unit::KeysOf(provider).empty());
}

TEST_F(KspBaseProviderContext, FreeKeyErasesThenClosesThenDestroys)
{
    Journal journal;
    FakeProvider provider(&journal);
    FakeKey *pKey = new FakeKey(&journal);
    const NCRYPT_KEY_HANDLE hKey = provider.AddKey(pKey);

    EXPECT_STATUS(0, StatusOf([&] { provider.FreeKey(hKey); }));
    EXPECT_EQ((Journal{{"key closed", hKey}, {"key destroyed", hKey}}), journal);
    EXPECT_TRUE(unit::KeysOf(provider).empty());

    EXPECT_STATUS(NTE_INVALID_HANDLE, StatusOf([&] { provider.FreeKey(hKey); }));
    EXPECT_STATUS(NTE_INVALID_HANDLE, StatusOf([&] { provider.GetKey(hKey); }));
    EXPECT_EQ(2u, journal.size());
}

TEST_F(KspBaseProviderContext, TwoKeysAreIndependent)
{
    Journal journal;
    FakeProvider provider(&journal);
    const NCRYPT_KEY_HANDLE hFirst = provider.AddKey(new FakeKey(&journal));
    const NCRYPT_KEY_HANDLE hSecond = provider.AddKey(new FakeKey(&journal));
    EXPECT_NE(hFirst, hSecond);
    EXPECT_STATUS(0, StatusOf([&] { provider.FreeKey(hFirst); }));
    CKspBaseKeyContext *pSecond = nullptr;
    EXPECT_STATUS(0, StatusOf([&] { pSecond = provider.GetKey(hSecond); }));
    EXPECT_EQ(hSecond, pSecond->GetHandle());
}

TEST_F(KspBaseProviderContext, DestructionDestroysKeysInAscendingHandleOrderWithoutClose)
{
    Journal journal;
    std::unique_ptr<FakeProvider> pProvider(new FakeProvider(&journal));
    const NCRYPT_PROV_HANDLE hProvider = pProvider->GetHandle();
    std::array<NCRYPT_KEY_HANDLE, 5> rghKeys;
    for (NCRYPT_KEY_HANDLE &hKey : rghKeys) {
        hKey = pProvider->AddKey(new FakeKey(&journal));
    }
    std::sort(rghKeys.begin(), rghKeys.end());

    pProvider.reset();

    Journal expected{{"provider destroyed", hProvider}};
    for (NCRYPT_KEY_HANDLE hKey : rghKeys) {
        expected.push_back({"key destroyed", hKey});
    }
    EXPECT_EQ(expected, journal);
}

TEST_F(KspBaseProviderContext, EnteringAKeyWithoutMemoryIsNoMemory)
{
    FakeProvider provider(nullptr);
    std::unique_ptr<FakeKey> pKey(new FakeKey(nullptr));
    LONG lStatus = 0;
    {
        unit::ScopedMallocFailure failure(1); // the map node
        lStatus = StatusOf([&] { provider.AddKey(pKey.get()); });
    }
    EXPECT_STATUS(NTE_NO_MEMORY, lStatus);
    EXPECT_TRUE(unit::KeysOf(provider).empty());
}

// ---- The key storage provider's own provider object ----------------------------------------------

class KspProviderContext : public unit::ModuleTest
{
protected:
    CKspProviderContext m_provider{KSP_WSTRING(unit::kKspName)};
};

struct PropertyCase {
    LPCWSTR pszName;
    std::array<BYTE, 4> rgbValue;
};

const PropertyCase kProperties[] = {
    {TEXT("Impl Type"), {0x00, 0x00, 0x00, 0x00}},
    {TEXT("Version"), {0x00, 0x00, 0x01, 0x00}},
    {TEXT("Max Name Length"), {0x04, 0x01, 0x00, 0x00}},
};

TEST_F(KspProviderContext, AnswersItsThreePropertiesAsFourLittleEndianBytes)
{
    for (const PropertyCase &c : kProperties) {
        for (DWORD dwFlags : {0u, 1u, 0x40u, 0xFFFFFFFFu}) {
            BYTE rgb[9];
            std::fill(std::begin(rgb), std::end(rgb), 0xEE);
            DWORD cbResult = 0xABCD;
            // Written at an odd address: no alignment is required.
            EXPECT_STATUS(0,
                          StatusOf([&] { m_provider.GetProviderProperty(c.pszName, rgb + 1, 8, &cbResult, dwFlags); }))
                << unit::Narrow(c.pszName);
            EXPECT_EQ(4u, cbResult);
            EXPECT_EQ(0xEE, rgb[0]);
            EXPECT_TRUE(std::equal(c.rgbValue.begin(), c.rgbValue.end(), rgb + 1)) << unit::Narrow(c.pszName);
            for (int i = 5; i < 9; ++i) {
                EXPECT_EQ(0xEE, rgb[i]) << "byte " << i - 1 << " beyond the value";
            }
        }
    }
}

TEST_F(KspProviderContext, SizeQueryAndShortBuffer)
{
    for (const PropertyCase &c : kProperties) {
        DWORD cbResult = 0xABCD;
        EXPECT_STATUS(0, StatusOf([&] { m_provider.GetProviderProperty(c.pszName, nullptr, 0, &cbResult, 0); }));
        EXPECT_EQ(4u, cbResult);

        BYTE rgb[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        cbResult = 0xABCD;
        EXPECT_STATUS(NTE_INVALID_PARAMETER,
                      StatusOf([&] { m_provider.GetProviderProperty(c.pszName, rgb, 3, &cbResult, 0); }));
        EXPECT_EQ(4u, cbResult) << "the size is set even when the buffer is short";
        EXPECT_EQ(std::vector<BYTE>(4, 0xEE), std::vector<BYTE>(rgb, rgb + 4));

        cbResult = 0xABCD;
        EXPECT_STATUS(NTE_INVALID_PARAMETER,
                      StatusOf([&] { m_provider.GetProviderProperty(c.pszName, rgb, 0, &cbResult, 0); }));
        EXPECT_EQ(4u, cbResult);
    }
}

TEST_F(KspProviderContext, OtherNamesAreNotSupportedAndWriteNothing)
{
    const LPCWSTR rgpszNames[] = {
        TEXT("impl type"), TEXT("Impl Type "), TEXT("Version "), TEXT("version"),        TEXT("Max Name Length "),
        TEXT("Max Name"),  TEXT(""),           TEXT("Name"),     TEXT("Security Descr"), TEXT("Enabled Use Count"),
    };
    for (LPCWSTR pszName : rgpszNames) {
        BYTE rgb[8];
        std::fill(std::begin(rgb), std::end(rgb), 0xEE);
        DWORD cbResult = 0xABCD;
        EXPECT_STATUS(NTE_NOT_SUPPORTED,
                      StatusOf([&] { m_provider.GetProviderProperty(pszName, rgb, sizeof(rgb), &cbResult, 0); }))
            << unit::Narrow(pszName);
        EXPECT_EQ(0xABCDu, cbResult);
        EXPECT_EQ(std::vector<BYTE>(8, 0xEE), std::vector<BYTE>(rgb, rgb + 8));
    }
}

TEST_F(KspProviderContext, NullNameOrNullSizeIsInvalidParameterWhateverTheName)
{
    BYTE rgb[8];
    std::fill(std::begin(rgb), std::end(rgb), 0xEE);
    DWORD cbResult = 0xABCD;
    EXPECT_STATUS(NTE_INVALID_PARAMETER,
                  StatusOf([&] { m_provider.GetProviderProperty(nullptr, rgb, sizeof(rgb), &cbResult, 0); }));
    EXPECT_EQ(0xABCDu, cbResult);

    // The size pointer is checked before the name is looked at.
    for (LPCWSTR pszName : {TEXT("Unknown"), TEXT("Version"), TEXT("Impl Type")}) {
        EXPECT_STATUS(NTE_INVALID_PARAMETER,
                      StatusOf([&] { m_provider.GetProviderProperty(pszName, rgb, sizeof(rgb), nullptr, 0); }))
            << unit::Narrow(pszName);
    }
    EXPECT_EQ(std::vector<BYTE>(8, 0xEE), std::vector<BYTE>(rgb, rgb + 8));
}

TEST_F(KspProviderContext, CopyPropertyValueSetsTheSizeFirst)
{
    const DWORD dwValue = 0x11223344;
    DWORD cbResult = 0;
    BYTE rgb[2] = {0xEE, 0xEE};
    EXPECT_STATUS(NTE_INVALID_PARAMETER, StatusOf([&] { CopyPropertyValue(dwValue, rgb, 2, &cbResult); }));
    EXPECT_EQ(4u, cbResult);
    EXPECT_EQ(0xEE, rgb[0]);

    BYTE rgbOut[4] = {};
    cbResult = 0;
    EXPECT_STATUS(0, StatusOf([&] { CopyPropertyValue(dwValue, rgbOut, 4, &cbResult); }));
    EXPECT_EQ(4u, cbResult);
    EXPECT_EQ((std::vector<BYTE>{0x44, 0x33, 0x22, 0x11}), std::vector<BYTE>(rgbOut, rgbOut + 4));
}

TEST_F(KspProviderContext, EnumeratesNoAlgorithmsAndAllocatesNothing)
{
    NCryptAlgorithmName *const pUntouched = reinterpret_cast<NCryptAlgorithmName *>(0x77);
    for (DWORD dwOperations : {0u, 1u, 2u, 4u, 8u, 0x10u, 0x1Fu, 0xFFFFFFFFu}) {
        for (DWORD dwFlags : {0u, 0x40u, 0xFFFFFFFFu}) {
            DWORD cAlgorithms = 0xABCD;
            NCryptAlgorithmName *pList = pUntouched;
            QvnPlatformResetModuleCounters();
            EXPECT_STATUS(0, StatusOf([&] { m_provider.EnumAlgorithms(dwOperations, &cAlgorithms, &pList, dwFlags); }));
            EXPECT_EQ(0u, QvnPlatformModuleMallocCount());
            EXPECT_EQ(0u, cAlgorithms);
            EXPECT_EQ(pUntouched, pList) << "the list is neither read nor written";

            cAlgorithms = 0xABCD;
            EXPECT_STATUS(0,
                          StatusOf([&] { m_provider.EnumAlgorithms(dwOperations, &cAlgorithms, nullptr, dwFlags); }));
            EXPECT_EQ(0u, cAlgorithms);
        }
    }
    NCryptAlgorithmName *pList = pUntouched;
    EXPECT_STATUS(NTE_INVALID_PARAMETER, StatusOf([&] { m_provider.EnumAlgorithms(0, nullptr, &pList, 0); }));
    EXPECT_EQ(pUntouched, pList);
}

TEST_F(KspProviderContext, OpensNoKeysWhateverTheArguments)
{
    struct Case {
        LPCWSTR pszKeyName;
        DWORD dwKeySpec;
        DWORD dwFlags;
    } const rgCases[] = {
        {TEXT("key"), AT_KEYEXCHANGE, 0},
        {TEXT("key"), AT_SIGNATURE, 0x40},
        {nullptr, 0, 0},
        {nullptr, 7, 0xFFFFFFFF},
    };
    for (const Case &c : rgCases) {
        EXPECT_STATUS(NTE_NOT_SUPPORTED, StatusOf([&] { m_provider.OpenKey(c.pszKeyName, c.dwKeySpec, c.dwFlags); }));
    }
    EXPECT_TRUE(unit::KeysOf(m_provider).empty());
}

TEST_F(KspProviderContext, OpenAndCloseTouchNothing)
{
    EXPECT_STATUS(0, StatusOf([&] { m_provider.Open(0xFFFFFFFF); }));
    EXPECT_STATUS(0, StatusOf([&] { m_provider.Close(); }));
    EXPECT_STATUS(0, StatusOf([&] { m_provider.Close(); }));
    EXPECT_EQ(0u, QvnPlatformGetCallCount()) << "no CryptoAPI call";
    DWORD cbResult = 0;
    BYTE rgb[4] = {};
    EXPECT_STATUS(0, StatusOf([&] { m_provider.GetProviderProperty(TEXT("Version"), rgb, 4, &cbResult, 0); }));
    EXPECT_EQ(0x01, rgb[2]);
}

TEST_F(KspProviderContext, PropertiesThroughTheEntry)
{
    NCRYPT_PROV_HANDLE hProvider = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, unit::kKspName, 0));
    for (const PropertyCase &c : kProperties) {
        BYTE rgb[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        DWORD cbResult = 0;
        EXPECT_STATUS(0, KspGetProviderProperty(hProvider, c.pszName, rgb, sizeof(rgb), &cbResult, 0));
        EXPECT_EQ(4u, cbResult);
        EXPECT_TRUE(std::equal(c.rgbValue.begin(), c.rgbValue.end(), rgb)) << unit::Narrow(c.pszName);
    }
    DWORD cAlgorithms = 0xABCD;
    EXPECT_STATUS(0, KspEnumAlgorithms(hProvider, NCRYPT_SIGNATURE_OPERATION, &cAlgorithms, nullptr, 0));
    EXPECT_EQ(0u, cAlgorithms);
    NCRYPT_KEY_HANDLE hKey = 0x99;
    EXPECT_STATUS(NTE_NOT_SUPPORTED, KspOpenKey(hProvider, &hKey, TEXT("key"), AT_KEYEXCHANGE, 0));
    EXPECT_EQ(0x99u, hKey);
    EXPECT_STATUS(0, KspFreeProvider(hProvider));
}

} // namespace
