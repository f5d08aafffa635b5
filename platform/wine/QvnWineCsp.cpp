// QvnWineCsp.dll: the four Quorvane CSPs as Wine sees them.
//
// Wine's advapi32 loads this DLL for each of the four Quorvane provider names
// (registry "Image Path") and passes the name and type in the VTableProvStruc
// of CPAcquireContext. Every operation goes to Wine's rsaenh.dll acting as
// "Microsoft Enhanced RSA and AES Cryptographic Provider": rsaenh picks its
// algorithm set from the provider name it is given, and only that name gives
// SHA-256/384/512. Provider handles are rsaenh's own handles, passed through;
// a small table beside them remembers which Quorvane name each one was opened
// under, so that the provider parameters tell the truth about it.
//
// Containers are kept apart per name by storing container "K" of Alder as
// "QvnAlder.K" in rsaenh's store; the callers only ever see "K". A new key
// pair is written to the store at once, as a CSP on Windows does (rsaenh by
// itself waits for the context to be released). A container whose name starts
// with QVN_WINE_CSP_PROMPT_PREFIX plays one that needs a dialog to open.

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "QvnWineCsp.h"

// The table that CryptoAPI hands to CPAcquireContext (version 3 of the CSP
// interface). The SDK declares it only for targets older than Windows XP.
struct CspVTable {
    DWORD Version;
    FARPROC FuncVerifyImage;
    FARPROC FuncReturnhWnd;
    DWORD dwProvType;
    BYTE *pbContextInfo;
    DWORD cbContextInfo;
    LPSTR pszProvName;
};
typedef CspVTable *PVTableProvStruc;

extern "C" {
BOOL WINAPI CPAcquireContext(HCRYPTPROV *phProv, LPSTR pszContainer, DWORD dwFlags, PVTableProvStruc pVTable);
BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH *phHash);
BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags, BYTE *pbData,
                      DWORD *pdwDataLen);
BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags, HCRYPTKEY *phKey);
BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash);
BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey);
BOOL WINAPI CPDuplicateHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD *pdwReserved, DWORD dwFlags, HCRYPTHASH *phHash);
BOOL WINAPI CPDuplicateKey(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD *pdwReserved, DWORD dwFlags, HCRYPTKEY *phKey);
BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags, BYTE *pbData,
                      DWORD *pdwDataLen, DWORD dwBufLen);
BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                        BYTE *pbData, DWORD *pdwDataLen);
BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey);
BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE *pbBuffer);
BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                           DWORD dwFlags);
BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                          DWORD dwFlags);
BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags);
BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phUserKey);
BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen, DWORD dwFlags);
BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags);
BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                        HCRYPTKEY *phKey);
BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData, DWORD dwFlags);
BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE *pbData, DWORD dwFlags);
BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE *pbData, DWORD dwFlags);
BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                       BYTE *pbSignature, DWORD *pdwSigLen);
BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE *pbSignature, DWORD dwSigLen,
                              HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags);
void WINAPI QvnWineCspFailCall(const char *pszFunction, DWORD nthCall, DWORD dwError);
void WINAPI QvnWineCspOpenHandles(LONG *plContexts, LONG *plKeys, LONG *plHashes);
DWORD WINAPI QvnWineCspTakeCalls(QVN_WINE_CSP_CALL *pCalls, DWORD cMax);
}

