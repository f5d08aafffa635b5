// ncrypt's router for the calls an application makes to sign and verify with a
// persisted key: NCryptOpenStorageProvider, NCryptOpenKey, NCryptSignHash,
// NCryptVerifySignature and NCryptFreeObject. As the CNG router does, opening
// a provider finds its registration (by name, else as an alias), loads the
// registered user-mode image, calls its GetKeyStorageInterface under the name
// the application gave, and from then on calls that function table; the
// handles given out stand for the module's handles together with the table.
//
// The image is looked for in the stand-in's system folder, the folder of the
// platform library itself, as its Linux counterpart (QvnTpmKsp.dll there is
// QvnTpmKsp.so). Where Windows' router answers with statuses that its
// documentation does not give, the stand-in chooses: a name that no
// registration has, or an image that does not load, is NTE_PROV_DLL_NOT_FOUND;
// an image without the export, or whose export refuses the name, is
// NTE_PROVIDER_DLL_FAIL.
#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>

#include <ncrypt_provider.h>

#include <ntstatus.h>

#include "../bcrypt/ProviderRegistrations.h"
#include "../kernel32/wide.h"

#include <dlfcn.h>

#include <mutex>
#include <new>
#include <set>
#include <string>

namespace
{

struct Provider {
    HMODULE hModule = nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    NCRYPT_PROV_HANDLE hModuleProvider = 0;
    bool fFreed = false; // the application freed its handle; the keys may still hold it
    size_t cKeys = 0;
};

struct Key {
    Provider *pProvider = nullptr;
    NCRYPT_KEY_HANDLE hModuleKey = 0;
};

// The objects given out: a handle is used only when it is found here.
std::mutex g_mutex;
std::set<Provider *> g_providers;
std::set<Key *> g_keys;

std::string SystemFolder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&SystemFolder), &info) == 0 || info.dli_fname == nullptr) {
        return ".";
    }
    const std::string strPath = info.dli_fname;
    const size_t iSlash = strPath.find_last_of('/');
    return iSlash == std::string::npos ? "." : strPath.substr(0, iSlash);
}

// The registered image's Linux counterpart: its name up to the first dot, then ".so".
std::string ImagePath(const std::u16string &strImage)
{
    const std::string strName = qvn::ToUtf8(strImage);
    return SystemFolder() + "/" + strName.substr(0, strName.find('.')) + ".so";
}

// Unloads the module once neither the application nor a key holds the provider.
void ReleaseIfUnused(Provider *pProvider)
{
    if (pProvider->fFreed && pProvider->cKeys == 0) {
        pProvider->pTable->FreeProvider(pProvider->hModuleProvider);
        FreeLibrary(pProvider->hModule);
        delete pProvider;
    }
}

Key *FindKey(NCRYPT_HANDLE hKey)
{
    Key *pKey = reinterpret_cast<Key *>(hKey);
    return g_keys.count(pKey) != 0 ? pKey : nullptr;
}

// Calls the module with the key's provider and module handle, under the lock.
template <class Call> SECURITY_STATUS CallWithKey(NCRYPT_HANDLE hKey, Call call)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const Key *pKey = FindKey(hKey);
    return pKey != nullptr ? call(*pKey->pProvider, pKey->hModuleKey) : NTE_INVALID_HANDLE;
}

SECURITY_STATUS LoadProvider(LPCWSTR pszProviderName, DWORD dwFlags, Provider *pProvider)
{
    std::u16string strImage;
    try {
        if (!qvn::bcrypt::FindUserModeImage(pszProviderName, &strImage)) {
            return NTE_PROV_DLL_NOT_FOUND;
        }
    } catch (...) { // the store could not be read: as if nothing were registered
        return NTE_PROV_DLL_NOT_FOUND;
    }
    const std::u16string strPath = qvn::ToUtf16(ImagePath(strImage));
    pProvider->hModule = LoadLibraryW(strPath.c_str());
    if (pProvider->hModule == nullptr) {
        return NTE_PROV_DLL_NOT_FOUND;
    }
    auto pfnGetInterface = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(pProvider->hModule, NCRYPT_KEY_STORAGE_INTERFACE_NAME)));
    if (pfnGetInterface == nullptr || pfnGetInterface(pszProviderName, &pProvider->pTable, 0) != STATUS_SUCCESS) {
        FreeLibrary(pProvider->hModule);
        return NTE_PROVIDER_DLL_FAIL;
    }
    const SECURITY_STATUS status =
        pProvider->pTable->OpenProvider(&pProvider->hModuleProvider, pszProviderName, dwFlags);
    if (status != ERROR_SUCCESS) {
        FreeLibrary(pProvider->hModule);
    }
    return status;
}

} // namespace

