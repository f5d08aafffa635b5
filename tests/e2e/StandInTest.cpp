// Cases that need the Linux stand-in's test controls, so they are built for
// Linux only: the emulated Windows version, injected CryptoAPI failures, live
// handle counts. (Failing allocations are swept in tests/hardening.)
#include "E2E.h"

#include <tuple>

namespace e2e
{
namespace
{

// Below Windows 6.0 every accepted name is refused with STATUS_NOT_SUPPORTED;
// the name is checked before the version, the version before the rest.
TEST_F(KspTest, GetKeyStorageInterfaceNeedsWindowsSix)
{
    const NTSTATUS kNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
    const std::tuple<DWORD, DWORD, LPCWSTR, NTSTATUS> rows[] = {
        {5, 2, E2E_KSP_NAME, kNotSupported},
        {5, 99, E2E_ALDER_NAME, kNotSupported},
        {6, 0, E2E_ALDER_NAME, 0},
        {10, 0, E2E_KSP_NAME, 0},
        {5, 1, TEXT("Quorvane"), static_cast<NTSTATUS>(0xC000000DL)}};
    for (const auto &row : rows) {
        QvnPlatformSetWindowsVersion(std::get<0>(row), std::get<1>(row));
        ExpectTable("version", std::get<2>(row), 0, std::get<3>(row));
    }
    ExpectTable("version-null-out", E2E_KSP_NAME, 1, kNotSupported, true);
}

enum Op { kOpenProvider, kOpenKey, kSign, kVerify, kEncrypt, kDecrypt };
// Alder's exchange key, with a good signature and ciphertext made before any
// failure is injected. Expect makes one call of an operation while the next
// call of a CryptoAPI function fails with the given last-error value: only
// the cleared size may be written, and nothing may be left behind.
class CspFailureTest : public AlderTest
{
protected:
    void SetUp() override
    {
        AlderTest::SetUp();
        m_signature = Sign("good", m_hProvider, m_hExchange, &m_sha256, m_hash, kExchangeBytes).bytes;
        m_ciphertext = Crypt(true, "good", m_hProvider, m_hExchange, m_plaintext, kExchangeBytes).bytes;
        m_before = Live();
    }
    // cbAfter: the size left, or the handle (0xC0FFEE before; OpenProvider, OpenKey, VerifySignature).
    void Expect(const char *l, Op op, const char *pszFunction, DWORD dwCapiError, SECURITY_STATUS expected,
                DWORD cbAfter)
    {
        ResetControls();
        QvnPlatformFailCall(pszFunction, 1, dwCapiError);
        ULONG_PTR hOut = 0xC0FFEE;
        Out out{0, 0xDEAD, Bytes(kExchangeBytes, 0xCC)};
        if (op == kSign) {
            out = Sign(l, m_hProvider, m_hExchange, &m_sha256, m_hash, kExchangeBytes);
        } else if (op == kEncrypt || op == kDecrypt) {
            out = Crypt(op == kEncrypt, l, m_hProvider, m_hExchange, op == kEncrypt ? m_plaintext : m_ciphertext,
                        kExchangeBytes);
        } else {
            out.status = op == kOpenProvider ? KSP(OpenProvider, l, &hOut, E2E_BIRCH_NAME, 0)
                         : op == kOpenKey    ? KSP(OpenKey, l, m_hProvider, &hOut, E2E_MAIN, AT_KEYEXCHANGE, 0)
                                             : Verify(l, m_hProvider, m_hExchange, &m_sha256, m_hash, m_signature);
            out.cb = static_cast<DWORD>(hOut);
        }
        EXPECT_EQ(expected, out.status) << l;
        EXPECT_EQ(cbAfter, out.cb) << l;
        EXPECT_EQ(Bytes(kExchangeBytes, 0xCC), out.bytes) << l;
        EXPECT_EQ(m_before, Live()) << l << ": contexts, keys, hashes or module blocks left behind";
        ResetControls();
    }

    BCRYPT_PKCS1_PADDING_INFO m_sha256 = {TEXT("SHA256")};
    const Bytes m_hash = Pattern(32, 0x59), m_plaintext = Pattern(16, 0x7D);
    Bytes m_signature, m_ciphertext;
    std::array<LONG, 4> m_before{};
};

// What CryptoAPI answered is returned unchanged (a plain Win32 error number, 5
// for ERROR_ACCESS_DENIED, too: not turned into an HRESULT); only the cleared size
// is written. (tests/hardening fails every call site with each error.)
TEST_F(CspFailureTest, PlainWin32ErrorFromCspComesBackAsThatNumber)
{
    Expect("open-provider", kOpenProvider, "CryptAcquireContextW", ERROR_ACCESS_DENIED, 5, 0xC0FFEE);
    Expect("user-key", kOpenKey, "CryptGetUserKey", ERROR_ACCESS_DENIED, 5, 0xC0FFEE);
    Expect("sign-key-length", kSign, "CryptGetKeyParam", ERROR_ACCESS_DENIED, 5, 0xDEAD);
    Expect("sign", kSign, "CryptSignHashW", ERROR_ACCESS_DENIED, 5, 0);
    Expect("verify", kVerify, "CryptVerifySignatureW", ERROR_ACCESS_DENIED, 5, 0xC0FFEE);
    Expect("encrypt", kEncrypt, "CryptEncrypt", ERROR_ACCESS_DENIED, 5, 0);
    Expect("decrypt", kDecrypt, "CryptDecrypt", ERROR_ACCESS_DENIED, 5, 0);
    EXPECT_EQ(0, Verify("after", m_hProvider, m_hExchange, &m_sha256, m_hash, m_signature)) << "the key is unharmed";
}

// A CSP call that fails without setting a last-error value fails with 0: the
// entry reports success, though nothing was done. A signature that the CSP
// could not check is reported valid; no handle, signature or plaintext is
// written (only the size is cleared before the CSP is asked).
TEST_F(CspFailureTest, CspFailureWithoutLastErrorIsReportedAsSuccess)
{
    m_signature[0] ^= 0x01; // not a valid signature any more
    Expect("open-provider", kOpenProvider, "CryptAcquireContextW", 0, 0, 0xC0FFEE);
    Expect("open-key", kOpenKey, "CryptGetUserKey", 0, 0, 0xC0FFEE);
    Expect("sign", kSign, "CryptSignHashW", 0, 0, 0);
    Expect("verify", kVerify, "CryptVerifySignatureW", 0, 0, 0xC0FFEE);
    Expect("encrypt", kEncrypt, "CryptEncrypt", 0, 0, 0);
    Expect("decrypt", kDecrypt, "CryptDecrypt", 0, 0, 0);
    EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("really", m_hProvider, m_hExchange, &m_sha256, m_hash, m_signature));
}

} // namespace
} // namespace e2e
