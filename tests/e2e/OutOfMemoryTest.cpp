// Running out of memory inside the module: every entry answers NTE_NO_MEMORY
// (GetKeyStorageInterface STATUS_UNSUCCESSFUL), leaves nothing behind and
// works again as soon as memory is back; and the provider manager is made by
// the first call that gets past its own checks. Only the stand-in can make the
// module's allocations fail and count them, so these cases run on Linux only.
#include "E2EFixture.h"
#include "E2ERecord.h"

namespace e2e
{
namespace
{

LONG ModuleBlocks()
{
    LONG lBlocks = 0;
    platform::GetModuleLiveBlocks(lBlocks);
    return lBlocks;
}

TEST_F(KspTest, ManagerIsMadeByTheFirstCallPastItsOwnChecks)
{
    E2E_REQUIRE_CONTROLS(platform::HasControls());
    const LONG lBefore = ModuleBlocks();
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = ksp().Table();
    NCRYPT_KEY_HANDLE hKey = 0;
    EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().OpenProvider("null-out", nullptr, E2E_KSP_NAME, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().OpenKey("null-out", 0x10, nullptr, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.FreeBuffer(nullptr));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.CreatePersistedKey(0x10, &hKey, TEXT("RSA"), TEXT("k"), 0, 0));
    EXPECT_EQ(lBefore, ModuleBlocks()) << "the own checks and the stubs make nothing";

    EXPECT_EQ(NTE_INVALID_HANDLE, ksp().FreeProvider("first-past-checks", 0x10));
    EXPECT_EQ(lBefore + 1, ModuleBlocks()) << "the manager, and nothing else";
    EXPECT_EQ(NTE_INVALID_HANDLE, ksp().FreeProvider("second-past-checks", 0x10));
    EXPECT_EQ(lBefore + 1, ModuleBlocks()) << "the manager is made once";
}

TEST_F(KspTest, ManagerThatCannotBeMadeIsTriedAgainByTheNextCall)
{
    E2E_REQUIRE_CONTROLS(platform::FailModuleMalloc(1));
    const LONG lBefore = ModuleBlocks();
    SetLastError(0x4242);
    EXPECT_EQ(NTE_NO_MEMORY, ksp().FreeProvider("no-memory", 0x10));
    EXPECT_EQ(0x4242u, GetLastError());
    EXPECT_EQ(lBefore, ModuleBlocks());
    EXPECT_EQ(NTE_INVALID_HANDLE, ksp().FreeProvider("memory-back", 0x10));
    EXPECT_EQ(lBefore + 1, ModuleBlocks());
}

TEST_F(KspTest, GetKeyStorageInterfaceThatCannotCopyTheNameIsUnsuccessful)
{
    E2E_REQUIRE_CONTROLS(platform::FailModuleMalloc(1));
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *const pSentinel =
        reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(static_cast<ULONG_PTR>(0x5EB7));
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = pSentinel;
    const NTSTATUS status = Module().GetKeyStorageInterface(E2E_CEDAR_NAME, &pTable, 0);
    Record("GetKeyStorageInterface.no-memory", status);
    EXPECT_EQ(static_cast<NTSTATUS>(0xC0000001L), status);
    EXPECT_EQ(pSentinel, pTable);
    EXPECT_EQ(0, Module().GetKeyStorageInterface(E2E_CEDAR_NAME, &pTable, 0));
    EXPECT_EQ(TablePointer(), pTable);
}

// The same sequence of calls again and again, the nth allocation of the
// module failing in the nth round, until a round runs without a failure.
TEST_F(KspTest, EveryAllocationThatFailsEndsInNoMemoryAndLeavesNothing)
{
    E2E_KEYS(pKeys);
    E2E_REQUIRE_CONTROLS(platform::HasControls());
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = ksp().Table();
    const Bytes hash = Pattern(32, 0xA1);
    const Bytes plaintext = Pattern(24, 0xA2);
    // The manager exists before the first round, so that every round is alike.
    ASSERT_EQ(NTE_INVALID_HANDLE, t.FreeProvider(0x10));

    DWORD nFailing = 1;
    int cNoMemory = 0;
    for (; nFailing < 400; ++nFailing) {
        SCOPED_TRACE("allocation " + std::to_string(nFailing));
        const LONG lBefore = ModuleBlocks();
        int cRoundNoMemory = 0;
        auto check = [&](const char *pszStep, SECURITY_STATUS status) {
            if (status == NTE_NO_MEMORY) {
                ++cRoundNoMemory;
            } else {
                EXPECT_EQ(0, status) << pszStep;
            }
            return status == 0;
        };
        ASSERT_TRUE(platform::FailModuleMalloc(nFailing));

        NCRYPT_PROV_HANDLE hKsp = 0;
        NCRYPT_PROV_HANDLE hProvider = 0;
        NCRYPT_KEY_HANDLE hKey = 0;
        const bool fKsp = check("OpenProvider(ksp)", t.OpenProvider(&hKsp, E2E_KSP_NAME, 0));
        if (fKsp) {
            DWORD dwValue = 0;
            DWORD cbResult = 0;
            check("GetProviderProperty",
                  t.GetProviderProperty(hKsp, NCRYPT_MAX_NAME_LENGTH_PROPERTY, reinterpret_cast<PBYTE>(&dwValue),
                                        sizeof(dwValue), &cbResult, 0));
        }
        const bool fProvider = check("OpenProvider(csp)", t.OpenProvider(&hProvider, E2E_DOGWOOD_NAME, 0));
        const bool fKey =
            fProvider && check("OpenKey", t.OpenKey(hProvider, &hKey, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0));
        if (fKey) {
            BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
            Bytes input = hash;
            Bytes signature(kMainExchangeBytes);
            DWORD cbResult = 0;
            if (check("SignHash", t.SignHash(hProvider, hKey, &padding, input.data(), 32, signature.data(),
                                             kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG))) {
                check("VerifySignature",
                      t.VerifySignature(hProvider, hKey, &padding, input.data(), 32, signature.data(),
                                        kMainExchangeBytes, NCRYPT_PAD_PKCS1_FLAG));
            }
            Bytes data = plaintext;
            Bytes ciphertext(kMainExchangeBytes);
            if (check("Encrypt", t.Encrypt(hProvider, hKey, data.data(), static_cast<DWORD>(data.size()), nullptr,
                                           ciphertext.data(), kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG))) {
                Bytes decrypted(kMainExchangeBytes);
                if (check("Decrypt",
                          t.Decrypt(hProvider, hKey, ciphertext.data(), kMainExchangeBytes, nullptr, decrypted.data(),
                                    kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG))) {
                    EXPECT_EQ(plaintext, Bytes(decrypted.begin(), decrypted.begin() + cbResult));
                }
            }
        }
        ASSERT_TRUE(platform::FailModuleMalloc(0));
        if (fKey) {
            EXPECT_EQ(0, t.FreeKey(hProvider, hKey));
        }
        if (fProvider) {
            EXPECT_EQ(0, t.FreeProvider(hProvider));
        }
        if (fKsp) {
            EXPECT_EQ(0, t.FreeProvider(hKsp));
        }
        EXPECT_EQ(lBefore, ModuleBlocks()) << "a failed allocation left blocks behind";
        EXPECT_LE(cRoundNoMemory, 1) << "one failed allocation, one failed call";
        if (cRoundNoMemory == 0) {
            break;
        }
        cNoMemory += cRoundNoMemory;
    }
    Record("allocation-failures", 0, static_cast<DWORD>(cNoMemory));
    EXPECT_LT(nFailing, 400u) << "the sequence never ran without a failure";
    EXPECT_EQ(static_cast<int>(nFailing) - 1, cNoMemory) << "every failed allocation is reported";
}

} // namespace
} // namespace e2e
