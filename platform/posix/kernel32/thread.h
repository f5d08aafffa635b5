// Thread identity inside the stand-in's kernel32.
#ifndef QVN_POSIX_KERNEL32_THREAD_H
#define QVN_POSIX_KERNEL32_THREAD_H

#include <windows.h>

namespace qvn
{

// A nonzero number for the calling thread, unique over the process lifetime
// (never reused after the thread ends). 0 stands for "no thread".
DWORD CurrentThreadId();

} // namespace qvn

#endif
