/*
 * QvnWineCsp: a CryptoAPI service provider for running the Windows build
 * under Wine. Wine's advapi32 loads it under each of the four Quorvane
 * provider names; it hands every operation to Wine's "Microsoft Enhanced RSA
 * and AES Cryptographic Provider" (rsaenh.dll), so that all four names hash
 * with SHA-2, and keeps the key containers of the four names apart.
 *
 * This header is what tests need to know about it.
 */
#ifndef QVN_WINE_CSP_H
#define QVN_WINE_CSP_H

/* A key container whose name starts with this prefix behaves as if the
 * provider needed to show a dialog to open it: acquiring it with CRYPT_SILENT
 * fails with NTE_SILENT_CONTEXT (creating it with CRYPT_NEWKEYSET |
 * CRYPT_SILENT too). Without CRYPT_SILENT it opens as any other container,
 * and deleting it never needs the dialog. */
#define QVN_WINE_CSP_PROMPT_PREFIX "QvnPrompt-"
#define QVN_WINE_CSP_PROMPT_PREFIX_W L"QvnPrompt-"

/* Inside rsaenh's store a container "K" of "Quorvane Alder Cryptographic
 * Provider" is named "QvnAlder.K" (Birch, Cedar, Dogwood likewise). Callers
 * never see these names: PP_CONTAINER, PP_UNIQUE_CONTAINER and
 * PP_ENUMCONTAINERS answer the names they gave. */
#define QVN_WINE_CSP_STORE_PREFIX "Qvn"

/* The test controls, for tests in the process that loaded the CSP (found
 * with GetProcAddress on its module). Operations are named as the caller's
 * CryptoAPI functions: "CryptAcquireContextW", "CryptGetUserKey",
 * "CryptSignHashW", "CryptDestroyHash", ...
 *
 * QvnWineCspFailCall: the nthCall-th call of pszFunction from now on fails
 * with dwError as its last error, 0 and Win32 codes too; one failure is
 * armed per function (nthCall 0 disarms it, pszFunction null all). A release made to fail still releases
 * (advapi32 forgets the handle whatever the answer), then reports the failure.
 * QvnWineCspOpenHandles: the contexts, keys and hashes handed out and not
 * released yet. QvnWineCspTakeCalls: how many calls were logged and not
 * taken yet; copies the first cMax of them and forgets those (pCalls null:
 * forgets all). */
typedef struct _QVN_WINE_CSP_CALL {
    char szFunction[40];
    char szContainer[64]; /* CryptAcquireContextW: the container named, if any */
    BOOL fSucceeded;
    DWORD dwError;
} QVN_WINE_CSP_CALL;
typedef void(WINAPI *QVN_WINE_CSP_FAIL_CALL)(const char *pszFunction, DWORD nthCall, DWORD dwError);
typedef void(WINAPI *QVN_WINE_CSP_OPEN_HANDLES)(LONG *plContexts, LONG *plKeys, LONG *plHashes);
typedef DWORD(WINAPI *QVN_WINE_CSP_TAKE_CALLS)(QVN_WINE_CSP_CALL *pCalls, DWORD cMax);

#endif /* QVN_WINE_CSP_H */
