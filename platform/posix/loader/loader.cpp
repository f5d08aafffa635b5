// LoadLibraryW / GetProcAddress / FreeLibrary over dlopen, so that code that
// loads the module as the CNG router does builds unchanged for Linux.
#include <windows.h>

#include <dlfcn.h>

#include <string>

#include "../kernel32/wide.h"

extern "C" {

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName)
{
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string strPath = qvn::ToUtf8(lpLibFileName);
    void *pvModule = dlopen(strPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (pvModule == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return static_cast<HMODULE>(pvModule);
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (hModule == nullptr || lpProcName == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void *pvSymbol = dlsym(hModule, lpProcName);
    if (pvSymbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return pvSymbol;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    if (hLibModule == nullptr || dlclose(hLibModule) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
