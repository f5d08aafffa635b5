#include "Capi.h"

#include "Router.h"

namespace qvnksp
{
namespace
{

uint32_t LastErrorOf(BOOL fOk)
{
    return fOk ? 0 : static_cast<uint32_t>(GetLastError());
}

std::string Quoted(const std::string &str)
{
    return "\"" + str + "\"";
}

} // namespace

std::string AcquireFlagsText(DWORD dwFlags)
{
    std::string str;
    auto add = [&](DWORD dwBit, const char *pszName) {
        if ((dwFlags & dwBit) == dwBit && dwBit != 0) {
            str += (str.empty() ? "" : " | ") + std::string(pszName);
            dwFlags &= ~dwBit;
        }
    };
    add(CRYPT_VERIFYCONTEXT, "CRYPT_VERIFYCONTEXT");
    add(CRYPT_NEWKEYSET, "CRYPT_NEWKEYSET");
    add(CRYPT_DELETEKEYSET, "CRYPT_DELETEKEYSET");
    add(CRYPT_MACHINE_KEYSET, "CRYPT_MACHINE_KEYSET");
    add(CRYPT_SILENT, "CRYPT_SILENT");
    if (dwFlags != 0) {
        str += (str.empty() ? "" : " | ") + StatusHex(dwFlags);
    }
    if (str.empty()) {
        str = "0";
    }
    return str;
}

bool AcquireContainerStep(Report &report, const std::string &strCsp, const std::string &strContainer, DWORD dwFlags,
                          HCRYPTPROV &hProv, uint32_t expected)
{
    const WString strWideContainer = Widen(strContainer);
    const WString strWideCsp = Widen(strCsp);
    hProv = 0;
    const BOOL fOk =
        CryptAcquireContextW(&hProv, strWideContainer.c_str(), strWideCsp.c_str(), CapiProviderType(strCsp), dwFlags);
    if (!fOk) {
        hProv = 0;
    }
    return report.Step("CryptAcquireContextW(" + Quoted(strContainer) + ", " + AcquireFlagsText(dwFlags) + ")",
                       LastErrorOf(fOk), StatusKind::SecurityStatus, expected);
}

bool DeleteContainerStep(Report &report, const std::string &strCsp, const std::string &strContainer, DWORD dwFlags)
{
    HCRYPTPROV hProv = 0;
    // With CRYPT_DELETEKEYSET no context is returned, whatever the outcome.
    return AcquireContainerStep(report, strCsp, strContainer, dwFlags | CRYPT_DELETEKEYSET, hProv);
}

bool GenKeyStep(Report &report, HCRYPTPROV hProv, DWORD dwKeySpec, DWORD dwBits, HCRYPTKEY &hKey)
{
    hKey = 0;
    const BOOL fOk = CryptGenKey(hProv, dwKeySpec, (dwBits << 16) | CRYPT_EXPORTABLE, &hKey);
    if (!fOk) {
        hKey = 0;
    }
    return report.Step(std::string("CryptGenKey(") + KeySpecName(dwKeySpec) + ", " + std::to_string(dwBits) +
                           " bits, CRYPT_EXPORTABLE)",
                       LastErrorOf(fOk), StatusKind::SecurityStatus);
}

bool GetUserKeyStep(Report &report, HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY &hKey, uint32_t expected)
{
    hKey = 0;
    const BOOL fOk = CryptGetUserKey(hProv, dwKeySpec, &hKey);
    if (!fOk) {
        hKey = 0;
    }
    return report.Step(std::string("CryptGetUserKey(") + KeySpecName(dwKeySpec) + ")", LastErrorOf(fOk),
                       StatusKind::SecurityStatus, expected);
}

bool ExportPublicBlobStep(Report &report, HCRYPTKEY hKey, Bytes &blob)
{
    DWORD cbBlob = 0;
    BOOL fOk = CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cbBlob);
    if (fOk) {
        blob.assign(cbBlob, 0);
        fOk = CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob);
        blob.resize(fOk ? cbBlob : 0);
    }
    return report.Step("CryptExportKey(PUBLICKEYBLOB)", LastErrorOf(fOk), StatusKind::SecurityStatus);
}

void DestroyKeyStep(Report &report, HCRYPTKEY &hKey)
{
    if (hKey != 0) {
        const BOOL fOk = CryptDestroyKey(hKey);
        hKey = 0;
        report.Step("CryptDestroyKey", LastErrorOf(fOk), StatusKind::SecurityStatus);
    }
}

void ReleaseContextStep(Report &report, HCRYPTPROV &hProv)
{
    if (hProv != 0) {
        const BOOL fOk = CryptReleaseContext(hProv, 0);
        hProv = 0;
        report.Step("CryptReleaseContext", LastErrorOf(fOk), StatusKind::SecurityStatus);
    }
}

} // namespace qvnksp
