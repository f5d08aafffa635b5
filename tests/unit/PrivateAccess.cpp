// Private members are reached through explicit template instantiation, for
// which the language waives access checking; each instantiation appears once,
// here.
#include "PrivateAccess.h"

#include <thread>

namespace unit
{
namespace
{

template <typename TTag, typename TTag::Type pMember> struct MemberThief {
    friend typename TTag::Type Steal(TTag) { return pMember; }
};

struct ManagerInstanceTag {
    typedef CKspProviderManager **Type;
    friend Type Steal(ManagerInstanceTag);
};
struct ManagerMapTag {
    typedef KSP_PROVIDER_MAP CKspProviderManager::*Type;
    friend Type Steal(ManagerMapTag);
};
struct ProviderKeysTag {
    typedef KSP_KEY_MAP CKspBaseProviderContext::*Type;
    friend Type Steal(ProviderKeysTag);
};
struct VerifyContextTag {
    typedef HCRYPTPROV CKspCapiProviderContext::*Type;
    friend Type Steal(VerifyContextTag);
};
struct KeyContextTag {
    typedef HCRYPTPROV CKspCapiKeyContext::*Type;
    friend Type Steal(KeyContextTag);
};
struct CapiKeyTag {
    typedef HCRYPTKEY CKspCapiKeyContext::*Type;
    friend Type Steal(CapiKeyTag);
};
struct SectionTag {
    typedef CRITICAL_SECTION CTSCriticalSection::*Type;
    friend Type Steal(SectionTag);
};

} // namespace

template struct MemberThief<ManagerInstanceTag, &CKspProviderManager::s_pInstance>;
template struct MemberThief<ManagerMapTag, &CKspProviderManager::m_mapProviders>;
template struct MemberThief<ProviderKeysTag, &CKspBaseProviderContext::m_mapKeys>;
template struct MemberThief<VerifyContextTag, &CKspCapiProviderContext::m_hCapiProvider>;
template struct MemberThief<KeyContextTag, &CKspCapiKeyContext::m_hCapiProvider>;
template struct MemberThief<CapiKeyTag, &CKspCapiKeyContext::m_hCapiKey>;
template struct MemberThief<SectionTag, &CTSCriticalSection::m_cs>;

CKspProviderManager *&ManagerInstance()
{
    return *Steal(ManagerInstanceTag());
}

KSP_PROVIDER_MAP &ProvidersOf(CKspProviderManager &manager)
{
    return manager.*Steal(ManagerMapTag());
}

KSP_KEY_MAP &KeysOf(CKspBaseProviderContext &provider)
{
    return provider.*Steal(ProviderKeysTag());
}

HCRYPTPROV &VerifyContextOf(CKspCapiProviderContext &provider)
{
    return provider.*Steal(VerifyContextTag());
}

HCRYPTPROV &KeyContextOf(CKspCapiKeyContext &key)
{
    return key.*Steal(KeyContextTag());
}

HCRYPTKEY &CapiKeyOf(CKspCapiKeyContext &key)
{
    return key.*Steal(CapiKeyTag());
}

CRITICAL_SECTION &SectionOf(CTSCriticalSection &section)
{
    return section.*Steal(SectionTag());
}

bool IsHeld(CTSCriticalSection &section)
{
    // A critical section is recursive for its owner, so the test must come
    // from a thread that certainly does not own it.
    bool fHeld = false;
    std::thread probe([&] {
        CRITICAL_SECTION &cs = SectionOf(section);
        if (TryEnterCriticalSection(&cs)) {
            LeaveCriticalSection(&cs);
        } else {
            fHeld = true;
        }
    });
    probe.join();
    return fHeld;
}

} // namespace unit