namespace
{

struct ProviderIdentity {
    const char *pszName;
    const char *pszTag;
};

const ProviderIdentity g_identities[] = {
    {"Quorvane Alder Cryptographic Provider", "Alder"},
    {"Quorvane Birch Cryptographic Provider", "Birch"},
    {"Quorvane Cedar Cryptographic Provider", "Cedar"},
    {"Quorvane Dogwood Cryptographic Provider", "Dogwood"},
};

const ProviderIdentity *FindIdentity(const char *pszName)
{
    if (pszName == nullptr) {
        return nullptr;
    }
    for (const ProviderIdentity &identity : g_identities) {
        if (std::strcmp(identity.pszName, pszName) == 0) {
            return &identity;
        }
    }
    return nullptr;
}

std::string StorePrefix(const ProviderIdentity &identity)
{
    return std::string(QVN_WINE_CSP_STORE_PREFIX) + identity.pszTag + ".";
}

bool StartsWith(const std::string &str, const char *pszPrefix)
{
    return str.compare(0, std::strlen(pszPrefix), pszPrefix) == 0;
}

// The entry points of the CSP interface, by name without their "CP".
// clang-format off
#define QVN_CSP_ENTRY_POINTS(X)                                                                                  \
    X(AcquireContext) X(CreateHash) X(Decrypt) X(DeriveKey) X(DestroyHash) X(DestroyKey) X(DuplicateHash)         \
    X(DuplicateKey) X(Encrypt) X(ExportKey) X(GenKey) X(GenRandom) X(GetHashParam) X(GetKeyParam) X(GetProvParam) \
    X(GetUserKey) X(HashData) X(HashSessionKey) X(ImportKey) X(ReleaseContext) X(SetHashParam) X(SetKeyParam)     \
    X(SetProvParam) X(SignHash) X(VerifySignature)
// clang-format on

// rsaenh's entry points. Their prototypes are ours: the same CSP interface.
struct Backend {
    HMODULE hModule = nullptr;
#define QVN_BACKEND_ENTRY(name) decltype(&CP##name) pfn##name = nullptr;
    QVN_CSP_ENTRY_POINTS(QVN_BACKEND_ENTRY)
#undef QVN_BACKEND_ENTRY
};

Backend g_backend;
INIT_ONCE g_backendOnce = INIT_ONCE_STATIC_INIT;

template <typename Pfn> bool Resolve(HMODULE hModule, const char *pszName, Pfn &pfn)
{
    pfn = reinterpret_cast<Pfn>(reinterpret_cast<void *>(GetProcAddress(hModule, pszName)));
    return pfn != nullptr;
}

BOOL CALLBACK LoadBackend(PINIT_ONCE, PVOID, PVOID *)
{
    Backend backend;
    backend.hModule = LoadLibraryW(L"rsaenh.dll");
    if (backend.hModule == nullptr) {
        return FALSE;
    }
    const HMODULE h = backend.hModule;
#define QVN_RESOLVE_ENTRY(name) &&Resolve(h, "CP" #name, backend.pfn##name)
    const bool fComplete = true QVN_CSP_ENTRY_POINTS(QVN_RESOLVE_ENTRY);
#undef QVN_RESOLVE_ENTRY
    if (!fComplete) {
        FreeLibrary(h);
        return FALSE;
    }
    g_backend = backend;
    return TRUE;
}

// rsaenh, loaded once and kept for the life of the process; null (with the
// last error NTE_PROVIDER_DLL_FAIL) when it cannot be loaded.
const Backend *GetBackend()
{
    if (!InitOnceExecuteOnce(&g_backendOnce, LoadBackend, nullptr, nullptr)) {
        SetLastError(static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL));
        return nullptr;
    }
    return &g_backend;
}

// What a provider handle was opened as.
struct ContextInfo {
    const ProviderIdentity *pIdentity = nullptr;
    DWORD dwProvType = 0;
    bool fVerifyContext = false;
    std::string strContainer; // as the caller named it; empty for a verification context
    DWORD dwEnumIndex = 0;    // PP_ENUMCONTAINERS: containers of this name handed out so far
};

// The provider handles handed out, under their own lock.
std::mutex g_contextsMutex;
std::map<HCRYPTPROV, ContextInfo> g_contexts;
using TableLock = std::lock_guard<std::mutex>;

// The test controls of QvnWineCsp.h: the armed failures, the handles still
// open (contexts, keys, hashes) and the log of calls.
enum Handle { kNoHandle = -1, kContext, kKey, kHash };
struct Controls {
    std::mutex mutex;
    std::map<std::string, std::pair<DWORD, DWORD>> failing; // function: nth call from now, last error
    LONG rglOpen[3] = {};
    std::vector<QVN_WINE_CSP_CALL> calls;
};
Controls &TheControls()
{
    static Controls *s_pControls = new Controls; // never destroyed: CSP calls may come during process exit
    return *s_pControls;
}

