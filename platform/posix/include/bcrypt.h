/*
 * Linux stand-in for <bcrypt.h>: the provider-configuration structures and
 * constants, the PKCS #1 padding information, and the bcrypt functions that
 * the module and its tests use.
 */
#ifndef QVN_POSIX_BCRYPT_H
#define QVN_POSIX_BCRYPT_H

#include <windows.h>

#ifndef QVN_NTSTATUS_DEFINED
#define QVN_NTSTATUS_DEFINED
typedef LONG NTSTATUS;
#endif

typedef struct _BCRYPT_PKCS1_PADDING_INFO {
    LPCWSTR pszAlgId;
} BCRYPT_PKCS1_PADDING_INFO;

typedef struct _BCRYPT_INTERFACE_VERSION {
    USHORT MajorVersion;
    USHORT MinorVersion;
} BCRYPT_INTERFACE_VERSION;

#define BCRYPT_SHA256_ALGORITHM TEXT("SHA256")

/* Interface identifiers. */
#define BCRYPT_CIPHER_INTERFACE 0x00000001
#define NCRYPT_KEY_STORAGE_INTERFACE 0x00010001

/* Configuration modes, tables and flags. */
#define CRYPT_UM 0x00000001
#define CRYPT_KM 0x00000002
#define CRYPT_MM 0x00000003
#define CRYPT_ANY 0x00000004
#define CRYPT_OVERWRITE 0x00000001
#define CRYPT_LOCAL 0x00000001
#define CRYPT_DOMAIN 0x00000002

typedef struct _CRYPT_INTERFACE_REG {
    ULONG dwInterface;
    ULONG dwFlags;
    ULONG cFunctions;
    PWSTR *rgpszFunctions;
} CRYPT_INTERFACE_REG, *PCRYPT_INTERFACE_REG;

typedef struct _CRYPT_IMAGE_REG {
    PWSTR pszImage;
    ULONG cInterfaces;
    PCRYPT_INTERFACE_REG *rgpInterfaces;
} CRYPT_IMAGE_REG, *PCRYPT_IMAGE_REG;

typedef struct _CRYPT_PROVIDER_REG {
    ULONG cAliases;
    PWSTR *rgpszAliases;
    PCRYPT_IMAGE_REG pUM;
    PCRYPT_IMAGE_REG pKM;
} CRYPT_PROVIDER_REG, *PCRYPT_PROVIDER_REG;

QVN_BEGIN_C

/* Reads a registration back; with *ppBuffer NULL the record is allocated and
 * released with BCryptFreeBuffer. */
NTSTATUS WINAPI BCryptQueryProviderRegistration(LPCWSTR pszProvider, ULONG dwMode, ULONG dwInterface, ULONG *pcbBuffer,
                                                PCRYPT_PROVIDER_REG *ppBuffer);
void WINAPI BCryptFreeBuffer(PVOID pvBuffer);

QVN_END_C

#endif /* QVN_POSIX_BCRYPT_H */
