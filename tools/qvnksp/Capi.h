// CryptoAPI calls that set key containers up and read their public keys, each
// shown as a step of the report.
#ifndef QVNKSP_CAPI_H
#define QVNKSP_CAPI_H

#include "Host.h"
#include "Report.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace qvnksp
{

// "CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET", "0".
std::string AcquireFlagsText(DWORD dwFlags);

// CryptAcquireContextW(container, csp, type of the csp, flags).
bool AcquireContainerStep(Report &report, const std::string &strCsp, const std::string &strContainer, DWORD dwFlags,
                          HCRYPTPROV &hProv, uint32_t expected = 0);
// CryptAcquireContextW with CRYPT_DELETEKEYSET.
bool DeleteContainerStep(Report &report, const std::string &strCsp, const std::string &strContainer, DWORD dwFlags);
bool GenKeyStep(Report &report, HCRYPTPROV hProv, DWORD dwKeySpec, DWORD dwBits, HCRYPTKEY &hKey);
bool GetUserKeyStep(Report &report, HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY &hKey, uint32_t expected = 0);
// CryptExportKey(PUBLICKEYBLOB): size query, then the blob.
bool ExportPublicBlobStep(Report &report, HCRYPTKEY hKey, Bytes &blob);
void DestroyKeyStep(Report &report, HCRYPTKEY &hKey);
void ReleaseContextStep(Report &report, HCRYPTPROV &hProv);

} // namespace qvnksp

#endif
