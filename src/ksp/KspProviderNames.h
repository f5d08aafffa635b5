// The names the module answers to and the operating-system gate.
#ifndef KSP_PROVIDER_NAMES_H
#define KSP_PROVIDER_NAMES_H

#include "common/KspPlatform.h"
#include "common/KspString.h"

#define KSP_PROVIDER_NAME TEXT("Quorvane TPM Key Storage Provider")
#define KSP_CAPI_PROVIDER_COUNT 4

// The four CryptoAPI providers behind which the keys live, in this order:
// Alder, Birch, Cedar, Dogwood.
extern const KSP_WSTRING g_CapiProviderNames[KSP_CAPI_PROVIDER_COUNT];

// TRUE when strName is exactly one of g_CapiProviderNames.
bool IsCapiProviderName(const KSP_WSTRING &strName);

// TRUE when the running system is Windows 6.0 or later.
bool IsSupportedOsVersion();

#endif
