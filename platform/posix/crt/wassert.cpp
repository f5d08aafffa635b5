// The C runtime's wide-character assertion report, _wassert, with a recording
// mode for tests.
#include <assert.h>
#include <qvnplatform.h>

#include "runtime.h"
#include "../kernel32/wide.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace
{

struct AssertState {
    std::mutex mutex;
    DWORD dwMode = QVN_ASSERT_ABORT;
    DWORD dwCount = 0;
    bool fHaveReport = false;
    std::u16string strMessage;
    std::u16string strFile;
    DWORD dwLine = 0;
};

AssertState &State()
{
    static AssertState *pState = new AssertState;
    return *pState;
}

std::u16string FromNullable(const WCHAR *psz)
{
    return psz == nullptr ? std::u16string() : std::u16string(psz);
}

// Copies str with its NUL into a caller buffer; false when it does not fit.
bool CopyOut(const std::u16string &str, WCHAR *pszBuffer, DWORD cchBuffer)
{
    if (pszBuffer == nullptr || str.size() + 1 > cchBuffer) {
        return false;
    }
    *std::copy(str.begin(), str.end(), pszBuffer) = 0;
    return true;
}

} // namespace

namespace qvn
{

void ResetAssertControls()
{
    AssertState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.dwMode = QVN_ASSERT_ABORT;
    state.dwCount = 0;
    state.fHaveReport = false;
    state.strMessage.clear();
    state.strFile.clear();
    state.dwLine = 0;
}

} // namespace qvn

extern "C" {

void __cdecl _wassert(const WCHAR *_Message, const WCHAR *_File, unsigned _Line)
{
    AssertState &state = State();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.dwMode == QVN_ASSERT_RECORD) {
            ++state.dwCount;
            state.fHaveReport = true;
            state.strMessage = FromNullable(_Message);
            state.strFile = FromNullable(_File);
            state.dwLine = _Line;
            return;
        }
    }
    const std::string strMessage = qvn::ToUtf8(FromNullable(_Message));
    const std::string strFile = qvn::ToUtf8(FromNullable(_File));
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %u\n", strMessage.c_str(), strFile.c_str(), _Line);
    std::fflush(stderr);
    std::abort();
}

void QvnPlatformSetAssertMode(DWORD dwMode)
{
    AssertState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.dwMode = dwMode == QVN_ASSERT_RECORD ? QVN_ASSERT_RECORD : QVN_ASSERT_ABORT;
}

DWORD QvnPlatformAssertCount(void)
{
    AssertState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.dwCount;
}

BOOL QvnPlatformGetLastAssert(WCHAR *pszMessage, DWORD cchMessage, WCHAR *pszFile, DWORD cchFile, DWORD *pdwLine)
{
    AssertState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.fHaveReport) {
        return FALSE;
    }
    if (!CopyOut(state.strMessage, pszMessage, cchMessage) || !CopyOut(state.strFile, pszFile, cchFile) ||
        pdwLine == nullptr) {
        return FALSE;
    }
    *pdwLine = state.dwLine;
    return TRUE;
}

} // extern "C"
