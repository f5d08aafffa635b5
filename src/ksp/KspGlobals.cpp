// The module's static objects, defined together in one translation unit so
// that they are built in this order and destroyed in the reverse order,
// whatever order the linker gives the module's objects: the global lock, the
// provider names, the prebuilt out-of-memory error. The error's value is a
// constant, set before any dynamic initialisation, so that running out of
// memory while the names are built throws a complete copy of it.
#include "COMMON_FILES/Common/mt.h"
#include "common/KspError.h"
#include "ksp/KspProviderNames.h"

namespace
{

// The names are built while the module loads, before any entry can report a
// status. If memory runs out then, the name stays empty: it matches no
// caller's name, so that provider answers as an unknown one instead of the
// load taking the host process down.
KSP_WSTRING MakeProviderName(LPCWSTR pszName)
{
    try {
        return KSP_WSTRING(pszName);
    } catch (...) {
        return KSP_WSTRING();
    }
}

} // namespace

CTSCriticalSection g_csKsp;

const KSP_WSTRING g_CapiProviderNames[KSP_CAPI_PROVIDER_COUNT] = {
    MakeProviderName(TEXT("Quorvane Alder Cryptographic Provider")),
    MakeProviderName(TEXT("Quorvane Birch Cryptographic Provider")),
    MakeProviderName(TEXT("Quorvane Cedar Cryptographic Provider")),
    MakeProviderName(TEXT("Quorvane Dogwood Cryptographic Provider")),
};

const CKspError g_errNoMemory(NTE_NO_MEMORY);
