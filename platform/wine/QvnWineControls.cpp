// See QvnWineControls.h.
#include "QvnWineControls.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace
{

// The test CSP as advapi32 loaded it, pinned so that it stays loaded (and
// keeps its counts) while no context is open.
struct Csp {
    QVN_WINE_CSP_FAIL_CALL pfnFailCall = nullptr;
    QVN_WINE_CSP_OPEN_HANDLES pfnOpenHandles = nullptr;
    QVN_WINE_CSP_TAKE_CALLS pfnTakeCalls = nullptr;
};
const Csp &TheCsp()
{
    static const Csp s_csp = [] {
        HCRYPTPROV hProv = 0;
        CryptAcquireContextW(&hProv, nullptr, L"Quorvane Alder Cryptographic Provider", PROV_RSA_FULL,
                             CRYPT_VERIFYCONTEXT);
        WCHAR szPath[MAX_PATH] = {};
        GetModuleFileNameW(GetModuleHandleW(L"QvnWineCsp.dll"), szPath, MAX_PATH);
        const HMODULE h = LoadLibraryW(szPath);
        CryptReleaseContext(hProv, 0);
        const auto get = [h](const char *pszName) { return reinterpret_cast<void *>(GetProcAddress(h, pszName)); };
        Csp csp = {reinterpret_cast<QVN_WINE_CSP_FAIL_CALL>(get("QvnWineCspFailCall")),
                   reinterpret_cast<QVN_WINE_CSP_OPEN_HANDLES>(get("QvnWineCspOpenHandles")),
                   reinterpret_cast<QVN_WINE_CSP_TAKE_CALLS>(get("QvnWineCspTakeCalls"))};
        if (!csp.pfnFailCall || !csp.pfnOpenHandles || !csp.pfnTakeCalls) {
            std::fprintf(stderr, "the test CSP's controls are missing\n");
            std::abort();
        }
        csp.pfnTakeCalls(nullptr, 0);
        return csp;
    }();
    return s_csp;
}

std::vector<QVN_CALL_RECORD> g_calls; // taken from the CSP so far

LONG Open(int i)
{
    LONG rgl[3] = {};
    TheCsp().pfnOpenHandles(&rgl[0], &rgl[1], &rgl[2]);
    return rgl[i];
}

// The module's heap, seen through its imports.
struct Heap {
    std::mutex mutex;
    std::map<void *, size_t> live;
    DWORD cAllocations = 0, dwFailCountdown = 0;
    bool fTrackFrees = false;
    int learning = 0;                // 1: the next failure starts it, 2: learning
    std::set<void *> runtimeCallers; // where the runtime allocates to throw
    std::vector<std::pair<SIZE_T, BOOL>> frees;
} g_heap;

// Whether this allocation of the module's code (called from pCaller) is the
// one to fail; counts it. The runtime's allocations to throw are not the
// module's (on Linux they are the shared C++ runtime's): they go through.
bool AllocationFails(void *pCaller)
{
    std::lock_guard<std::mutex> lock(g_heap.mutex);
    if (g_heap.learning == 2) {
        g_heap.runtimeCallers.insert(pCaller);
    }
    if (g_heap.runtimeCallers.count(pCaller) != 0) {
        return false;
    }
    ++g_heap.cAllocations;
    const bool fFails = g_heap.dwFailCountdown != 0 && --g_heap.dwFailCountdown == 0;
    g_heap.learning += fFails && g_heap.learning == 1 ? 1 : 0;
    return fFails;
}

void *Kept(void *pv, size_t cb, void *pCaller)
{
    std::lock_guard<std::mutex> lock(g_heap.mutex);
    if (pv != nullptr && g_heap.runtimeCallers.count(pCaller) == 0) {
        g_heap.live[pv] = cb;
    }
    return pv;
}

void Forget(void *pv)
{
    std::lock_guard<std::mutex> lock(g_heap.mutex);
    const auto it = g_heap.live.find(pv);
    if (it == g_heap.live.end()) {
        return; // allocated while the module loaded, before the imports were patched
    }
    if (g_heap.fTrackFrees) {
        const BYTE *pb = static_cast<const BYTE *>(pv);
        g_heap.frees.push_back({it->second, std::all_of(pb, pb + it->second, [](BYTE b) { return b == 0; })});
    }
    g_heap.live.erase(it);
}

void *__cdecl HookMalloc(size_t cb)
{
    void *pCaller = __builtin_return_address(0);
    return AllocationFails(pCaller) ? nullptr : Kept(malloc(cb), cb, pCaller);
}
void *__cdecl HookCalloc(size_t c, size_t cb)
{
    void *pCaller = __builtin_return_address(0);
    return AllocationFails(pCaller) ? nullptr : Kept(calloc(c, cb), c * cb, pCaller);
}
void *__cdecl HookRealloc(void *pv, size_t cb)
{
    void *pCaller = __builtin_return_address(0);
    if (AllocationFails(pCaller)) {
        return nullptr;
    }
    Forget(pv);
    return Kept(realloc(pv, cb), cb, pCaller);
}
void __cdecl HookFree(void *pv)
{
    Forget(pv);
    free(pv);
}

// The Windows version that the module is told, for the fuzz replay.
DWORD g_dwMajorVersion = 10, g_dwMinorVersion = 0;

// The module asks only whether Windows is at least a version (major and minor, VER_GREATER_EQUAL).
BOOL WINAPI HookVerifyVersionInfoW(OSVERSIONINFOEXW *pInfo, DWORD, DWORDLONG)
{
    if (std::make_pair(g_dwMajorVersion, g_dwMinorVersion) >=
        std::make_pair(pInfo->dwMajorVersion, pInfo->dwMinorVersion)) {
        return TRUE;
    }
    SetLastError(ERROR_OLD_WIN_VERSION);
    return FALSE;
}

template <typename T> T *At(HMODULE h, ULONG_PTR rva)
{
    return reinterpret_cast<T *>(reinterpret_cast<BYTE *>(h) + rva);
}

} // namespace

