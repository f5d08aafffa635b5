// VerSetConditionMask and VerifyVersionInfoW against the emulated Windows
// version (QvnPlatformSetWindowsVersion; 10.0 build 19045 by default).
//
// The emulated system is a workstation of the NT platform
// (VER_PLATFORM_WIN32_NT, VER_NT_WORKSTATION) with the single-user terminal
// services suite, and no service pack.
#include <windows.h>

#include "../controls/controls.h"

namespace
{

constexpr DWORD kPlatformWin32Nt = 2;       // VER_PLATFORM_WIN32_NT
constexpr BYTE kProductWorkstation = 1;     // VER_NT_WORKSTATION
constexpr WORD kSuiteSingleUserTs = 0x0100; // VER_SUITE_SINGLEUSERTS

// The condition mask holds 3 bits per attribute, at 3 times the bit index of
// the attribute's VER_* type flag.
constexpr unsigned kBitsPerCondition = 3;
constexpr ULONGLONG kConditionBits = 0x7;

unsigned BitIndex(DWORD dwTypeFlag)
{
    unsigned nIndex = 0;
    while ((dwTypeFlag >>= 1) != 0) {
        ++nIndex;
    }
    return nIndex;
}

BYTE ConditionFor(DWORDLONG dwlConditionMask, DWORD dwTypeFlag)
{
    return static_cast<BYTE>((dwlConditionMask >> (kBitsPerCondition * BitIndex(dwTypeFlag))) & kConditionBits);
}

bool IsComparison(BYTE bCondition)
{
    return bCondition >= VER_EQUAL && bCondition <= VER_LESS_EQUAL;
}

enum class Outcome { Match, Mismatch, BadArguments };

// current OP wanted; anything but the five comparisons never matches.
Outcome Compare(ULONG ulCurrent, ULONG ulWanted, BYTE bCondition)
{
    bool fMatch = false;
    switch (bCondition) {
    case VER_EQUAL:
        fMatch = ulCurrent == ulWanted;
        break;
    case VER_GREATER:
        fMatch = ulCurrent > ulWanted;
        break;
    case VER_GREATER_EQUAL:
        fMatch = ulCurrent >= ulWanted;
        break;
    case VER_LESS:
        fMatch = ulCurrent < ulWanted;
        break;
    case VER_LESS_EQUAL:
        fMatch = ulCurrent <= ulWanted;
        break;
    default:
        fMatch = false;
        break;
    }
    return fMatch ? Outcome::Match : Outcome::Mismatch;
}

// Major version, minor version, service pack major and minor form one number
// compared from its most significant part down. The first of them in the type
// mask sets the governing condition; a later part may use its own condition
// when that is compatible with the governing one (EQUAL, or one of the same
// direction; after EQUAL any comparison, which then governs). Otherwise, it is
// compared with the governing condition, and a part without a condition of its
// own fixes the governing condition for the rest. The comparison stops at the
// first part that differs from the wanted value, or that was compared with
// something other than the five comparisons; its outcome is the result.
class HierarchicalCondition
{
public:
    BYTE Choose(BYTE bOwn)
    {
        if (!m_fFixed) {
            if (m_bGoverning == 0) {
                m_bGoverning = bOwn;
                m_fFixed = bOwn == 0;
                return bOwn;
            }
            if (m_bGoverning == VER_EQUAL && IsComparison(bOwn)) {
                m_bGoverning = bOwn;
                return bOwn;
            }
            const bool fUpward = m_bGoverning == VER_GREATER || m_bGoverning == VER_GREATER_EQUAL;
            const bool fDownward = m_bGoverning == VER_LESS || m_bGoverning == VER_LESS_EQUAL;
            if (fUpward && (bOwn == VER_EQUAL || bOwn == VER_GREATER || bOwn == VER_GREATER_EQUAL)) {
                return bOwn;
            }
            if (fDownward && (bOwn == VER_EQUAL || bOwn == VER_LESS || bOwn == VER_LESS_EQUAL)) {
                return bOwn;
            }
            if (bOwn == 0) {
                m_fFixed = true;
            }
        }
        return m_bGoverning;
    }

private:
    BYTE m_bGoverning = 0;
    bool m_fFixed = false;
};

Outcome Verify(const OSVERSIONINFOEXW &wanted, DWORD dwTypeMask, DWORDLONG dwlConditionMask)
{
    const qvn::WindowsVersion current = qvn::GetEmulatedWindowsVersion();

    if (dwTypeMask == 0 || dwlConditionMask == 0) {
        return Outcome::BadArguments;
    }
    if (dwTypeMask & VER_PRODUCT_TYPE) {
        const Outcome outcome =
            Compare(kProductWorkstation, wanted.wProductType, ConditionFor(dwlConditionMask, VER_PRODUCT_TYPE));
        if (outcome != Outcome::Match) {
            return outcome;
        }
    }
    if (dwTypeMask & VER_SUITENAME) {
        const WORD wWanted = wanted.wSuiteMask;
        switch (ConditionFor(dwlConditionMask, VER_SUITENAME)) {
        case VER_AND:
            if ((kSuiteSingleUserTs & wWanted) != wWanted) {
                return Outcome::Mismatch;
            }
            break;
        case VER_OR:
            if (wWanted != 0 && (kSuiteSingleUserTs & wWanted) == 0) {
                return Outcome::Mismatch;
            }
            break;
        default:
            return Outcome::BadArguments;
        }
    }
    if (dwTypeMask & VER_PLATFORMID) {
        const Outcome outcome =
            Compare(kPlatformWin32Nt, wanted.dwPlatformId, ConditionFor(dwlConditionMask, VER_PLATFORMID));
        if (outcome != Outcome::Match) {
            return outcome;
        }
    }
    if (dwTypeMask & VER_BUILDNUMBER) {
        const Outcome outcome =
            Compare(current.dwBuildNumber, wanted.dwBuildNumber, ConditionFor(dwlConditionMask, VER_BUILDNUMBER));
        if (outcome != Outcome::Match) {
            return outcome;
        }
    }

    struct Part {
        DWORD dwTypeFlag;
        ULONG ulCurrent;
        ULONG ulWanted;
    };
    const Part parts[] = {
        {VER_MAJORVERSION, current.dwMajorVersion, wanted.dwMajorVersion},
        {VER_MINORVERSION, current.dwMinorVersion, wanted.dwMinorVersion},
        {VER_SERVICEPACKMAJOR, current.wServicePackMajor, wanted.wServicePackMajor},
        {VER_SERVICEPACKMINOR, current.wServicePackMinor, wanted.wServicePackMinor},
    };
    HierarchicalCondition condition;
    Outcome outcome = Outcome::Match;
    for (const Part &part : parts) {
        if ((dwTypeMask & part.dwTypeFlag) == 0) {
            continue;
        }
        const BYTE bCondition = condition.Choose(ConditionFor(dwlConditionMask, part.dwTypeFlag));
        outcome = Compare(part.ulCurrent, part.ulWanted, bCondition);
        if (part.ulCurrent != part.ulWanted || !IsComparison(bCondition)) {
            break;
        }
    }
    return outcome;
}

} // namespace

