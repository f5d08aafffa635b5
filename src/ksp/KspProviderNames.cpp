#include "ksp/KspProviderNames.h"

bool IsCapiProviderName(const KSP_WSTRING &strName)
{
    for (DWORD iName = 0; iName < KSP_CAPI_PROVIDER_COUNT; ++iName) {
        // An entry left empty by a failed load never matches, not even "".
        if (!g_CapiProviderNames[iName].empty() && strName == g_CapiProviderNames[iName]) {
            return true;
        }
    }
    return false;
}

bool IsSupportedOsVersion()
{
    OSVERSIONINFOEXW osvi;
    ZeroMemory(&osvi, sizeof(osvi));
    osvi.dwOSVersionInfoSize = sizeof(osvi);
    osvi.dwMajorVersion = 6;
    osvi.dwMinorVersion = 0;

    ULONGLONG dwlConditionMask = 0;
    dwlConditionMask = VerSetConditionMask(dwlConditionMask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    dwlConditionMask = VerSetConditionMask(dwlConditionMask, VER_MINORVERSION, VER_GREATER_EQUAL);

    return VerifyVersionInfoW(&osvi, VER_MAJORVERSION | VER_MINORVERSION, dwlConditionMask) != FALSE;
}
