// Self-registration: enters the key storage provider, with the four CSP
// names as aliases, into the CNG provider configuration, and removes it.
// Neither entry takes g_csKsp, touches the provider manager or restores the
// last-error value.
#include "common/KspPlatform.h"
#include "ksp/KspProviderNames.h"

// Failures travel as a bare HRESULT to the handler at the end of each entry.

extern "C" HRESULT WINAPI DllRegisterServer(void)
{
    try {
        if (!IsSupportedOsVersion()) {
            return S_FALSE;
        }

        // The platform's record types take non-const strings; nothing writes them.
        PWSTR rgpAliasArray[KSP_CAPI_PROVIDER_COUNT] = {
            const_cast<PWSTR>(TEXT("Quorvane Alder Cryptographic Provider")),
            const_cast<PWSTR>(TEXT("Quorvane Birch Cryptographic Provider")),
            const_cast<PWSTR>(TEXT("Quorvane Cedar Cryptographic Provider")),
            const_cast<PWSTR>(TEXT("Quorvane Dogwood Cryptographic Provider")),
        };
        PWSTR rgFunctionsArrayKeyStorage[1] = {const_cast<PWSTR>(TEXT("KEY_STORAGE"))};

        CRYPT_INTERFACE_REG rgInterfaceRegKeyStorage;
        rgInterfaceRegKeyStorage.dwInterface = NCRYPT_KEY_STORAGE_INTERFACE;
        rgInterfaceRegKeyStorage.dwFlags = CRYPT_LOCAL;
        rgInterfaceRegKeyStorage.cFunctions = 1;
        rgInterfaceRegKeyStorage.rgpszFunctions = rgFunctionsArrayKeyStorage;

        PCRYPT_INTERFACE_REG rgpInterfaces[1] = {&rgInterfaceRegKeyStorage};

        CRYPT_IMAGE_REG ImageReg;
        ImageReg.pszImage = const_cast<PWSTR>(TEXT("QvnTpmKsp.dll"));
        ImageReg.cInterfaces = 1;
        ImageReg.rgpInterfaces = rgpInterfaces;

        CRYPT_PROVIDER_REG ProvReg;
        ProvReg.cAliases = KSP_CAPI_PROVIDER_COUNT;
        ProvReg.rgpszAliases = rgpAliasArray;
        ProvReg.pUM = &ImageReg;
        ProvReg.pKM = NULL;

        const NTSTATUS ntStatus = BCryptRegisterProvider(KSP_PROVIDER_NAME, CRYPT_OVERWRITE, &ProvReg);
        if (ntStatus < 0) {
            throw static_cast<HRESULT>(HRESULT_FROM_NT(ntStatus));
        }
        return S_OK;
    } catch (HRESULT hrResult) {
        return hrResult;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

extern "C" HRESULT WINAPI DllUnregisterServer(void)
{
    try {
        const NTSTATUS ntStatus = BCryptUnregisterProvider(KSP_PROVIDER_NAME);
        if (ntStatus == STATUS_SUCCESS) {
            return S_OK;
        }
        // Removing what is not registered is not an error.
        if (ntStatus == STATUS_NOT_FOUND) {
            return S_FALSE;
        }
        if (ntStatus < 0) {
            throw static_cast<HRESULT>(HRESULT_FROM_NT(ntStatus));
        }
        throw static_cast<HRESULT>(E_FAIL);
    } catch (HRESULT hrResult) {
        return hrResult;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
