/*
 * Linux stand-in for <wincrypt.h>: the CryptoAPI (advapi32) surface that the
 * module and its tests use, with the Win32 names, values and prototypes.
 */
#ifndef QVN_POSIX_WINCRYPT_H
#define QVN_POSIX_WINCRYPT_H

#include <windows.h>

typedef unsigned int ALG_ID;
typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;

/* Algorithm ids. */

#define CALG_MD2 0x00008001
#define CALG_MD4 0x00008002
#define CALG_MD5 0x00008003
#define CALG_SHA1 0x00008004
#define CALG_SSL3_SHAMD5 0x00008008
#define CALG_SHA_256 0x0000800c
#define CALG_SHA_384 0x0000800d
#define CALG_SHA_512 0x0000800e
#define CALG_RSA_SIGN 0x00002400
#define CALG_RSA_KEYX 0x0000a400

/* Provider types. */
#define PROV_RSA_FULL 1
#define PROV_RSA_SCHANNEL 12
#define PROV_RSA_AES 24

/* CryptAcquireContext flags. */
#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CRYPT_NEWKEYSET 0x00000008u
#define CRYPT_DELETEKEYSET 0x00000010u
#define CRYPT_MACHINE_KEYSET 0x00000020u
#define CRYPT_SILENT 0x00000040u

/* CryptGetProvParam: the container enumeration and its flags. */
#define PP_ENUMCONTAINERS 2
#define CRYPT_FIRST 0x00000001u
#define CRYPT_NEXT 0x00000002u

/* CryptGenKey / CryptImportKey flags. */
#define CRYPT_EXPORTABLE 0x00000001u
#define CRYPT_USER_PROTECTED 0x00000002u

/* Key specs. */
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

/* Key parameters. */
#define KP_ALGID 7
#define KP_BLOCKLEN 8
#define KP_KEYLEN 9

/* Hash parameters. */
#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004

/* CryptSignHash / CryptVerifySignature flags. */
#define CRYPT_NOHASHOID 0x00000001u

/* Key blobs. */
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define CUR_BLOB_VERSION 2

typedef struct _PUBLICKEYSTRUC {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

typedef struct _RSAPUBKEY {
    DWORD magic; /* "RSA1" (0x31415352) public, "RSA2" (0x32415352) private */
    DWORD bitlen;
    DWORD pubexp;
} RSAPUBKEY;

QVN_BEGIN_C

WINADVAPI BOOL WINAPI CryptAcquireContextW(HCRYPTPROV *phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                           DWORD dwProvType, DWORD dwFlags);
WINADVAPI BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
WINADVAPI BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                        DWORD dwFlags);
WINADVAPI BOOL WINAPI CryptEnumProvidersW(DWORD dwIndex, DWORD *pdwReserved, DWORD dwFlags, DWORD *pdwProvType,
                                          LPWSTR szProvName, DWORD *pcbProvName);
WINADVAPI BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey);
WINADVAPI BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phUserKey);
WINADVAPI BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags);
WINADVAPI BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE *pbData,
                                     DWORD *pdwDataLen);
WINADVAPI BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                                     DWORD dwFlags, HCRYPTKEY *phKey);
WINADVAPI BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey);
WINADVAPI BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                      HCRYPTHASH *phHash);
WINADVAPI BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                        DWORD dwFlags);
WINADVAPI BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData, DWORD dwFlags);
WINADVAPI BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);
WINADVAPI BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                                     BYTE *pbSignature, DWORD *pdwSigLen);
WINADVAPI BOOL WINAPI CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE *pbSignature, DWORD dwSigLen,
                                            HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags);
WINADVAPI BOOL WINAPI CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE *pbData,
                                   DWORD *pdwDataLen, DWORD dwBufLen);
WINADVAPI BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE *pbData,
                                   DWORD *pdwDataLen);

QVN_END_C

#endif /* QVN_POSIX_WINCRYPT_H */