// One call of an entry as the caller named it: failed when it is the armed
// failure, logged, and the handle it opens or releases counted. A release
// made to fail still releases (advapi32 forgets the handle whatever the CSP
// answers) and then reports the failure.
template <typename Call>
BOOL Logged(const char *pszFunction, Call call, Handle opens = kNoHandle, Handle releases = kNoHandle,
            const char *pszContainer = nullptr)
{
    Controls &c = TheControls();
    bool fFails = false;
    DWORD dwInjected = 0;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        const auto it = c.failing.find(pszFunction);
        fFails = it != c.failing.end() && --it->second.first == 0;
        dwInjected = fFails ? it->second.second : 0;
        if (fFails) {
            c.failing.erase(it);
        }
    }
    BOOL fResult = fFails && releases == kNoHandle ? FALSE : call();
    const DWORD dwError = fFails ? dwInjected : fResult ? ERROR_SUCCESS : GetLastError();
    fResult = fResult && !fFails;
    std::lock_guard<std::mutex> lock(c.mutex);
    if (releases != kNoHandle) {
        --c.rglOpen[releases];
    } else if (fResult && opens != kNoHandle) {
        ++c.rglOpen[opens];
    }
    QVN_WINE_CSP_CALL record = {};
    std::strncpy(record.szFunction, pszFunction, sizeof(record.szFunction) - 1);
    std::strncpy(record.szContainer, pszContainer != nullptr ? pszContainer : "", sizeof(record.szContainer) - 1);
    record.fSucceeded = fResult;
    record.dwError = dwError;
    if (c.calls.size() < 100000) { // a test that never takes the log does not grow it without bound
        c.calls.push_back(record);
    }
    SetLastError(dwError);
    return fResult;
}

// CryptoAPI's way of returning a parameter: the size alone when pbData is
// null, ERROR_MORE_DATA with the size when the buffer is too small.
BOOL CopyParam(BYTE *pbData, DWORD *pdwDataLen, const void *pvValue, DWORD cbValue)
{
    if (pbData != nullptr) {
        if (*pdwDataLen < cbValue) {
            *pdwDataLen = cbValue;
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        std::memcpy(pbData, pvValue, cbValue);
    }
    *pdwDataLen = cbValue;
    return TRUE;
}

BOOL CopyStringParam(BYTE *pbData, DWORD *pdwDataLen, const std::string &str)
{
    return CopyParam(pbData, pdwDataLen, str.c_str(), static_cast<DWORD>(str.size() + 1));
}

// The next container of this provider name in rsaenh's store, without the
// store prefix. rsaenh enumerates every name's containers together, so the
// walk starts from the first each time and counts only this name's ones.
BOOL EnumContainers(const Backend &backend, HCRYPTPROV hProv, ContextInfo &info, BYTE *pbData, DWORD *pdwDataLen,
                    DWORD dwFlags)
{
    if (dwFlags & CRYPT_FIRST) {
        info.dwEnumIndex = 0;
    }
    if (pbData == nullptr) {
        *pdwDataLen = MAX_PATH + 1;
        return TRUE;
    }
    const std::string strPrefix = StorePrefix(*info.pIdentity);
    DWORD dwWalkFlags = dwFlags | CRYPT_FIRST;
    DWORD dwSeen = 0;
    for (;;) {
        char szName[MAX_PATH + 1] = {};
        DWORD cbName = sizeof(szName);
        if (!backend.pfnGetProvParam(hProv, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(szName), &cbName,
                                     dwWalkFlags)) {
            return FALSE; // ERROR_NO_MORE_ITEMS at the end
        }
        dwWalkFlags &= ~static_cast<DWORD>(CRYPT_FIRST);
        const std::string strStored(szName);
        if (!StartsWith(strStored, strPrefix.c_str())) {
            continue;
        }
        if (dwSeen++ < info.dwEnumIndex) {
            continue;
        }
        if (!CopyStringParam(pbData, pdwDataLen, strStored.substr(strPrefix.size()))) {
            return FALSE;
        }
        ++info.dwEnumIndex;
        return TRUE;
    }
}

// The container that rsaenh takes for "none given": the user's name.
bool DefaultContainerName(std::string &strName)
{
    char szUser[MAX_PATH] = {};
    DWORD cchUser = MAX_PATH;
    if (!GetUserNameA(szUser, &cchUser)) {
        return false;
    }
    strName = szUser;
    return true;
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(hInstance);
    }
    return TRUE;
}

void WINAPI QvnWineCspFailCall(const char *pszFunction, DWORD nthCall, DWORD dwError)
{
    Controls &c = TheControls();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (pszFunction == nullptr) {
        c.failing.clear();
    } else if (nthCall == 0) {
        c.failing.erase(pszFunction);
    } else {
        c.failing[pszFunction] = {nthCall, dwError};
    }
}

void WINAPI QvnWineCspOpenHandles(LONG *plContexts, LONG *plKeys, LONG *plHashes)
{
    Controls &c = TheControls();
    std::lock_guard<std::mutex> lock(c.mutex);
    *plContexts = c.rglOpen[kContext];
    *plKeys = c.rglOpen[kKey];
    *plHashes = c.rglOpen[kHash];
}

