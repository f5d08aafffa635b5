// The QvnPlatform test controls that are not tied to one Win32 library:
// failure injection, the call log, the reset of everything and the emulated Windows
// version.
#include "controls.h"

#include "../crt/runtime.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace qvn
{
namespace
{

// While recording, the log keeps the first records after each clear; beyond
// this many only the count goes on (a record is about 600 bytes).
constexpr size_t kMaxLoggedCalls = 65536;

constexpr DWORD kDefaultMajorVersion = 10;
constexpr DWORD kDefaultMinorVersion = 0;

struct Injection {
    std::string strFunction;
    DWORD dwCallsLeft; // calls of the function until this one fails, this one included
    DWORD dwError;
};

struct ControlState {
    std::mutex mutex;
    std::vector<Injection> injections;
    bool fRecording = false;
    std::vector<QVN_CALL_RECORD> calls;
    DWORD dwCallCount = 0;
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
    if (!state.fRecording) {
        return;
    }
    if (state.calls.size() < kMaxLoggedCalls) {
        state.calls.push_back(record);
    }
    ++state.dwCallCount;
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

void GetEmulatedWindowsVersion(DWORD *pdwMajorVersion, DWORD *pdwMinorVersion)
{
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    *pdwMajorVersion = state.dwMajorVersion;
    *pdwMinorVersion = state.dwMinorVersion;
}

} // namespace qvn

using qvn::ControlState;
using qvn::State;

extern "C" {

void QvnPlatformReset(void)
{
    {
        ControlState &state = State();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.injections.clear();
        state.fRecording = false;
        state.calls.clear();
        state.dwCallCount = 0;
        state.dwMajorVersion = qvn::kDefaultMajorVersion;
        state.dwMinorVersion = qvn::kDefaultMinorVersion;
    }
    qvn::ResetRuntimeControls();
    qvn::ClearPromptMarks();
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

void QvnPlatformRecordCalls(BOOL fRecord)
{
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.fRecording = fRecord != FALSE;
}

void QvnPlatformClearCallLog(void)
{
    ControlState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.calls.clear();
    state.dwCallCount = 0;
}

} // extern "C"
