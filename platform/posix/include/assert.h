/* Linux stand-in for the C runtime's <assert.h>: the standard assert plus the
 * wide-character assertion report of the Windows C runtime. */
#include_next <assert.h>

#ifndef QVN_POSIX_WASSERT_DECLARED
#define QVN_POSIX_WASSERT_DECLARED
#include <windows.h>
QVN_BEGIN_C
void __cdecl _wassert(const WCHAR *_Message, const WCHAR *_File, unsigned _Line);
QVN_END_C
#endif