void QvnPlatformFailCall(const char *pszFunction, DWORD nthCall, DWORD dwError)
{
    TheCsp().pfnFailCall(pszFunction, nthCall, dwError);
}
void QvnPlatformClearFailures()
{
    TheCsp().pfnFailCall(nullptr, 0, 0);
}
void QvnPlatformClearCallLog()
{
    TheCsp().pfnTakeCalls(nullptr, 0);
    g_calls.clear();
}
DWORD QvnPlatformGetCallCount()
{
    QVN_CALL_RECORD calls[256];
    for (DWORD cLeft = 1; cLeft != 0;) {
        cLeft = TheCsp().pfnTakeCalls(calls, 256);
        g_calls.insert(g_calls.end(), calls, calls + std::min<DWORD>(cLeft, 256));
        cLeft -= std::min<DWORD>(cLeft, 256);
    }
    return static_cast<DWORD>(g_calls.size());
}
BOOL QvnPlatformGetCall(DWORD dwIndex, QVN_CALL_RECORD *pRecord)
{
    if (dwIndex >= g_calls.size()) {
        return FALSE;
    }
    *pRecord = g_calls[dwIndex];
    return TRUE;
}
LONG QvnPlatformLiveContexts()
{
    return Open(0);
}
LONG QvnPlatformLiveKeys()
{
    return Open(1);
}
LONG QvnPlatformLiveHashes()
{
    return Open(2);
}
void QvnPlatformFailModuleMalloc(DWORD nthCall)
{
    std::lock_guard<std::mutex> lock(g_heap.mutex);
    g_heap.dwFailCountdown = nthCall;
}
DWORD QvnPlatformModuleMallocCount()
{
    std::lock_guard<std::mutex> lock(g_heap.mutex);
    return g_heap.cAllocations;
}
LONG QvnPlatformModuleLiveBlocks()
{
    std::lock_guard<std::mutex> lock(g_heap.mutex);
    return static_cast<LONG>(g_heap.live.size());
}
void QvnPlatformResetModuleCounters()
{
    std::lock_guard<std::mutex> lock(g_heap.mutex);
    g_heap.cAllocations = g_heap.dwFailCountdown = 0;
    g_heap.frees.clear();
}
void QvnPlatformTrackModuleFrees(BOOL fTrack)
{
    std::lock_guard<std::mutex> lock(g_heap.mutex);
    g_heap.fTrackFrees = fTrack;
    g_heap.frees.clear();
}
BOOL QvnPlatformGetModuleFree(DWORD dwIndex, SIZE_T *pcbBlock, BOOL *pfAllZero)
{
    std::lock_guard<std::mutex> lock(g_heap.mutex);
    if (dwIndex >= g_heap.frees.size()) {
        return FALSE;
    }
    if (pcbBlock != nullptr) {
        *pcbBlock = g_heap.frees[dwIndex].first;
    }
    *pfAllZero = g_heap.frees[dwIndex].second;
    return TRUE;
}

