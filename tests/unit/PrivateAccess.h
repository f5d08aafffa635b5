// White-box access to the state of the module's objects that their classes
// keep private: the provider manager's singleton and map, a provider's key
// map, the CryptoAPI handles of the CAPI objects and the critical section
// inside CTSCriticalSection. Defined in PrivateAccess.cpp.
#ifndef QVN_UNIT_PRIVATE_ACCESS_H
#define QVN_UNIT_PRIVATE_ACCESS_H

#include "COMMON_FILES/Common/mt.h"
#include "capi/KspCAPIKeyContext.h"
#include "capi/KspCAPIProviderContext.h"
#include "provider/KspBaseProviderContext.h"
#include "provider/KspProviderManager.h"

namespace unit
{

// The singleton pointer of the provider manager (null while none exists).
CKspProviderManager *&ManagerInstance();
KSP_PROVIDER_MAP &ProvidersOf(CKspProviderManager &manager);
KSP_KEY_MAP &KeysOf(CKspBaseProviderContext &provider);
HCRYPTPROV &VerifyContextOf(CKspCapiProviderContext &provider);
HCRYPTPROV &KeyContextOf(CKspCapiKeyContext &key);
HCRYPTKEY &CapiKeyOf(CKspCapiKeyContext &key);
CRITICAL_SECTION &SectionOf(CTSCriticalSection &section);

// TRUE when some thread, the caller included, holds the section: tried from
// a separate thread, which leaves it again at once when it gets it.
bool IsHeld(CTSCriticalSection &section);

} // namespace unit

#endif
