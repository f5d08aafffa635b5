// The frame every exported CryptoAPI function runs in: an injected failure
// ends the call first; the body reports errors by throwing CspError; every
// call is logged with its main handle and outcome; a failure sets the thread's
// last-error value, which is the last thing the function does.
#ifndef QVN_ADVAPI32_APIFRAME_H
#define QVN_ADVAPI32_APIFRAME_H

#include "controls/controls.h"

#include <CspError.h>

#include <windows.h>

#include <new>

namespace qvn
{
namespace advapi32
{

class ApiFrame
{
public:
    explicit ApiFrame(const char *pszFunction, ULONG_PTR hHandle = 0)
        : m_pszFunction(pszFunction), m_record(MakeRecord(pszFunction))
    {
        m_record.hHandle = hHandle;
    }

    QVN_CALL_RECORD &Record() { return m_record; }

    template <class Body> BOOL Run(Body &&body)
    {
        DWORD dwError = 0;
        if (ConsumeInjectedFailure(m_pszFunction, &dwError)) {
            // An injected failure fails even with a last-error value of 0.
            return Fail(dwError);
        }
        try {
            body();
            return Finish(ERROR_SUCCESS);
        } catch (const csp::CspError &error) {
            return Finish(error.dwError);
        } catch (const std::bad_alloc &) {
            return Finish(static_cast<DWORD>(NTE_NO_MEMORY));
        } catch (...) {
            return Finish(static_cast<DWORD>(NTE_FAIL));
        }
    }

private:
    BOOL Finish(DWORD dwError)
    {
        if (dwError != ERROR_SUCCESS) {
            return Fail(dwError);
        }
        m_record.fSucceeded = TRUE;
        m_record.dwError = ERROR_SUCCESS;
        LogCall(m_record);
        return TRUE;
    }

    BOOL Fail(DWORD dwError)
    {
        m_record.fSucceeded = FALSE;
        m_record.dwError = dwError;
        LogCall(m_record);
        SetLastError(dwError);
        return FALSE;
    }

    const char *m_pszFunction;
    QVN_CALL_RECORD m_record;
};

// The error of a handle that is not a live one of its kind: Windows' advapi32
// answers ERROR_INVALID_PARAMETER for null, unknown, stale and foreign handles.
[[noreturn]] inline void FailInvalidHandle()
{
    csp::Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

[[noreturn]] inline void FailInvalidParameter()
{
    csp::Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

} // namespace advapi32
} // namespace qvn

#endif
