// The key storage provider's own provider object: its three properties as
// exact bytes, its empty algorithm list, and no keys.
#include "UnitTestSupport.h"

#include "provider/KspProviderContext.h"

namespace unit
{
namespace
{

class KspProviderContext : public ModuleTest
{
protected:
    CKspProviderContext m_provider{KSP_WSTRING(kKspName)};
    LONG Property(LPCWSTR pszName, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult, DWORD dwFlags = 0)
    {
        return StatusOf([&] { m_provider.GetProviderProperty(pszName, pbOutput, cbOutput, pcbResult, dwFlags); });
    }
};

TEST_F(KspProviderContext, AnswersItsThreePropertiesAsFourLittleEndianBytes)
{
    const std::pair<LPCWSTR, Bytes> rgProperties[] = {
        {TEXT("Impl Type"), {0xEE, 0x00, 0x00, 0x00, 0x00, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
        {TEXT("Version"), {0xEE, 0x00, 0x00, 0x01, 0x00, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
        {TEXT("Max Name Length"), {0xEE, 0x04, 0x01, 0x00, 0x00, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
    };
    for (const auto &property : rgProperties) {
        SCOPED_TRACE(Narrow(property.first));
        for (DWORD dwFlags : {0u, 1u, 0x40u, 0xFFFFFFFFu}) {
            Bytes buffer(10, 0xEE);
            DWORD cbResult = 0xABCD;
            // At an odd address: no alignment is required; nothing beyond the value is written.
            EXPECT_STATUS(0, Property(property.first, buffer.data() + 1, 8, &cbResult, dwFlags));
            EXPECT_EQ(4u, cbResult);
            EXPECT_EQ(property.second, buffer) << "flags " << dwFlags;
        }
        DWORD cbResult = 0xABCD;
        EXPECT_STATUS(0, Property(property.first, nullptr, 0, &cbResult));
        EXPECT_EQ(4u, cbResult) << "size query";
        for (DWORD cbOutput : {0u, 3u}) {
            Bytes buffer(4, 0xEE);
            cbResult = 0xABCD;
            EXPECT_STATUS(NTE_INVALID_PARAMETER, Property(property.first, buffer.data(), cbOutput, &cbResult));
            EXPECT_EQ(4u, cbResult) << "the size is set even when the buffer is short";
            EXPECT_EQ(Bytes(4, 0xEE), buffer);
        }
    }
}

TEST_F(KspProviderContext, OtherNamesAreNotSupportedAndNullArgumentsInvalidWritingNothing)
{
    Bytes buffer(8, 0xEE);
    DWORD cbResult = 0xABCD;
    for (LPCWSTR pszName : {TEXT("impl type"), TEXT("Impl Type "), TEXT("Version "), TEXT("version"), TEXT("Max Name"),
                            TEXT(""), TEXT("Name"), TEXT("Enabled Use Count")}) {
        EXPECT_STATUS(NTE_NOT_SUPPORTED, Property(pszName, buffer.data(), 8, &cbResult)) << Narrow(pszName);
        EXPECT_STATUS(NTE_INVALID_PARAMETER, Property(pszName, buffer.data(), 8, nullptr))
            << "the size pointer is checked before the name";
    }
    EXPECT_STATUS(NTE_INVALID_PARAMETER, Property(nullptr, buffer.data(), 8, &cbResult));
    EXPECT_STATUS(NTE_INVALID_PARAMETER, Property(TEXT("Version"), buffer.data(), 8, nullptr));
    EXPECT_EQ(0xABCDu, cbResult);
    EXPECT_EQ(Bytes(8, 0xEE), buffer);
}

TEST_F(KspProviderContext, EnumeratesNoAlgorithmsAllocatesNothingAndOpensNoKeys)
{
    NCryptAlgorithmName *const pUntouched = reinterpret_cast<NCryptAlgorithmName *>(0x77);
    NCryptAlgorithmName *pList = pUntouched;
    const std::tuple<LPCWSTR, DWORD, DWORD> rgOpenKeys[] = {
        {TEXT("key"), AT_KEYEXCHANGE, 0}, {TEXT("key"), AT_SIGNATURE, 0x40}, {nullptr, 0, 0}, {nullptr, 7, 0xFFFFFFFF}};
    int cWrong = 0; // calls that failed or counted algorithms
    const Footprint footprint = MeasureModuleMemory([&] {
        for (DWORD dwOperations : {0u, 1u, 2u, 4u, 8u, 0x10u, 0x1Fu, 0xFFFFFFFFu}) {
            for (DWORD dwFlags : {0u, 0x40u, 0xFFFFFFFFu}) {
                for (NCryptAlgorithmName **ppList : {&pList, static_cast<NCryptAlgorithmName **>(nullptr)}) {
                    DWORD cAlgorithms = 0xABCD;
                    cWrong += StatusOf([&] {
                                  m_provider.EnumAlgorithms(dwOperations, &cAlgorithms, ppList, dwFlags);
                              }) != 0 ||
                              cAlgorithms != 0;
                }
            }
        }
        EXPECT_STATUS(NTE_INVALID_PARAMETER, StatusOf([&] { m_provider.EnumAlgorithms(0, nullptr, &pList, 0); }));
        for (const auto &c : rgOpenKeys) {
            EXPECT_STATUS(NTE_NOT_SUPPORTED,
                          StatusOf([&] { m_provider.OpenKey(std::get<0>(c), std::get<1>(c), std::get<2>(c)); }));
        }
        EXPECT_STATUS(0, StatusOf([&] { m_provider.Open(0xFFFFFFFF); }));
        EXPECT_STATUS(0, StatusOf([&] { m_provider.Close(); }));
    });
    EXPECT_EQ(0, cWrong) << "every enumeration succeeds with a count of 0";
    EXPECT_EQ(pUntouched, pList) << "the list is neither read nor written";
    EXPECT_EQ(0u, footprint.cMallocs);
    EXPECT_EQ(0u, QvnPlatformGetCallCount()) << "no CryptoAPI call";
}

} // namespace
} // namespace unit
