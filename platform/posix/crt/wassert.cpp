// The C runtime's wide-character assertion report, _wassert, with a recording
// mode for tests.
#include <assert.h>
#include <qvnplatform.h>

#include "runtime.h"
#include "../kernel32/wide.h"

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

// Copies str with its NUL into a caller buffer. A null buffer of size 0 means
// the caller does not want this part; a buffer that is too small fails.
bool CopyOut(const std::u16string &str, WCHAR *pszBuffer, DWORD cchBuffer)
{
    if (pszBuffer == nullptr) {
        return cchBuffer == 0;
    }
    if (str.size() + 1 > cchBuffer) {
        return false;
    }
    str.copy(pszBuffer, str.size());
    pszBuffer[str.size()] = 0;
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
    // Check both buffers before writing either, so that a failed call writes nothing.
    if ((pszMessage == nullptr ? cchMessage != 0 : state.strMessage.size() + 1 > cchMessage) ||
        (pszFile == nullptr ? cchFile != 0 : state.strFile.size() + 1 > cchFile)) {
        return FALSE;
    }
    CopyOut(state.strMessage, pszMessage, cchMessage);
    CopyOut(state.strFile, pszFile, cchFile);
    if (pdwLine != nullptr) {
        *pdwLine = state.dwLine;
    }
    return TRUE;
}

} // extern "C"
