// VerSetConditionMask and VerifyVersionInfoW against the emulated Windows
// version (QvnPlatformSetWindowsVersion; 10.0 by default), for the question
// the module asks: major and minor version, both VER_GREATER_EQUAL. Any
// other question is refused on stderr with ERROR_NOT_SUPPORTED, not answered
// wrongly.
#include <windows.h>

#include "../controls/controls.h"

#include <cstdio>

namespace
{

// The condition mask holds 3 bits per attribute, at 3 times the bit index of
// the attribute's VER_* type flag.
constexpr unsigned kBitsPerCondition = 3;

unsigned BitIndex(DWORD dwTypeFlag)
{
    unsigned nIndex = 0;
    while ((dwTypeFlag >>= 1) != 0) {
        ++nIndex;
    }
    return nIndex;
}

} // namespace

extern "C" {

ULONGLONG WINAPI VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition)
{
    if (TypeMask == 0 || (TypeMask & (TypeMask - 1)) != 0) {
        std::fprintf(stderr, "VerSetConditionMask: the stand-in sets one attribute per call\n");
        return ConditionMask;
    }
    return ConditionMask | (static_cast<ULONGLONG>(Condition & 0x7) << (kBitsPerCondition * BitIndex(TypeMask)));
}

BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask, DWORDLONG dwlConditionMask)
{
    const ULONGLONG ullAtLeast =
        (static_cast<ULONGLONG>(VER_GREATER_EQUAL) << (kBitsPerCondition * BitIndex(VER_MAJORVERSION))) |
        (static_cast<ULONGLONG>(VER_GREATER_EQUAL) << (kBitsPerCondition * BitIndex(VER_MINORVERSION)));
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwTypeMask != (VER_MAJORVERSION | VER_MINORVERSION) || dwlConditionMask != ullAtLeast) {
        std::fprintf(stderr,
                     "VerifyVersionInfoW: the stand-in answers only major.minor VER_GREATER_EQUAL "
                     "(type mask 0x%lx, condition mask 0x%llx asked)\n",
                     static_cast<unsigned long>(dwTypeMask), static_cast<unsigned long long>(dwlConditionMask));
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    DWORD dwMajor = 0, dwMinor = 0;
    qvn::GetEmulatedWindowsVersion(&dwMajor, &dwMinor);
    const DWORD dwWantedMajor = lpVersionInformation->dwMajorVersion;
    if (dwMajor > dwWantedMajor || (dwMajor == dwWantedMajor && dwMinor >= lpVersionInformation->dwMinorVersion)) {
        return TRUE;
    }
    SetLastError(ERROR_OLD_WIN_VERSION);
    return FALSE;
}

} // extern "C"
