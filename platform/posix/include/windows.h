/*
 * Linux stand-in for <windows.h>: the Win32 types, constants and kernel32
 * functions that the module and its tests use, with the Win32 names, values
 * and prototypes. Implemented by the platform library (platform/posix).
 */
#ifndef QVN_POSIX_WINDOWS_H
#define QVN_POSIX_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define QVN_EXTERN_C extern "C"
#define QVN_BEGIN_C extern "C" {
#define QVN_END_C }
#else
#define QVN_EXTERN_C
#define QVN_BEGIN_C
#define QVN_END_C
#endif

#define WINAPI
#define __cdecl
#define WINADVAPI QVN_EXTERN_C

#ifndef UNICODE
#define UNICODE
#endif

/* Basic types: Windows is LLP64, so LONG and DWORD stay 32 bits on LP64 Linux. */
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORDLONG;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef char CHAR;
typedef void VOID;
typedef void *PVOID;
typedef void *LPVOID;
typedef BYTE *PBYTE;
typedef BOOL *LPBOOL;
typedef LONG HRESULT;

#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR;
#endif
typedef WCHAR *PWSTR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;

#define QVN_WIDEN2(x) u##x
#define TEXT(quote) QVN_WIDEN2(quote)

typedef void *HANDLE;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef void *FARPROC;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAX_PATH 260

#include <winerror.h>

/* Wait results. */
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

/* DllMain reasons. */
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1

/* Passed through only: one process has no security or inheritance. */
typedef struct _SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;

/* Same size and field names as Windows' RTL_CRITICAL_SECTION; the stand-in
 * keeps its own lock object behind LockSemaphore. */
typedef struct _RTL_CRITICAL_SECTION {
    PVOID DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

/* Version information. */
typedef struct _OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;

#define VER_MINORVERSION 0x0000001u
#define VER_MAJORVERSION 0x0000002u

#define VER_EQUAL 1
#define VER_GREATER_EQUAL 3

#define ZeroMemory(p, n) memset((p), 0, (n))

/* Zeroes memory in a way that the compiler does not drop as a dead store. */
static inline PVOID SecureZeroMemory(PVOID ptr, SIZE_T cnt)
{
    volatile BYTE *pb = (volatile BYTE *)ptr;
    while (cnt-- > 0) {
        *pb++ = 0;
    }
    return ptr;
}

QVN_BEGIN_C

/* Last-error value (thread-local). */
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

/* Critical sections: recursive, as on Windows. */
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

/* Kernel objects. */
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
BOOL WINAPI ReleaseMutex(HANDLE hMutex);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL WINAPI CloseHandle(HANDLE hObject);

/* Text: UTF-8 only (the stand-in's ANSI code page is UTF-8), dwFlags 0. */
#define CP_ACP 0
#define CP_UTF8 65001
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

/* Version. */
ULONGLONG WINAPI VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition);
BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask, DWORDLONG dwlConditionMask);

/* Modules. */
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

QVN_END_C

#ifdef __cplusplus
#include <cstring>
#else
#include <string.h>
#endif

#endif /* QVN_POSIX_WINDOWS_H */
