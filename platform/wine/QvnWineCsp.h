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

#endif /* QVN_WINE_CSP_H */
