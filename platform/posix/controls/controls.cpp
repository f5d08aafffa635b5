// The QvnPlatform test controls that are not tied to one Win32 library:
// failure injection, the call log, reset hooks and the emulated Windows
// version.
#include "controls.h"

#include "../crt/runtime.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace qvn
{
namespace
{

// The log keeps the first records after each clear; beyond this many only the
// counts go on (a record is about 600 bytes).
constexpr size_t kMaxLoggedCalls = 65536;

constexpr DWORD kDefaultMajorVersion = 10;
constexpr DWORD kDefaultMinorVersion = 0;

struct Injection {
    std::string strFunction;
    DWORD dwCallsLeft; // calls of the function until this one fails, this one included
    DWORD dwError;
};

struct CallCount {
    std::string strFunction;
    DWORD dwCount;
};

struct ControlState {
    std::mutex mutex;
    std::vector<Injection> injections;
    std::vector<QVN_CALL_RECORD> calls;
    DWORD dwCallCount = 0;
    std::vector<CallCount> callCounts;
    std::vector<void (*)()> resetHooks;
    DWORD dwMajorVersion = kDefaultMajorVersion;
    DWORD dwMinorVersion = kDefaultMinorVersion;
};

// Created on first use and never destroyed, so that the controls keep working
// while other static objects of the process are being destroyed.
ControlState &State()
{
    static ControlState *pState = new ControlState;
    return *pState;
}

// Release build numbers of the versions that tests emulate.
DWORD BuildNumberOf(DWORD dwMajor, DWORD dwMinor)
{
    struct Known {
        DWORD dwMajor;
        DWORD dwMinor;
        DWORD dwBuild;
    };
    static const Known known[] = {{5, 0, 2195}, {5, 1, 2600}, {5, 2, 3790}, {6, 0, 6002},
                                  {6, 1, 7601}, {6, 2, 9200}, {6, 3, 9600}, {10, 0, 19045}};
    for (const Known &k : known) {
        if (k.dwMajor == dwMajor && k.dwMinor == dwMinor) {
            return k.dwBuild;
        }
    }
    return 0;
}

} // namespace

bool ConsumeInjectedFailure(const char *pszFunction, DWORD *pdwError)
{
    if (pszFunction == nullptr) {
        return false;
    }
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    bool fFail = false;
    DWORD dwError = 0;
    for (auto it = state.injections.begin(); it != state.injections.end();) {
        if (it->strFunction != pszFunction) {
            ++it;
            continue;
        }
        if (--it->dwCallsLeft == 0) {
            // Two injections falling due on the same call fail it once, with
            // the error of the one injected first.
            if (!fFail) {
                fFail = true;
                dwError = it->dwError;
            }
            it = state.injections.erase(it);
        } else {
            ++it;
        }
    }
    if (fFail && pdwError != nullptr) {
        *pdwError = dwError;
    }
    return fFail;
}

void LogCall(const QVN_CALL_RECORD &record)
{
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.calls.size() < kMaxLoggedCalls) {
        state.calls.push_back(record);
    }
    ++state.dwCallCount;
    char szFunction[sizeof(record.szFunction) + 1] = {};
    std::memcpy(szFunction, record.szFunction, sizeof(record.szFunction));
    for (CallCount &count : state.callCounts) {
        if (count.strFunction == szFunction) {
            ++count.dwCount;
            return;
        }
    }
    state.callCounts.push_back({szFunction, 1});
}

QVN_CALL_RECORD MakeRecord(const char *pszFunction)
{
    QVN_CALL_RECORD record;
    std::memset(&record, 0, sizeof(record));
    if (pszFunction != nullptr) {
        std::strncpy(record.szFunction, pszFunction, sizeof(record.szFunction) - 1);
    }
    return record;
}

void CopyWide(WCHAR *pszDest, size_t cchDest, LPCWSTR pszSource)
{
    if (pszDest == nullptr || cchDest == 0) {
        return;
    }
    size_t cch = 0;
    if (pszSource != nullptr) {
        while (cch + 1 < cchDest && pszSource[cch] != 0) {
            pszDest[cch] = pszSource[cch];
            ++cch;
        }
    }
    pszDest[cch] = 0;
}

void RegisterResetHook(void (*pfnHook)())
{
    if (pfnHook == nullptr) {
        return;
    }
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (std::find(state.resetHooks.begin(), state.resetHooks.end(), pfnHook) == state.resetHooks.end()) {
        state.resetHooks.push_back(pfnHook);
    }
}

WindowsVersion GetEmulatedWindowsVersion()
{
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    WindowsVersion version{};
    version.dwMajorVersion = state.dwMajorVersion;
    version.dwMinorVersion = state.dwMinorVersion;
    version.dwBuildNumber = BuildNumberOf(state.dwMajorVersion, state.dwMinorVersion);
    version.wServicePackMajor = 0;
    version.wServicePackMinor = 0;
    return version;
}

} // namespace qvn

using qvn::ControlState;
using qvn::State;

extern "C" {

void QvnPlatformReset(void)
{
    std::vector<void (*)()> hooks;
    {
        ControlState &state = State();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.injections.clear();
        state.calls.clear();
        state.dwCallCount = 0;
        state.callCounts.clear();
        state.dwMajorVersion = qvn::kDefaultMajorVersion;
        state.dwMinorVersion = qvn::kDefaultMinorVersion;
        hooks = state.resetHooks;
    }
    qvn::ResetRuntimeControls();
    for (void (*pfnHook)() : hooks) {
        pfnHook();
    }
}

void QvnPlatformSetWindowsVersion(DWORD dwMajorVersion, DWORD dwMinorVersion)
{
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.dwMajorVersion = dwMajorVersion;
    state.dwMinorVersion = dwMinorVersion;
}

void QvnPlatformFailCall(const char *pszFunction, DWORD nthCall, DWORD dwError)
{
    if (pszFunction == nullptr || nthCall == 0) {
        return;
    }
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.injections.push_back({pszFunction, nthCall, dwError});
}

void QvnPlatformClearFailures(void)
{
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.injections.clear();
}

DWORD QvnPlatformGetCallCount(void)
{
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.dwCallCount;
}

BOOL QvnPlatformGetCall(DWORD dwIndex, QVN_CALL_RECORD *pRecord)
{
    if (pRecord == nullptr) {
        return FALSE;
    }
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (dwIndex >= state.calls.size()) {
        return FALSE;
    }
    *pRecord = state.calls[dwIndex];
    return TRUE;
}

DWORD QvnPlatformCountCalls(const char *pszFunction)
{
    if (pszFunction == nullptr) {
        return 0;
    }
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const qvn::CallCount &count : state.callCounts) {
        if (count.strFunction == pszFunction) {
            return count.dwCount;
        }
    }
    return 0;
}

void QvnPlatformClearCallLog(void)
{
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.calls.clear();
    state.dwCallCount = 0;
    state.callCounts.clear();
}

} // extern "C"