DWORD WINAPI QvnWineCspTakeCalls(QVN_WINE_CSP_CALL *pCalls, DWORD cMax)
{
    Controls &c = TheControls();
    std::lock_guard<std::mutex> lock(c.mutex);
    const DWORD cCalls = static_cast<DWORD>(c.calls.size());
    const DWORD cTaken = pCalls == nullptr ? cCalls : std::min(cCalls, cMax);
    std::copy(c.calls.begin(), c.calls.begin() + (pCalls == nullptr ? 0 : cTaken), pCalls);
    c.calls.erase(c.calls.begin(), c.calls.begin() + cTaken);
    return cCalls;
}

static BOOL AcquireContext(HCRYPTPROV *phProv, LPSTR pszContainer, DWORD dwFlags, PVTableProvStruc pVTable)
{
    if (phProv == nullptr || pVTable == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ProviderIdentity *pIdentity = FindIdentity(pVTable->pszProvName);
    if (pIdentity == nullptr) {
        SetLastError(static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL));
        return FALSE;
    }
    const Backend *pBackend = GetBackend();
    if (pBackend == nullptr) {
        return FALSE;
    }

    CspVTable vtBackend = *pVTable;
    vtBackend.dwProvType = PROV_RSA_AES;
    char szBackendName[] = MS_ENH_RSA_AES_PROV_A;
    vtBackend.pszProvName = szBackendName;

    try {
        ContextInfo info;
        info.pIdentity = pIdentity;
        info.dwProvType = pVTable->dwProvType;

        HCRYPTPROV hBackend = 0;
        if (dwFlags & CRYPT_VERIFYCONTEXT) {
            // No container: rsaenh itself refuses a name here.
            if (!pBackend->pfnAcquireContext(&hBackend, pszContainer, dwFlags, &vtBackend)) {
                return FALSE;
            }
            info.fVerifyContext = true;
        } else {
            std::string strName;
            if (pszContainer != nullptr && *pszContainer != '\0') {
                strName = pszContainer;
            } else if (!DefaultContainerName(strName)) {
                return FALSE;
            }
            const bool fNeedsPrompt = StartsWith(strName, QVN_WINE_CSP_PROMPT_PREFIX);
            const bool fSilent = (dwFlags & CRYPT_SILENT) != 0;
            const DWORD dwAction = dwFlags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET);
            if (fNeedsPrompt && fSilent && dwAction == CRYPT_NEWKEYSET) {
                SetLastError(static_cast<DWORD>(NTE_SILENT_CONTEXT));
                return FALSE;
            }

            std::string strStored = StorePrefix(*pIdentity) + strName;
            if (!pBackend->pfnAcquireContext(&hBackend, &strStored[0], dwFlags, &vtBackend)) {
                return FALSE;
            }
            if (dwAction == CRYPT_DELETEKEYSET) {
                return TRUE; // no context remains
            }
            if (fNeedsPrompt && fSilent) {
                // The container exists; opening it would need the dialog.
                pBackend->pfnReleaseContext(hBackend, 0);
                SetLastError(static_cast<DWORD>(NTE_SILENT_CONTEXT));
                return FALSE;
            }
            info.strContainer = strName;
        }

        try {
            TableLock lock(g_contextsMutex);
            g_contexts[hBackend] = info;
        } catch (const std::bad_alloc &) {
            pBackend->pfnReleaseContext(hBackend, 0);
            throw;
        }
        *phProv = hBackend;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (const std::bad_alloc &) {
        SetLastError(static_cast<DWORD>(NTE_NO_MEMORY));
        return FALSE;
    }
}

BOOL WINAPI CPAcquireContext(HCRYPTPROV *phProv, LPSTR pszContainer, DWORD dwFlags, PVTableProvStruc pVTable)
{
    const Handle opens = (dwFlags & CRYPT_DELETEKEYSET) != 0 ? kNoHandle : kContext; // deleting keeps no context
    return Logged(
        "CryptAcquireContextW", [&] { return AcquireContext(phProv, pszContainer, dwFlags, pVTable); }, opens,
        kNoHandle, pszContainer);
}

