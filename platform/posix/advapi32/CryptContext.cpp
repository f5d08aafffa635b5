// CryptAcquireContextW and CryptReleaseContext.
#include "CryptCommon.h"

#include "kernel32/wide.h"

#include <ContainerStore.h>

#include <wincrypt.h>

#include <cstdlib>

#include <pwd.h>
#include <unistd.h>

using namespace qvn;
using namespace qvn::advapi32;

namespace
{

constexpr DWORD kAcquireFlags =
    CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;

// The container that a null or empty name stands for: the user's login name,
// as Windows uses.
std::u16string DefaultContainerName()
{
    const struct passwd *pEntry = getpwuid(geteuid());
    if (pEntry != nullptr && pEntry->pw_name != nullptr && pEntry->pw_name[0] != 0) {
        return ToUtf16(pEntry->pw_name);
    }
    const char *pszUser = std::getenv("USER");
    return ToUtf16(pszUser != nullptr && pszUser[0] != 0 ? pszUser : "user");
}

void FillPairs(csp::ContextObject &context, const csp::ContainerData &data)
{
    context.exchange = data.exchange;
    context.signature = data.signature;
}

} // namespace

extern "C" BOOL WINAPI CryptAcquireContextW(HCRYPTPROV *phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                            DWORD dwProvType, DWORD dwFlags)
{
    ApiFrame frame("CryptAcquireContextW");
    QVN_CALL_RECORD &record = frame.Record();
    CopyWide(record.szContainer, sizeof(record.szContainer) / sizeof(WCHAR), szContainer);
    return frame.Run([&] {
        if (phProv == nullptr) {
            FailInvalidParameter();
        }
        const csp::ProviderInfo &provider = csp::ResolveProvider(szProvider, dwProvType);
        if ((dwFlags & ~kAcquireFlags) != 0) {
            csp::Fail(NTE_BAD_FLAGS);
        }
        const DWORD dwAction = dwFlags & (CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET);
        const bool fNamed = szContainer != nullptr && szContainer[0] != 0;

        auto context = std::make_shared<csp::ContextObject>();
        context->pProvider = &provider;
        context->fSilent = (dwFlags & CRYPT_SILENT) != 0;
        context->location.strRoot = csp::StoreRoot();
        context->location.pProvider = &provider;
        context->location.fMachine = (dwFlags & CRYPT_MACHINE_KEYSET) != 0;
        context->location.strName = fNamed ? std::u16string(szContainer) : DefaultContainerName();

        switch (dwAction) {
        case CRYPT_VERIFYCONTEXT:
        case CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET:
            if (fNamed) {
                csp::Fail(NTE_BAD_FLAGS);
            }
            context->fVerifyContext = true;
            context->location.strName.clear();
            break;
        case 0: {
            csp::ContainerData data;
            if (!csp::LoadContainer(context->location, &data)) {
                csp::Fail(NTE_BAD_KEYSET);
            }
            if (data.fNeedsPrompt && context->fSilent) {
                csp::Fail(NTE_SILENT_CONTEXT);
            }
            FillPairs(*context, data);
            break;
        }
        case CRYPT_NEWKEYSET:
            csp::CreateContainer(context->location);
            break;
        case CRYPT_DELETEKEYSET:
            csp::DeleteContainer(context->location);
            *phProv = 0;
            return;
        default:
            csp::Fail(NTE_BAD_FLAGS);
        }
        *phProv = csp::Table<csp::ContextObject>().Add(std::move(context));
        record.hHandle = *phProv;
    });
}

extern "C" BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags)
{
    ApiFrame frame("CryptReleaseContext", hProv);
    return frame.Run([&] {
        if (!csp::ReleaseContext(hProv)) {
            FailInvalidHandle();
        }
        if (dwFlags != 0) {
            csp::Fail(NTE_BAD_FLAGS); // released all the same, as Windows does
        }
    });
}