extern "C" {

SECURITY_STATUS WINAPI NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE *phProvider, LPCWSTR pszProviderName, DWORD dwFlags)
{
    // Windows opens its default provider for a null name; the stand-in has none.
    if (phProvider == nullptr || pszProviderName == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    try {
        Provider *pProvider = new Provider;
        const SECURITY_STATUS status = LoadProvider(pszProviderName, dwFlags, pProvider);
        if (status != ERROR_SUCCESS) {
            delete pProvider;
            return status;
        }
        std::lock_guard<std::mutex> lock(g_mutex);
        g_providers.insert(pProvider);
        *phProvider = reinterpret_cast<NCRYPT_PROV_HANDLE>(pProvider);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc &) {
        return NTE_NO_MEMORY;
    }
}

SECURITY_STATUS WINAPI NCryptOpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE *phKey, LPCWSTR pszKeyName,
                                     DWORD dwLegacyKeySpec, DWORD dwFlags)
{
    if (phKey == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    Provider *pProvider = reinterpret_cast<Provider *>(hProvider);
    if (g_providers.count(pProvider) == 0) {
        return NTE_INVALID_HANDLE;
    }
    try {
        Key *pKey = new Key{pProvider, 0};
        const SECURITY_STATUS status = pProvider->pTable->OpenKey(pProvider->hModuleProvider, &pKey->hModuleKey,
                                                                  pszKeyName, dwLegacyKeySpec, dwFlags);
        if (status != ERROR_SUCCESS) {
            delete pKey;
            return status;
        }
        g_keys.insert(pKey);
        ++pProvider->cKeys;
        *phKey = reinterpret_cast<NCRYPT_KEY_HANDLE>(pKey);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc &) {
        return NTE_NO_MEMORY;
    }
}

SECURITY_STATUS WINAPI NCryptSignHash(NCRYPT_KEY_HANDLE hKey, VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue,
                                      PBYTE pbSignature, DWORD cbSignature, DWORD *pcbResult, DWORD dwFlags)
{
    return CallWithKey(hKey, [&](const Provider &provider, NCRYPT_KEY_HANDLE hModuleKey) {
        return provider.pTable->SignHash(provider.hModuleProvider, hModuleKey, pPaddingInfo, pbHashValue, cbHashValue,
                                         pbSignature, cbSignature, pcbResult, dwFlags);
    });
}

SECURITY_STATUS WINAPI NCryptVerifySignature(NCRYPT_KEY_HANDLE hKey, VOID *pPaddingInfo, PBYTE pbHashValue,
                                             DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature, DWORD dwFlags)
{
    return CallWithKey(hKey, [&](const Provider &provider, NCRYPT_KEY_HANDLE hModuleKey) {
        return provider.pTable->VerifySignature(provider.hModuleProvider, hModuleKey, pPaddingInfo, pbHashValue,
                                                cbHashValue, pbSignature, cbSignature, dwFlags);
    });
}

// A key is freed in its module at once; a provider once its last key is freed too.
SECURITY_STATUS WINAPI NCryptFreeObject(NCRYPT_HANDLE hObject)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (Key *pKey = FindKey(hObject)) {
        Provider *pProvider = pKey->pProvider;
        const SECURITY_STATUS status = pProvider->pTable->FreeKey(pProvider->hModuleProvider, pKey->hModuleKey);
        g_keys.erase(pKey);
        delete pKey;
        --pProvider->cKeys;
        ReleaseIfUnused(pProvider);
        return status;
    }
    Provider *pProvider = reinterpret_cast<Provider *>(hObject);
    if (g_providers.erase(pProvider) == 0) {
        return NTE_INVALID_HANDLE;
    }
    pProvider->fFreed = true;
    ReleaseIfUnused(pProvider);
    return ERROR_SUCCESS;
}

} // extern "C"
