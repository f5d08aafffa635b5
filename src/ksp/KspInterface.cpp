#include "ksp/KspInterface.h"

#include "ksp/KspProviderNames.h"
#include "ksp/KspStubs.h"

const NCRYPT_KEY_STORAGE_FUNCTION_TABLE g_KspFunctionTable = {
    NCRYPT_KEY_STORAGE_INTERFACE_VERSION,
    KspOpenProvider,
    KspOpenKey,
    KspCreatePersistedKey,
    KspGetProviderProperty,
    KspGetKeyProperty,
    KspSetProviderProperty,
    KspSetKeyProperty,
    KspFinalizeKey,
    KspDeleteKey,
    KspFreeProvider,
    KspFreeKey,
    KspFreeBuffer,
    KspEncrypt,
    KspDecrypt,
    KspIsAlgSupported,
    KspEnumAlgorithms,
    KspEnumKeys,
    KspImportKey,
    KspExportKey,
    KspSignHash,
    KspVerifySignature,
    KspPromptUser,
    KspNotifyChangeKey,
    KspSecretAgreement,
    KspDeriveKey,
    KspFreeSecret,
};

extern "C" NTSTATUS WINAPI GetKeyStorageInterface(LPCWSTR pszProviderName,
                                                  NCRYPT_KEY_STORAGE_FUNCTION_TABLE **ppFunctionTable, DWORD dwFlags)
{
    // Failures travel as the bare NTSTATUS value to the handler at the end;
    // anything else (running out of memory while copying the name) is
    // STATUS_UNSUCCESSFUL.
    try {
        if (pszProviderName == NULL) {
            throw static_cast<NTSTATUS>(STATUS_INVALID_PARAMETER);
        }
        const KSP_WSTRING strProviderName(pszProviderName);
        if (strProviderName != KSP_PROVIDER_NAME && !IsCapiProviderName(strProviderName)) {
            throw static_cast<NTSTATUS>(STATUS_INVALID_PARAMETER);
        }
        if (!IsSupportedOsVersion()) {
            throw static_cast<NTSTATUS>(STATUS_NOT_SUPPORTED);
        }
        if (ppFunctionTable == NULL) {
            throw static_cast<NTSTATUS>(STATUS_INVALID_PARAMETER);
        }
        if (dwFlags != 0) {
            throw static_cast<NTSTATUS>(STATUS_INVALID_PARAMETER);
        }
        // The router's prototype takes a non-const table; nobody writes it.
        *ppFunctionTable = const_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(&g_KspFunctionTable);
        return STATUS_SUCCESS;
    } catch (NTSTATUS ntstatusCatch) {
        return ntstatusCatch;
    } catch (...) {
        return STATUS_UNSUCCESSFUL;
    }
}
