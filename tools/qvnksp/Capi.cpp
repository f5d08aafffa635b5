#include "Capi.h"

#include "Router.h"

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>

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

// While it lives, shows on standard error how long the work has been running,
// once a second on one line, and clears that line at the end; only when
// standard error is a terminal, so that logs and pipes get nothing of it.
class ElapsedTimeOnTerminal
{
public:
    explicit ElapsedTimeOnTerminal(std::string strWhat) : m_strWhat(std::move(strWhat))
    {
        if (StandardErrorIsTerminal()) {
            std::cout << std::flush;
            m_thread = std::thread([this] { Show(); });
        }
    }
    ~ElapsedTimeOnTerminal()
    {
        if (m_thread.joinable()) {
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_fDone = true;
            }
            m_done.notify_one();
            m_thread.join();
        }
    }
    ElapsedTimeOnTerminal(const ElapsedTimeOnTerminal &) = delete;
    ElapsedTimeOnTerminal &operator=(const ElapsedTimeOnTerminal &) = delete;

private:
    void Show()
    {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(m_mutex);
        std::string strLine;
        for (unsigned cSeconds = 0;; ++cSeconds) {
            strLine = "  " + m_strWhat + ": " + std::to_string(cSeconds) + " s";
            std::cerr << "\r" << strLine << std::flush;
            if (m_done.wait_until(lock, start + std::chrono::seconds(cSeconds + 1), [this] { return m_fDone; })) {
                break;
            }
        }
        std::cerr << "\r" << std::string(strLine.size(), ' ') << "\r" << std::flush;
    }

    std::string m_strWhat;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_fDone = false;
    std::thread m_thread;
};

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
    uint32_t status;
    {
        // A long key takes minutes (16384 bits: a few): show that it is working.
        const ElapsedTimeOnTerminal elapsed("generating a " + std::to_string(dwBits) + "-bit RSA key");
        status = LastErrorOf(CryptGenKey(hProv, dwKeySpec, (dwBits << 16) | CRYPT_EXPORTABLE, &hKey));
    }
    if (status != 0) {
        hKey = 0;
    }
    return report.Step(std::string("CryptGenKey(") + KeySpecName(dwKeySpec) + ", " + std::to_string(dwBits) +
                           " bits, CRYPT_EXPORTABLE)",
                       status, StatusKind::SecurityStatus);
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
