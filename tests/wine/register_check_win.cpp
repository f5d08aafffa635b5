// Self-registration of the DLL on a real Win32 implementation: loads
// QvnTpmKsp.dll from beside this program, calls DllRegisterServer and then
// DllUnregisterServer twice, and compares each HRESULT with the one expected
// from what the platform's BCryptRegisterProvider / BCryptUnregisterProvider
// answer, given on the command line in hex:
//
//   wine_register_check REGISTER UNREGISTER UNREGISTER_AGAIN
//
// Windows answers S_OK, S_OK, S_FALSE. Wine's bcrypt registers nothing and
// reports success, and does not implement removal (STATUS_NOT_IMPLEMENTED,
// 0xC0000002): S_OK, 0xD0000002, 0xD0000002.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

typedef HRESULT(WINAPI *RegistrationFn)(void);

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4) {
        std::fwprintf(stderr, L"usage: wine_register_check REGISTER UNREGISTER UNREGISTER_AGAIN (hex HRESULTs)\n");
        return 2;
    }
    wchar_t szModule[MAX_PATH];
    const DWORD cchPath = GetModuleFileNameW(nullptr, szModule, MAX_PATH);
    wchar_t *pszSlash = std::wcsrchr(szModule, L'\\');
    if (cchPath == 0 || cchPath >= MAX_PATH || pszSlash == nullptr) {
        std::fwprintf(stderr, L"cannot find this program's directory\n");
        return 2;
    }
    std::wcscpy(pszSlash + 1, L"QvnTpmKsp.dll");

    HMODULE hModule = LoadLibraryW(szModule);
    if (hModule == nullptr) {
        std::fwprintf(stderr, L"LoadLibraryW(%ls) failed: %lu\n", szModule, GetLastError());
        return 1;
    }
    const RegistrationFn pfnRegister =
        reinterpret_cast<RegistrationFn>(reinterpret_cast<void *>(GetProcAddress(hModule, "DllRegisterServer")));
    const RegistrationFn pfnUnregister =
        reinterpret_cast<RegistrationFn>(reinterpret_cast<void *>(GetProcAddress(hModule, "DllUnregisterServer")));
    if (pfnRegister == nullptr || pfnUnregister == nullptr) {
        std::fwprintf(stderr, L"the DLL does not export DllRegisterServer and DllUnregisterServer\n");
        return 1;
    }

    const struct {
        const wchar_t *pszCall;
        RegistrationFn pfn;
    } rgCalls[3] = {
        {L"DllRegisterServer", pfnRegister},
        {L"DllUnregisterServer", pfnUnregister},
        {L"DllUnregisterServer (again)", pfnUnregister},
    };
    int cFailures = 0;
    for (int iCall = 0; iCall < 3; ++iCall) {
        const HRESULT hrExpected = static_cast<HRESULT>(std::wcstoul(argv[iCall + 1], nullptr, 16));
        const HRESULT hrResult = rgCalls[iCall].pfn();
        const bool fAsExpected = hrResult == hrExpected;
        std::wprintf(L"%-28ls 0x%08lX (expected 0x%08lX) %ls\n", rgCalls[iCall].pszCall,
                     static_cast<unsigned long>(hrResult), static_cast<unsigned long>(hrExpected),
                     fAsExpected ? L"ok" : L"DIFFERENT");
        cFailures += fAsExpected ? 0 : 1;
    }
    FreeLibrary(hModule);
    return cFailures == 0 ? 0 : 1;
}