static BOOL ReleaseContext(HCRYPTPROV hProv, DWORD dwFlags)
{
    const BOOL fResult = g_backend.pfnReleaseContext(hProv, dwFlags);
    const DWORD dwError = GetLastError();
    {
        // advapi32 forgets the handle whatever the answer; so do we.
        TableLock lock(g_contextsMutex);
        g_contexts.erase(hProv);
    }
    SetLastError(dwError);
    return fResult;
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags)
{
    return Logged(
        "CryptReleaseContext", [&] { return ReleaseContext(hProv, dwFlags); }, kNoHandle, kContext);
}

static BOOL GetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags)
{
    if (pdwDataLen == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        TableLock lock(g_contextsMutex);
        auto it = g_contexts.find(hProv);
        if (it != g_contexts.end()) {
            ContextInfo &info = it->second;
            switch (dwParam) {
            case PP_NAME:
                return CopyStringParam(pbData, pdwDataLen, info.pIdentity->pszName);
            case PP_PROVTYPE:
                return CopyParam(pbData, pdwDataLen, &info.dwProvType, sizeof(info.dwProvType));
            case PP_CONTAINER:
            case PP_UNIQUE_CONTAINER:
                return CopyStringParam(pbData, pdwDataLen, info.strContainer);
            case PP_ENUMCONTAINERS:
                return EnumContainers(g_backend, hProv, info, pbData, pdwDataLen, dwFlags);
            default:
                break;
            }
        }
    } catch (const std::bad_alloc &) {
        SetLastError(static_cast<DWORD>(NTE_NO_MEMORY));
        return FALSE;
    }
    return g_backend.pfnGetProvParam(hProv, dwParam, pbData, pdwDataLen, dwFlags);
}

BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags)
{
    return Logged("CryptGetProvParam", [&] { return GetProvParam(hProv, dwParam, pbData, pdwDataLen, dwFlags); });
}

// Everything else is rsaenh's business. A handle reaches these entries only
// after CPAcquireContext has loaded rsaenh.

BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH *phHash)
{
    return Logged(
        "CryptCreateHash", [&] { return g_backend.pfnCreateHash(hProv, Algid, hKey, dwFlags, phHash); }, kHash);
}

BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags, BYTE *pbData,
                      DWORD *pdwDataLen)
{
    return Logged("CryptDecrypt",
                  [&] { return g_backend.pfnDecrypt(hProv, hKey, hHash, fFinal, dwFlags, pbData, pdwDataLen); });
}

BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags, HCRYPTKEY *phKey)
{
    return Logged(
        "CryptDeriveKey", [&] { return g_backend.pfnDeriveKey(hProv, Algid, hBaseData, dwFlags, phKey); }, kKey);
}

BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash)
{
    return Logged(
        "CryptDestroyHash", [&] { return g_backend.pfnDestroyHash(hProv, hHash); }, kNoHandle, kHash);
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey)
{
    return Logged(
        "CryptDestroyKey", [&] { return g_backend.pfnDestroyKey(hProv, hKey); }, kNoHandle, kKey);
}

BOOL WINAPI CPDuplicateHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD *pdwReserved, DWORD dwFlags, HCRYPTHASH *phHash)
{
    return Logged(
        "CryptDuplicateHash", [&] { return g_backend.pfnDuplicateHash(hProv, hHash, pdwReserved, dwFlags, phHash); },
        kHash);
}

BOOL WINAPI CPDuplicateKey(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD *pdwReserved, DWORD dwFlags, HCRYPTKEY *phKey)
{
    return Logged(
        "CryptDuplicateKey", [&] { return g_backend.pfnDuplicateKey(hProv, hKey, pdwReserved, dwFlags, phKey); }, kKey);
}

BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags, BYTE *pbData,
                      DWORD *pdwDataLen, DWORD dwBufLen)
{
    return Logged("CryptEncrypt", [&] {
        return g_backend.pfnEncrypt(hProv, hKey, hHash, fFinal, dwFlags, pbData, pdwDataLen, dwBufLen);
    });
}

BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                        BYTE *pbData, DWORD *pdwDataLen)
{
    return Logged("CryptExportKey", [&] {
        return g_backend.pfnExportKey(hProv, hKey, hPubKey, dwBlobType, dwFlags, pbData, pdwDataLen);
    });
}