// The C++ runtime linked into the module allocates to throw (the exception,
// and at a thread's first exception per-thread state that lives until the
// thread ends, not until the module unloads). Where it does is learnt here,
// once per module instance, from the std::bad_alloc of a failed allocation:
// what is allocated after that failure and until the call returns.
void LearnRuntimeCallers(HMODULE hModule)
{
    const auto pfnGetInterface = reinterpret_cast<LONG(WINAPI *)(LPCWSTR, void **, DWORD)>(
        reinterpret_cast<void *>(GetProcAddress(hModule, "GetKeyStorageInterface")));
    {
        std::lock_guard<std::mutex> lock(g_heap.mutex);
        g_heap.dwFailCountdown = 1;
        g_heap.learning = 1;
    }
    void *pTable = nullptr;
    pfnGetInterface(L"Quorvane TPM Key Storage Provider", &pTable, 0);
    std::lock_guard<std::mutex> lock(g_heap.mutex);
    g_heap.learning = 0;
    g_heap.dwFailCountdown = 0;
}

void QvnPlatformSetWindowsVersion(DWORD dwMajorVersion, DWORD dwMinorVersion)
{
    g_dwMajorVersion = dwMajorVersion;
    g_dwMinorVersion = dwMinorVersion;
}

HMODULE QvnWineLoadModule()
{
    WCHAR szPath[MAX_PATH] = {};
    const std::wstring strPath(szPath, GetModuleFileNameW(nullptr, szPath, MAX_PATH));
    HMODULE hModule = LoadLibraryW((strPath.substr(0, strPath.find_last_of(L"\\/") + 1) + L"QvnTpmKsp.dll").c_str());
    if (hModule == nullptr || !HookModuleImports(hModule)) {
        std::fprintf(stderr, "QvnTpmKsp.dll would not load, or its imports not be patched\n");
        return nullptr;
    }
    return hModule;
}

bool HookModuleImports(HMODULE hModule)
{
    const struct {
        const char *pszDll, *pszName;
        void *pfn;
    } hooks[] = {{"msvcrt.dll", "malloc", reinterpret_cast<void *>(HookMalloc)},
                 {"msvcrt.dll", "calloc", reinterpret_cast<void *>(HookCalloc)},
                 {"msvcrt.dll", "realloc", reinterpret_cast<void *>(HookRealloc)},
                 {"msvcrt.dll", "free", reinterpret_cast<void *>(HookFree)},
                 {"kernel32.dll", "VerifyVersionInfoW", reinterpret_cast<void *>(HookVerifyVersionInfoW)}};
    const auto *pNt = At<IMAGE_NT_HEADERS>(hModule, reinterpret_cast<IMAGE_DOS_HEADER *>(hModule)->e_lfanew);
    const DWORD rvaImports = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    size_t cPatched = 0;
    for (auto *pImport = At<IMAGE_IMPORT_DESCRIPTOR>(hModule, rvaImports); pImport->Name != 0; ++pImport) {
        const char *pszDll = At<char>(hModule, pImport->Name);
        auto *pName = At<IMAGE_THUNK_DATA>(hModule, pImport->OriginalFirstThunk);
        for (auto *pSlot = At<IMAGE_THUNK_DATA>(hModule, pImport->FirstThunk); pName->u1.AddressOfData != 0;
             ++pName, ++pSlot) {
            for (const auto &hook : hooks) {
                if (!IMAGE_SNAP_BY_ORDINAL(pName->u1.Ordinal) && _stricmp(pszDll, hook.pszDll) == 0 &&
                    std::strcmp(At<IMAGE_IMPORT_BY_NAME>(hModule, pName->u1.AddressOfData)->Name, hook.pszName) == 0) {
                    DWORD dwProtect = 0;
                    VirtualProtect(&pSlot->u1.Function, sizeof(pSlot->u1.Function), PAGE_READWRITE, &dwProtect);
                    pSlot->u1.Function = reinterpret_cast<ULONG_PTR>(hook.pfn);
                    VirtualProtect(&pSlot->u1.Function, sizeof(pSlot->u1.Function), dwProtect, &dwProtect);
                    ++cPatched;
                }
            }
        }
    }
    if (cPatched != std::size(hooks)) {
        return false;
    }
    LearnRuntimeCallers(hModule);
    return true;
}
