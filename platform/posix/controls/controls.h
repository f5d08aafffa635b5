// Internal services behind the QvnPlatform test controls, shared by the
// stand-in's kernel32, advapi32 and bcrypt parts.
//
// Every function here is thread-safe and may be called at any time, including
// from static destructors at process exit: the state lives in objects that are
// created on first use and never destroyed.
#ifndef QVN_POSIX_CONTROLS_H
#define QVN_POSIX_CONTROLS_H

#include <windows.h>
#include <qvnplatform.h>

#include <cstddef>

namespace qvn
{

// Called first by every CryptoAPI and bcrypt function with its own name.
// Counts the call against each pending injection for that name (see
// QvnPlatformFailCall); when one of them falls due, it is removed, its error
// is stored in *pdwError and the result is true: the caller then fails at once
// without doing anything. Otherwise false and *pdwError is untouched.
bool ConsumeInjectedFailure(const char *pszFunction, DWORD *pdwError);

// Appends a record to the call log.
void LogCall(const QVN_CALL_RECORD &record);

// A record with every field zero/empty and szFunction set (truncated to fit).
QVN_CALL_RECORD MakeRecord(const char *pszFunction);

// Copies a NUL-terminated UTF-16 string into dst[cchDest], truncating so that
// the result is always NUL-terminated. A null source gives an empty string.
void CopyWide(WCHAR *pszDest, size_t cchDest, LPCWSTR pszSource);

// Clears the prompt mark of every container in the key store (part of
// QvnPlatformReset; a store that cannot be read has none).
void ClearPromptMarks();

// The emulated Windows version that VerifyVersionInfoW compares against.
void GetEmulatedWindowsVersion(DWORD *pdwMajorVersion, DWORD *pdwMinorVersion);

} // namespace qvn

#endif
