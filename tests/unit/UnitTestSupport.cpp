#include "UnitTestSupport.h"

#include "provider/KspProviderManager.h"

#include <TestSupport.h>

#include <cstring>
#include <iomanip>

namespace unit
{

std::ostream &operator<<(std::ostream &os, Status status)
{
    const std::ios_base::fmtflags flags = os.flags();
    os << "0x" << std::hex << std::setw(8) << std::setfill('0') << static_cast<uint32_t>(status.lValue);
    os.flags(flags);
    return os;
}

std::string Narrow(const std::u16string &str)
{
    std::string strOut;
    for (char16_t ch : str) {
        strOut += ch < 0x80 ? static_cast<char>(ch) : '?';
    }
    return strOut;
}

std::vector<QVN_CALL_RECORD> CallLog()
{
    std::vector<QVN_CALL_RECORD> records;
    const DWORD cCalls = QvnPlatformGetCallCount();
    for (DWORD i = 0; i < cCalls; ++i) {
        QVN_CALL_RECORD record;
        if (!QvnPlatformGetCall(i, &record)) {
            break;
        }
        records.push_back(record);
    }
    return records;
}

std::vector<std::string> CallNames()
{
    std::vector<std::string> names;
    for (const QVN_CALL_RECORD &record : CallLog()) {
        names.emplace_back(record.szFunction, strnlen(record.szFunction, sizeof(record.szFunction)));
    }
    return names;
}

std::vector<QVN_CALL_RECORD> CallsOf(const char *pszFunction)
{
    std::vector<QVN_CALL_RECORD> records;
    for (const QVN_CALL_RECORD &record : CallLog()) {
        if (strncmp(record.szFunction, pszFunction, sizeof(record.szFunction)) == 0) {
            records.push_back(record);
        }
    }
    return records;
}

size_t CountCallsOn(const char *pszFunction, ULONG_PTR hHandle)
{
    size_t cCalls = 0;
    for (const QVN_CALL_RECORD &record : CallsOf(pszFunction)) {
        if (record.hHandle == hHandle) {
            ++cCalls;
        }
    }
    return cCalls;
}

std::ostream &operator<<(std::ostream &os, const LiveHandles &live)
{
    return os << "{contexts " << live.lContexts << ", keys " << live.lKeys << ", hashes " << live.lHashes << "}";
}

LiveHandles LiveNow()
{
    return LiveHandles{QvnPlatformLiveContexts(), QvnPlatformLiveKeys(), QvnPlatformLiveHashes()};
}

std::vector<ModuleFree> TrackedFrees()
{
    // Off first: building the answer allocates and frees too.
    QvnPlatformTrackModuleFrees(FALSE);
    std::vector<ModuleFree> frees;
    const DWORD cFrees = QvnPlatformModuleFreeCount();
    for (DWORD i = 0; i < cFrees; ++i) {
        SIZE_T cbBlock = 0;
        BOOL fAllZero = FALSE;
        if (QvnPlatformGetModuleFree(i, &cbBlock, &fAllZero)) {
            frees.push_back(ModuleFree{cbBlock, fAllZero != FALSE});
        }
    }
    return frees;
}

ModuleTest::ModuleTest() = default;

ModuleTest::~ModuleTest() = default;

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

} // namespace unit
