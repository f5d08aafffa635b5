/*
 * Provider configuration functions of bcrypt.dll that Microsoft publishes in
 * the Cryptographic Provider Development Kit (bcrypt_provider.h), missing from
 * mingw-w64's headers; the import library has them.
 */
#ifndef QVN_CPDK_BCRYPT_PROVIDER_H
#define QVN_CPDK_BCRYPT_PROVIDER_H

#include <windows.h>
#include <bcrypt.h>

#ifndef BCRYPT_MAKE_INTERFACE_VERSION
#define BCRYPT_MAKE_INTERFACE_VERSION(major, minor)                                                                    \
    {                                                                                                                  \
        (USHORT)(major), (USHORT)(minor)                                                                               \
    }
#endif

#ifdef __cplusplus
extern "C" {
#endif

NTSTATUS WINAPI BCryptRegisterProvider(LPCWSTR pszProvider, ULONG dwFlags, PCRYPT_PROVIDER_REG pReg);
NTSTATUS WINAPI BCryptUnregisterProvider(LPCWSTR pszProvider);

#ifdef __cplusplus
}
#endif

#endif /* QVN_CPDK_BCRYPT_PROVIDER_H */
