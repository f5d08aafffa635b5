// CryptGetProvParam (the container enumeration) and CryptEnumProvidersW: what
// a program asks to find the CSPs and their key containers.
#include "CryptCommon.h"

#include "kernel32/wide.h"

#include <ContainerStore.h>

#include <wincrypt.h>

#include <algorithm>

using namespace qvn;
using namespace qvn::advapi32;

// PP_ENUMCONTAINERS as Windows answers it: CRYPT_FIRST (or the first call)
// takes the key set's container names, each call hands out the next as
// narrow text until ERROR_NO_MORE_ITEMS; a size query (null pbData) gives the
// size of the longest name and hands out nothing; a buffer too small for the
// next name gives ERROR_MORE_DATA with its size and keeps it for the next call.
extern "C" BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                         DWORD dwFlags)
{
    ApiFrame frame("CryptGetProvParam", hProv);
    return frame.Run([&] {
        const std::shared_ptr<csp::ContextObject> context = ContextOrFail(hProv);
        if (pdwDataLen == nullptr) {
            FailInvalidParameter();
        }
        if (dwParam != PP_ENUMCONTAINERS) {
            csp::Fail(NTE_BAD_TYPE);
        }
        if ((dwFlags & ~(CRYPT_FIRST | CRYPT_NEXT | CRYPT_MACHINE_KEYSET)) != 0) {
            csp::Fail(NTE_BAD_FLAGS);
        }
        std::lock_guard<std::mutex> lock(context->mutex);
        if ((dwFlags & CRYPT_FIRST) != 0 || !context->fEnumerating) {
            csp::ContainerLocation keySet = context->location;
            keySet.fMachine = keySet.fMachine || (dwFlags & CRYPT_MACHINE_KEYSET) != 0;
            context->containerNames.clear();
            for (const std::u16string &strName : csp::ListContainers(keySet)) {
                context->containerNames.push_back(ToUtf8(strName));
            }
            context->iNextContainer = 0;
            context->fEnumerating = true;
        }
        if (pbData == nullptr) {
            size_t cbLongest = 1;
            for (const std::string &strName : context->containerNames) {
                cbLongest = std::max(cbLongest, strName.size() + 1);
            }
            *pdwDataLen = static_cast<DWORD>(cbLongest);
            return;
        }
        if (context->iNextContainer >= context->containerNames.size()) {
            csp::Fail(static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        }
        const std::string &strName = context->containerNames[context->iNextContainer];
        CopyOut(strName.c_str(), static_cast<DWORD>(strName.size() + 1), pbData, pdwDataLen);
        ++context->iNextContainer;
    });
}

extern "C" BOOL WINAPI CryptEnumProvidersW(DWORD dwIndex, DWORD *pdwReserved, DWORD dwFlags, DWORD *pdwProvType,
                                           LPWSTR szProvName, DWORD *pcbProvName)
{
    ApiFrame frame("CryptEnumProvidersW");
    return frame.Run([&] {
        if (pdwReserved != nullptr || pdwProvType == nullptr || pcbProvName == nullptr) {
            FailInvalidParameter();
        }
        if (dwFlags != 0) {
            csp::Fail(NTE_BAD_FLAGS);
        }
        const std::vector<csp::RegisteredProvider> registered = csp::RegisteredProviders();
        if (dwIndex >= registered.size()) {
            csp::Fail(static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        }
        const csp::RegisteredProvider &entry = registered[dwIndex];
        CopyOut(entry.strName.c_str(), static_cast<DWORD>((entry.strName.size() + 1) * sizeof(WCHAR)),
                reinterpret_cast<BYTE *>(szProvName), pcbProvName);
        *pdwProvType = entry.dwProvType;
    });
}
