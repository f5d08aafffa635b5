// The error type of the simulated CSPs: a Win32 / NTE last-error value thrown
// from inside and turned into SetLastError + FALSE at the CryptoAPI border.
#ifndef QVN_CSP_CSPERROR_H
#define QVN_CSP_CSPERROR_H

#include <windows.h>

namespace qvn
{
namespace csp
{

struct CspError {
    DWORD dwError;
};

[[noreturn]] inline void Fail(DWORD dwError)
{
    throw CspError{dwError};
}

[[noreturn]] inline void Fail(HRESULT hrError)
{
    throw CspError{static_cast<DWORD>(hrError)};
}

} // namespace csp
} // namespace qvn

#endif
