// The test binary's entry: GoogleTest, or one job of a second process when
// started with "--qvn-child <mode> <store> <args...>" (see PersistenceTest).
// A job prints its result on stdout; its exit code is 0 when every call
// succeeded.
#include "CapiTestUtil.h"

#include <cstdlib>
#include <cstring>

namespace capitest
{
namespace
{

// Creates the container with a generated, exportable exchange key of dwBits
// (replacing the key if the container exists); prints its PUBLICKEYBLOB.
bool CreateKey(const WString &strContainer, DWORD dwBits, bool fPrint)
{
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    if (!CryptAcquireContextW(&hProv, strContainer.c_str(), kAlderProvider, PROV_RSA_FULL, 0) &&
        !CryptAcquireContextW(&hProv, strContainer.c_str(), kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
        return false;
    }
    const bool fOk = CryptGenKey(hProv, AT_KEYEXCHANGE, dwBits << 16 | CRYPT_EXPORTABLE, &hKey);
    if (fOk && fPrint) {
        Bytes blob(4096);
        DWORD cbBlob = static_cast<DWORD>(blob.size());
        CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob);
        blob.resize(cbBlob);
        std::printf("%s\n", Hex(blob).c_str());
    }
    CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    return fOk;
}

// Handles that ReleaseAtExit gives back after main has returned.
HCRYPTPROV g_hProv = 0;
HCRYPTKEY g_hKey = 0;
HCRYPTHASH g_hHash = 0;

void ReleaseAtExit()
{
    if (!CryptDestroyHash(g_hHash) || !CryptDestroyKey(g_hKey) || !CryptReleaseContext(g_hProv, 0)) {
        _exit(4);
    }
}

// Signs the SHA-256 value PatternBytes(32, 2) with the container's exchange
// key and prints the signature. With fReleaseAtExit, the handles are left to be released during
// process exit, after the C++ and OpenSSL clean-up that exit() runs first (as
// a module's process detach does).
bool Sign(const WString &strContainer, bool fReleaseAtExit)
{
    if (fReleaseAtExit) {
        std::atexit(ReleaseAtExit); // before OpenSSL's first use, so it runs after its clean-up
    }
    const Bytes value = PatternBytes(32, 2);
    Bytes signature(2048);
    DWORD cbSignature = static_cast<DWORD>(signature.size());
    if (!CryptAcquireContextW(&g_hProv, strContainer.c_str(), kAlderProvider, PROV_RSA_FULL, 0) ||
        !CryptGetUserKey(g_hProv, AT_KEYEXCHANGE, &g_hKey) || !CryptCreateHash(g_hProv, CALG_SHA_256, 0, 0, &g_hHash) ||
        !CryptSetHashParam(g_hHash, HP_HASHVAL, value.data(), 0) ||
        !CryptSignHashW(g_hHash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &cbSignature)) {
        return false;
    }
    signature.resize(cbSignature);
    std::printf("%s\n", Hex(signature).c_str());
    if (!fReleaseAtExit) {
        ReleaseAtExit();
    }
    return true;
}

// Modes: create-key <container> <bits> | sign <container> |
// sign-release-at-exit <container> | churn <prefix> <count> <shared>.
int ChildMain(int argc, char **argv)
{
    if (argc < 3) {
        return 100;
    }
    const std::string strMode = argv[0];
    QvnPlatformSetStoreDirectory(argv[1]);
    const WString strContainer = Wide(argv[2]);
    bool fOk = false;
    if (strMode == "create-key" && argc == 4) {
        fOk = CreateKey(strContainer, static_cast<DWORD>(std::atoi(argv[3])), true);
    } else if (strMode == "sign" || strMode == "sign-release-at-exit") {
        fOk = Sign(strContainer, strMode != "sign");
    } else if (strMode == "churn" && argc == 5) {
        // New containers <prefix>0.. with an exchange key each, replacing the
        // shared container's exchange key after each one.
        fOk = true;
        for (int i = 0; fOk && i < std::atoi(argv[3]); ++i) {
            fOk = CreateKey(Wide(argv[2] + std::to_string(i)), 512, false) && CreateKey(Wide(argv[4]), 512, false);
        }
    }
    return fOk ? 0 : 2;
}

} // namespace
} // namespace capitest

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--qvn-child") == 0) {
        return capitest::ChildMain(argc - 2, argv + 2);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