extern "C" {

ULONGLONG WINAPI VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition)
{
    // One attribute per call: when several type flags are given, the highest
    // one is set.
    static const DWORD typeFlags[] = {VER_PRODUCT_TYPE, VER_SUITENAME,   VER_SERVICEPACKMAJOR, VER_SERVICEPACKMINOR,
                                      VER_PLATFORMID,   VER_BUILDNUMBER, VER_MAJORVERSION,     VER_MINORVERSION};
    for (DWORD dwTypeFlag : typeFlags) {
        if (TypeMask & dwTypeFlag) {
            return ConditionMask | ((Condition & kConditionBits) << (kBitsPerCondition * BitIndex(dwTypeFlag)));
        }
    }
    return ConditionMask;
}

BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask, DWORDLONG dwlConditionMask)
{
    // dwOSVersionInfoSize is not looked at, as on Windows.
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    switch (Verify(*lpVersionInformation, dwTypeMask, dwlConditionMask)) {
    case Outcome::Match:
        return TRUE;
    case Outcome::Mismatch:
        SetLastError(ERROR_OLD_WIN_VERSION);
        return FALSE;
    case Outcome::BadArguments:
    default:
        SetLastError(ERROR_BAD_ARGUMENTS);
        return FALSE;
    }
}

} // extern "C"