// rsaenh writes a new key pair to its store only when the context is
// released; a CSP on Windows keeps it at once, so that another context on the
// container sees it while the first is still open. rsaenh does store an
// imported key pair at once: generate exportable, export, import with the
// caller's exportability and hand out the imported key.
static BOOL GenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey)
{
    const bool fKeyPair =
        Algid == AT_KEYEXCHANGE || Algid == AT_SIGNATURE || Algid == CALG_RSA_KEYX || Algid == CALG_RSA_SIGN;
    bool fPersistent = false;
    if (fKeyPair) {
        TableLock lock(g_contextsMutex);
        auto it = g_contexts.find(hProv);
        fPersistent = it != g_contexts.end() && !it->second.fVerifyContext;
    }
    if (!fPersistent || phKey == nullptr) {
        return g_backend.pfnGenKey(hProv, Algid, dwFlags, phKey);
    }

    HCRYPTKEY hGenerated = 0;
    if (!g_backend.pfnGenKey(hProv, Algid, dwFlags | CRYPT_EXPORTABLE, &hGenerated)) {
        return FALSE;
    }
    BOOL fResult = FALSE;
    DWORD dwError = ERROR_SUCCESS;
    try {
        DWORD cbBlob = 0;
        if (g_backend.pfnExportKey(hProv, hGenerated, 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob)) {
            std::vector<BYTE> blob(cbBlob);
            HCRYPTKEY hImported = 0;
            if (g_backend.pfnExportKey(hProv, hGenerated, 0, PRIVATEKEYBLOB, 0, blob.data(), &cbBlob) &&
                g_backend.pfnImportKey(hProv, blob.data(), cbBlob, 0, dwFlags & CRYPT_EXPORTABLE, &hImported)) {
                *phKey = hImported;
                fResult = TRUE;
            }
            dwError = GetLastError();
            SecureZeroMemory(blob.data(), blob.size());
        } else {
            dwError = GetLastError();
        }
    } catch (const std::bad_alloc &) {
        dwError = static_cast<DWORD>(NTE_NO_MEMORY);
    }
    g_backend.pfnDestroyKey(hProv, hGenerated);
    SetLastError(fResult ? ERROR_SUCCESS : dwError);
    return fResult;
}

BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey)
{
    return Logged(
        "CryptGenKey", [&] { return GenKey(hProv, Algid, dwFlags, phKey); }, kKey);
}

BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE *pbBuffer)
{
    return g_backend.pfnGenRandom(hProv, dwLen, pbBuffer);
}

BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                           DWORD dwFlags)
{
    return Logged("CryptGetHashParam",
                  [&] { return g_backend.pfnGetHashParam(hProv, hHash, dwParam, pbData, pdwDataLen, dwFlags); });
}

BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                          DWORD dwFlags)
{
    return Logged("CryptGetKeyParam",
                  [&] { return g_backend.pfnGetKeyParam(hProv, hKey, dwParam, pbData, pdwDataLen, dwFlags); });
}

BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phUserKey)
{
    return Logged(
        "CryptGetUserKey", [&] { return g_backend.pfnGetUserKey(hProv, dwKeySpec, phUserKey); }, kKey);
}

BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen, DWORD dwFlags)
{
    return Logged("CryptHashData", [&] { return g_backend.pfnHashData(hProv, hHash, pbData, dwDataLen, dwFlags); });
}

BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags)
{
    return g_backend.pfnHashSessionKey(hProv, hHash, hKey, dwFlags);
}

BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                        HCRYPTKEY *phKey)
{
    return Logged(
        "CryptImportKey", [&] { return g_backend.pfnImportKey(hProv, pbData, dwDataLen, hPubKey, dwFlags, phKey); },
        kKey);
}

BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData, DWORD dwFlags)
{
    return Logged("CryptSetHashParam",
                  [&] { return g_backend.pfnSetHashParam(hProv, hHash, dwParam, pbData, dwFlags); });
}

BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE *pbData, DWORD dwFlags)
{
    return g_backend.pfnSetKeyParam(hProv, hKey, dwParam, pbData, dwFlags);
}

BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE *pbData, DWORD dwFlags)
{
    return g_backend.pfnSetProvParam(hProv, dwParam, pbData, dwFlags);
}

BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                       BYTE *pbSignature, DWORD *pdwSigLen)
{
    return Logged("CryptSignHashW", [&] {
        return g_backend.pfnSignHash(hProv, hHash, dwKeySpec, szDescription, dwFlags, pbSignature, pdwSigLen);
    });
}

BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE *pbSignature, DWORD dwSigLen,
                              HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags)
{
    return Logged("CryptVerifySignatureW", [&] {
        return g_backend.pfnVerifySignature(hProv, hHash, pbSignature, dwSigLen, hPubKey, szDescription, dwFlags);
    });
}
