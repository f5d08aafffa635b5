#include "UnitTestSupport.h"

#include "provider/KspProviderManager.h"

#include <atomic>
#include <cstring>
#include <iomanip>
#include <thread>

namespace unit
{

std::ostream &operator<<(std::ostream &os, Status status)
{
    return os << "0x" << std::hex << std::setw(8) << std::setfill('0') << static_cast<uint32_t>(status.lValue)
              << std::dec << std::setfill(' ');
}

std::vector<QVN_CALL_RECORD> CallsOf(const char *pszFunction)
{
    std::vector<QVN_CALL_RECORD> records;
    QVN_CALL_RECORD record;
    for (DWORD i = 0; QvnPlatformGetCall(i, &record); ++i) {
        if (pszFunction == nullptr || strncmp(record.szFunction, pszFunction, sizeof(record.szFunction)) == 0) {
            records.push_back(record);
        }
    }
    return records;
}

CALL_HANDLES CallHandles()
{
    CALL_HANDLES calls;
    for (const QVN_CALL_RECORD &record : CallsOf()) {
        calls.emplace_back(std::string(record.szFunction, strnlen(record.szFunction, sizeof(record.szFunction))),
                           record.hHandle);
    }
    return calls;
}

std::vector<std::string> CallNames()
{
    std::vector<std::string> names;
    for (const auto &call : CallHandles()) {
        names.push_back(call.first);
    }
    return names;
}

LIVE_HANDLES LiveNow()
{
    return LIVE_HANDLES(QvnPlatformLiveContexts(), QvnPlatformLiveKeys(), QvnPlatformLiveHashes());
}

void StartMeasuring(DWORD nthFailure)
{
    QvnPlatformTrackModuleFrees(TRUE);
    QvnPlatformResetModuleCounters();
    QvnPlatformFailModuleMalloc(nthFailure);
}

Footprint StopMeasuring()
{
    // Off first: building the answer allocates and frees too.
    QvnPlatformFailModuleMalloc(0);
    QvnPlatformTrackModuleFrees(FALSE);
    Footprint footprint;
    footprint.cMallocs = QvnPlatformModuleMallocCount();
    SIZE_T cbBlock = 0;
    BOOL fAllZero = FALSE;
    for (DWORD i = 0; QvnPlatformGetModuleFree(i, &cbBlock, &fAllZero); ++i) {
        footprint.frees.emplace_back(cbBlock, fAllZero != FALSE);
    }
    return footprint;
}

// The critical section inside CTSCriticalSection is private; an explicit
// instantiation, for which access is not checked, hands out its address.
struct SectionTag {
    typedef CRITICAL_SECTION CTSCriticalSection::*Type;
    friend Type Steal(SectionTag);
};
template <typename TTag, typename TTag::Type pMember> struct MemberThief {
    friend typename TTag::Type Steal(TTag) { return pMember; }
};
template struct MemberThief<SectionTag, &CTSCriticalSection::m_cs>;

bool IsHeld(CTSCriticalSection &section)
{
    bool fHeld = false;
    std::thread([&] {
        CRITICAL_SECTION &cs = section.*Steal(SectionTag());
        fHeld = !TryEnterCriticalSection(&cs);
        if (!fHeld) {
            LeaveCriticalSection(&cs);
        }
    }).join();
    return fHeld;
}

void WhileAnotherThreadHoldsTheLock(const std::function<void()> &fnCall)
{
    if (IsHeld(g_csKsp)) { // left held by an earlier call: the holder would never get it
        ADD_FAILURE() << "g_csKsp is held already";
        return;
    }
    std::atomic<int> stage{0};
    std::thread holder([&] {
        CTSSyncLock slock(&g_csKsp, TRUE);
        stage = 1;
        while (stage.load() < 2) {
            std::this_thread::yield();
        }
    });
    while (stage.load() < 1) {
        std::this_thread::yield();
    }
    fnCall();
    stage = 2;
    holder.join();
}

CapiHandles HandlesOf(CKspCapiKeyContext &key)
{
    // The key length names the key; a hash is made on the key's context.
    QvnPlatformClearCallLog();
    BYTE rgbHash[20] = {};
    HCRYPTHASH hHash = 0;
    DWORD dwSignFlags = 0;
    EXPECT_STATUS(0, StatusOf([&] {
                      key.GetKeyByteLength();
                      key.PrepareHash(nullptr, rgbHash, sizeof(rgbHash), &hHash, &dwSignFlags);
                  }));
    CryptDestroyHash(hHash);
    const CALL_HANDLES calls = CallHandles();
    QvnPlatformClearCallLog();
    return CapiHandles{calls.at(1).second, calls.at(0).second};
}

void ModuleTest::SetUp()
{
    CKspProviderManager::DestroyInstance();
    m_pStore.reset(new qvntest::ScopedStore); // resets the platform's controls too
}

void ModuleTest::TearDown()
{
    // Whatever a test left open goes the way process detach takes it.
    CKspProviderManager::DestroyInstance();
    QvnPlatformReset();
    m_pStore.reset();
}

void ModuleTest::MakeContainer(LPCWSTR pszProvider, LPCWSTR pszContainer, DWORD dwKeySpec, DWORD dwBits,
                               DWORD dwAcquireFlags)
{
    ASSERT_TRUE(qvntest::CreateContainerWithKey(pszProvider, pszContainer, dwKeySpec, qvntest::CachedTestKey(dwBits),
                                                dwAcquireFlags));
}

std::unique_ptr<CKspCapiKeyContext> ModuleTest::AlderKey(DWORD dwBits, DWORD dwKeySpec)
{
    const std::u16string strName = qvntest::Wide(std::to_string(dwBits) + " " + std::to_string(dwKeySpec));
    MakeContainer(kAlder, strName.c_str(), dwKeySpec, dwBits);
    auto pKey = std::make_unique<CKspCapiKeyContext>(strName, dwKeySpec);
    const LONG lStatus = StatusOf([&] { pKey->Open(0, kAlder, PROV_RSA_FULL); });
    EXPECT_STATUS(0, lStatus) << Narrow(strName.c_str());
    QvnPlatformClearCallLog();
    return lStatus == 0 ? std::move(pKey) : nullptr;
}

} // namespace unit
