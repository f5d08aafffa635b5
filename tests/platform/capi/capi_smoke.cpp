// End-to-end smoke test of CryptoAPI with "Quorvane Alder Cryptographic
// Provider": create a container, generate a 2048-bit exchange key, hash "abc"
// with SHA-256, sign and verify, encrypt and decrypt, delete the container.
// Written against <windows.h> and <wincrypt.h> only, so that the same source
// builds for Windows (mingw-w64, -municode) and for the Linux stand-in.
#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>
#include <string.h>

static const WCHAR *const kProvider = TEXT("Quorvane Alder Cryptographic Provider");
static const WCHAR *const kContainer = TEXT("QvnCapiSmokeContainer");

static int Check(BOOL fOk, const char *pszStep)
{
    if (!fOk) {
        printf("FAILED: %s (last error 0x%08lx)\n", pszStep, (unsigned long)GetLastError());
        return 0;
    }
    printf("ok: %s\n", pszStep);
    return 1;
}

static int Run(void)
{
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    HCRYPTHASH hHash = 0;
    BYTE abSignature[256];
    DWORD cbSignature = sizeof(abSignature);
    BYTE abBuffer[256];
    DWORD cbData = 0;
    const char szMessage[] = "abc";
    const char szPlaintext[] = "The quick brown fox";
    int fOk = 1;

    /* A container left behind by an earlier run would make CRYPT_NEWKEYSET fail. */
    CryptAcquireContextW(&hProv, kContainer, kProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    hProv = 0;

    if (!Check(CryptAcquireContextW(&hProv, kContainer, kProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET),
               "CryptAcquireContextW(CRYPT_NEWKEYSET)")) {
        return 1;
    }
    fOk = fOk && Check(CryptGenKey(hProv, AT_KEYEXCHANGE, (2048u << 16), &hKey), "CryptGenKey(AT_KEYEXCHANGE, 2048)");
    fOk = fOk && Check(CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &hHash), "CryptCreateHash(CALG_SHA_256)");
    fOk = fOk && Check(CryptHashData(hHash, (const BYTE *)szMessage, 3, 0), "CryptHashData(\"abc\")");
    fOk = fOk && Check(CryptSignHashW(hHash, AT_KEYEXCHANGE, NULL, 0, abSignature, &cbSignature), "CryptSignHashW");
    fOk = fOk && Check(cbSignature == 256, "signature is 256 bytes");
    fOk = fOk && Check(CryptVerifySignatureW(hHash, abSignature, cbSignature, hKey, NULL, 0), "CryptVerifySignatureW");
    if (fOk) {
        abSignature[0] ^= 0x01;
        fOk = Check(!CryptVerifySignatureW(hHash, abSignature, cbSignature, hKey, NULL, 0) &&
                        GetLastError() == (DWORD)NTE_BAD_SIGNATURE,
                    "a damaged signature is refused with NTE_BAD_SIGNATURE");
    }

    if (fOk) {
        memcpy(abBuffer, szPlaintext, sizeof(szPlaintext));
        cbData = (DWORD)sizeof(szPlaintext);
        fOk = Check(CryptEncrypt(hKey, 0, TRUE, 0, abBuffer, &cbData, sizeof(abBuffer)), "CryptEncrypt");
        fOk = fOk && Check(cbData == 256, "ciphertext is 256 bytes");
        fOk = fOk && Check(CryptDecrypt(hKey, 0, TRUE, 0, abBuffer, &cbData), "CryptDecrypt");
        fOk = fOk && Check(cbData == sizeof(szPlaintext) && memcmp(abBuffer, szPlaintext, cbData) == 0,
                           "decryption gives back the plaintext");
    }

    if (hHash != 0) {
        CryptDestroyHash(hHash);
    }
    if (hKey != 0) {
        CryptDestroyKey(hKey);
    }
    CryptReleaseContext(hProv, 0);
    fOk = Check(CryptAcquireContextW(&hProv, kContainer, kProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET),
                "CryptAcquireContextW(CRYPT_DELETEKEYSET)") &&
          fOk;
    printf("%s\n", fOk ? "capi_smoke: success" : "capi_smoke: FAILURE");
    return fOk ? 0 : 1;
}

#ifdef _WIN32
int wmain(void)
#else
int main(void)
#endif
{
    return Run();
}
