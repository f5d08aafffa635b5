/*
 * sign_verify: signs a SHA-256 hash through CNG with the RSA key of a Quorvane
 * CSP's key container, then verifies the signature.
 *
 *     sign_verify CONTAINER [PROVIDER]
 *
 * PROVIDER is one of the four CSP names, "Quorvane Alder Cryptographic
 * Provider" by default: keys open only under those names, never under the
 * provider's own name "Quorvane TPM Key Storage Provider". Every call's status
 * is printed; the exit code is 0 when the signature verifies, 1 when a call
 * failed, 2 for wrong arguments. Link it with ncrypt (ncrypt.lib, -lncrypt).
 */
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <wincrypt.h>
#include <bcrypt.h>
#include <ncrypt.h>

#include <stdio.h>
#include <stdlib.h>

/* The SHA-256 hash of "The quick brown fox jumps over the lazy dog"; an
 * application hashes its own data first (BCryptHash, for instance). */
static BYTE g_rgbHash[32] = {0xd7, 0xa8, 0xfb, 0xb3, 0x07, 0xd7, 0x80, 0x94, 0x69, 0xca, 0x9a,
                             0xbc, 0xb0, 0x08, 0x2e, 0x4f, 0x8d, 0x56, 0x51, 0xe4, 0x6d, 0x3c,
                             0xdb, 0x76, 0x2d, 0x02, 0xd0, 0xbf, 0x37, 0xc9, 0xe5, 0x92};

/* Prints the call and its status; true when it failed. The test is against
 * ERROR_SUCCESS, not FAILED(): a CSP's plain Win32 error code comes back as a
 * small positive number, which FAILED() would take for success. */
static int Failed(const char *pszCall, SECURITY_STATUS status)
{
    printf("%-52s 0x%08lX\n", pszCall, (unsigned long)(DWORD)status);
    return status != ERROR_SUCCESS;
}

int main(int argc, char **argv)
{
    const char *pszProvider = argc > 2 ? argv[2] : "Quorvane Alder Cryptographic Provider";
    WCHAR wszProvider[256], wszContainer[256];
    BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    PBYTE pbSignature = NULL;
    DWORD cbSignature = 0, i;
    int nExit = 1;

    if (argc < 2 || argc > 3 || !MultiByteToWideChar(CP_ACP, 0, argv[1], -1, wszContainer, 256) ||
        !MultiByteToWideChar(CP_ACP, 0, pszProvider, -1, wszProvider, 256)) {
        fprintf(stderr, "usage: sign_verify CONTAINER [PROVIDER]\n");
        return 2;
    }
    printf("provider %s, container %s\n", pszProvider, argv[1]);
    if (Failed("NCryptOpenStorageProvider", NCryptOpenStorageProvider(&hProvider, wszProvider, 0)) ||
        Failed("NCryptOpenKey(AT_KEYEXCHANGE)", NCryptOpenKey(hProvider, &hKey, wszContainer, AT_KEYEXCHANGE, 0))) {
        goto done;
    }
    /* Ask the size first (the key's length in bytes): into a buffer too small
     * the provider answers NTE_BUFFER_TOO_SMALL without the size. Only
     * NCRYPT_PAD_PKCS1_FLAG, alone, is accepted. */
    if (Failed("NCryptSignHash(size)", NCryptSignHash(hKey, &padding, g_rgbHash, sizeof(g_rgbHash), NULL, 0,
                                                      &cbSignature, NCRYPT_PAD_PKCS1_FLAG))) {
        goto done;
    }
    pbSignature = (PBYTE)malloc(cbSignature);
    if (pbSignature == NULL) {
        fprintf(stderr, "out of memory\n");
        goto done;
    }
    if (Failed("NCryptSignHash(SHA256, NCRYPT_PAD_PKCS1_FLAG)",
               NCryptSignHash(hKey, &padding, g_rgbHash, sizeof(g_rgbHash), pbSignature, cbSignature, &cbSignature,
                              NCRYPT_PAD_PKCS1_FLAG))) {
        goto done;
    }
    printf("signature (%lu bytes, most significant first): ", (unsigned long)cbSignature);
    for (i = 0; i < cbSignature; ++i) {
        printf("%02x", pbSignature[i]);
    }
    printf("\n");
    if (Failed("NCryptVerifySignature(SHA256, NCRYPT_PAD_PKCS1_FLAG)",
               NCryptVerifySignature(hKey, &padding, g_rgbHash, sizeof(g_rgbHash), pbSignature, cbSignature,
                                     NCRYPT_PAD_PKCS1_FLAG))) {
        goto done;
    }
    printf("the signature verifies\n");
    nExit = 0;

done:
    free(pbSignature);
    /* Free the key before its provider; a handle is 0 where nothing was opened. */
    if (hKey != 0 && Failed("NCryptFreeObject(key)", NCryptFreeObject(hKey))) {
        nExit = 1;
    }
    if (hProvider != 0 && Failed("NCryptFreeObject(provider)", NCryptFreeObject(hProvider))) {
        nExit = 1;
    }
    return nExit;
}
