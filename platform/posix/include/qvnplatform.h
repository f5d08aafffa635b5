/*
 * Test controls of the Linux platform stand-in. These are not part of the
 * Win32 surface: tests, tools and benchmarks use them to steer and observe the
 * platform. The module never calls them.
 */
#ifndef QVN_POSIX_QVNPLATFORM_H
#define QVN_POSIX_QVNPLATFORM_H

#include <windows.h>

QVN_BEGIN_C

/* ---- Everything at once ---------------------------------------------------
 * Clears injected failures, the call log (and stops recording it), the
 * emulated version (back to
 * 10.0), the module allocation controls, prompt marks and the assertion mode.
 * Live handle counts are not reset: they describe handles that still exist. */
void QvnPlatformReset(void);

/* ---- Key store --------------------------------------------------------------
 * The directory under which the CSPs keep their key containers. Defaults to
 * $QVNPLATFORM_STORE, else to ~/.local/share/qvnplatform/store. Setting it
 * affects contexts acquired afterwards. */
void QvnPlatformSetStoreDirectory(const char *pszDirectory);
const char *QvnPlatformGetStoreDirectory(void);

/* Marks a container as needing a prompt: acquiring it with CRYPT_SILENT
 * fails with NTE_SILENT_CONTEXT; without it the stand-in answers the prompt
 * itself. dwFlags: 0 or CRYPT_MACHINE_KEYSET. */
BOOL QvnPlatformSetContainerNeedsPrompt(LPCWSTR pszProvider, LPCWSTR pszContainer, DWORD dwFlags, BOOL fNeedsPrompt);

/* ---- Emulated Windows version (for VerifyVersionInfoW) ---------------------*/
void QvnPlatformSetWindowsVersion(DWORD dwMajorVersion, DWORD dwMinorVersion);

/* ---- Failure injection -------------------------------------------------------
 * The nth call from now (1 = the next one) of the named platform function
 * (for example "CryptCreateHash", "BCryptRegisterProvider") fails once
 * without doing anything: a CryptoAPI function returns FALSE with dwError as
 * the thread's last-error value; a bcrypt function returns dwError as its
 * NTSTATUS. Several injections may be pending at once. */
void QvnPlatformFailCall(const char *pszFunction, DWORD nthCall, DWORD dwError);
void QvnPlatformClearFailures(void);

/* ---- Call log ----------------------------------------------------------------
 * While recording is on (it is off at start and after QvnPlatformReset), every
 * CryptoAPI and bcrypt call, in order, with its main handle and outcome. */
typedef struct _QVN_CALL_RECORD {
    char szFunction[40];    /* "CryptAcquireContextW", ...                         */
    WCHAR szContainer[128]; /* CryptAcquireContextW: the container named, if any */
    ULONG_PTR hHandle;      /* the context, key or hash (a new context: its own) */
    BOOL fSucceeded;
    DWORD dwError; /* last error (or NTSTATUS) when it failed */
} QVN_CALL_RECORD;

void QvnPlatformRecordCalls(BOOL fRecord);
DWORD QvnPlatformGetCallCount(void);
BOOL QvnPlatformGetCall(DWORD dwIndex, QVN_CALL_RECORD *pRecord);
void QvnPlatformClearCallLog(void);

/* ---- Live CryptoAPI handles ---------------------------------------------------*/
LONG QvnPlatformLiveContexts(void);
LONG QvnPlatformLiveKeys(void);
LONG QvnPlatformLiveHashes(void);

/* ---- The module's C runtime allocations ------------------------------------------
 * The module is linked with --wrap=malloc and --wrap=free, so its allocations
 * pass through the stand-in's C runtime, which counts them and can fail one. */
/* The nth module malloc from now (1 = the next) returns NULL; 0 cancels. */
void QvnPlatformFailModuleMalloc(DWORD nthCall);
/* While on, module mallocs go straight to the C runtime, neither counted nor
 * failed nor tracked: the coverage runtime linked into the module turns it on
 * while it writes its counts. */
void QvnPlatformPassModuleMallocs(BOOL fPass);
/* Module mallocs since the last reset of the counters. */
DWORD QvnPlatformModuleMallocCount(void);
/* Module blocks allocated and not yet freed (over the process lifetime). */
LONG QvnPlatformModuleLiveBlocks(void);
void QvnPlatformResetModuleCounters(void);
/* When tracking is on, each module free records the block's size and whether
 * every byte of it was zero at the moment it was freed. */
void QvnPlatformTrackModuleFrees(BOOL fTrack);
BOOL QvnPlatformGetModuleFree(DWORD dwIndex, SIZE_T *pcbBlock, BOOL *pfAllZero);

/* ---- Assertions (_wassert) -----------------------------------------------------*/
#define QVN_ASSERT_ABORT 0  /* print the report to stderr and abort (default) */
#define QVN_ASSERT_RECORD 1 /* record the report and return                  */
void QvnPlatformSetAssertMode(DWORD dwMode);
DWORD QvnPlatformAssertCount(void);
/* The last recorded report; the buffers receive NUL-terminated text (FALSE
 * when there is none or it does not fit). */
BOOL QvnPlatformGetLastAssert(WCHAR *pszMessage, DWORD cchMessage, WCHAR *pszFile, DWORD cchFile, DWORD *pdwLine);

QVN_END_C

#endif /* QVN_POSIX_QVNPLATFORM_H */
