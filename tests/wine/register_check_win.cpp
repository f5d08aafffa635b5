// Self-registration of the DLL on a real Win32 implementation: loads
// QvnTpmKsp.dll from beside this program, looks up DllRegisterServer and
// DllUnregisterServer by their undecorated names (as regsvr32 does; on i386
// the exports are __stdcall), calls register, unregister, unregister, and
// compares each HRESULT with the one given in hex on the command line:
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
    wchar_t szModule[MAX_PATH];
    const DWORD cchPath = GetModuleFileNameW(nullptr, szModule, MAX_PATH);
    wchar_t *pszSlash = std::wcsrchr(szModule, L'\\');
    if (argc != 4 || cchPath == 0 || cchPath >= MAX_PATH || pszSlash == nullptr) {
        std::fwprintf(stderr, L"usage: wine_register_check REGISTER UNREGISTER UNREGISTER_AGAIN (hex HRESULTs)\n");
        return 2;
    }
    std::wcscpy(pszSlash + 1, L"QvnTpmKsp.dll");
    HMODULE hModule = LoadLibraryW(szModule);
    const char *rgpszExports[3] = {"DllRegisterServer", "DllUnregisterServer", "DllUnregisterServer"};
    int cFailures = hModule == nullptr ? 1 : 0;
    for (int iCall = 0; iCall < 3 && hModule != nullptr; ++iCall) {
        const RegistrationFn pfn =
            reinterpret_cast<RegistrationFn>(reinterpret_cast<void *>(GetProcAddress(hModule, rgpszExports[iCall])));
        const HRESULT hrExpected = static_cast<HRESULT>(std::wcstoul(argv[iCall + 1], nullptr, 16));
        const HRESULT hrResult = pfn != nullptr ? pfn() : E_NOINTERFACE;
        std::printf("%-20s 0x%08lX (expected 0x%08lX) %s\n", rgpszExports[iCall], static_cast<unsigned long>(hrResult),
                    static_cast<unsigned long>(hrExpected), hrResult == hrExpected ? "ok" : "DIFFERENT");
        cFailures += hrResult == hrExpected ? 0 : 1;
    }
    if (hModule == nullptr) {
        std::fwprintf(stderr, L"LoadLibraryW(%ls) failed: %lu\n", szModule, GetLastError());
    } else {
        FreeLibrary(hModule);
    }
    return cFailures == 0 ? 0 : 1;
}
