// Internal interface of the stand-in's C runtime part.
#ifndef QVN_POSIX_CRT_RUNTIME_H
#define QVN_POSIX_CRT_RUNTIME_H

namespace qvn
{

// Assertion mode back to abort; no recorded report, count 0.
void ResetAssertControls();

// No pending module malloc failure, malloc count 0, free tracking off with no
// records. The live block count is kept: those blocks still exist.
void ResetModuleAllocControls();

// Both of the above.
inline void ResetRuntimeControls()
{
    ResetAssertControls();
    ResetModuleAllocControls();
}

} // namespace qvn

#endif
