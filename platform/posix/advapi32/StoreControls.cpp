// The QvnPlatform controls of the CSPs: the key-store directory, prompt marks
// and the live handle counts.
#include "controls/controls.h"

#include <ContainerStore.h>
#include <CspError.h>
#include <Objects.h>

void qvn::ClearPromptMarks()
{
    try {
        csp::ClearAllPromptMarks();
    } catch (...) {
        // a store that cannot be read has no marks to clear
    }
}

extern "C" void QvnPlatformSetStoreDirectory(const char *pszDirectory)
{
    qvn::csp::SetStoreRoot(pszDirectory);
}

extern "C" const char *QvnPlatformGetStoreDirectory(void)
{
    return qvn::csp::StoreRootCString();
}

extern "C" BOOL QvnPlatformSetContainerNeedsPrompt(LPCWSTR pszProvider, LPCWSTR pszContainer, DWORD dwFlags,
                                                   BOOL fNeedsPrompt)
{
    try {
        const qvn::csp::ProviderInfo *pProvider = qvn::csp::FindProviderByName(pszProvider);
        if (pProvider == nullptr) {
            qvn::csp::Fail(NTE_KEYSET_NOT_DEF);
        }
        if (pszContainer == nullptr || pszContainer[0] == 0 || (dwFlags & ~CRYPT_MACHINE_KEYSET) != 0) {
            qvn::csp::Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        }
        qvn::csp::ContainerLocation location;
        location.strRoot = qvn::csp::StoreRoot();
        location.pProvider = pProvider;
        location.fMachine = (dwFlags & CRYPT_MACHINE_KEYSET) != 0;
        location.strName = pszContainer;
        qvn::csp::SetNeedsPrompt(location, fNeedsPrompt != FALSE);
        return TRUE;
    } catch (const qvn::csp::CspError &error) {
        SetLastError(error.dwError);
        return FALSE;
    } catch (...) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
        return FALSE;
    }
}

extern "C" LONG QvnPlatformLiveContexts(void)
{
    return qvn::csp::Table<qvn::csp::ContextObject>().Count();
}

extern "C" LONG QvnPlatformLiveKeys(void)
{
    return qvn::csp::Table<qvn::csp::KeyObject>().Count();
}

extern "C" LONG QvnPlatformLiveHashes(void)
{
    return qvn::csp::Table<qvn::csp::HashObject>().Count();
}
