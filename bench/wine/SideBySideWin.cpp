// The bridge's cost on a real Win32 implementation (Wine, run as a 32-bit
// program with the i386 DLL): one RSA-2048 key in a container of the test
// CSP, used through the module's function table and through CryptoAPI
// directly, sign / verify / encrypt / decrypt side by side. Each round runs
// both ways once, in alternating order, each call timed on its own
// (QueryPerformanceCounter); the median of each way is the figure, so that
// load from elsewhere falls on both alike. Every call's result is checked;
// a wrong one ends the run with exit 1.
//
//   qvn_wine_bench [PRIVATE_ROUNDS [PUBLIC_ROUNDS]]
//
// Prints a Markdown table (operation, both medians, their ratio).
#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>

#include <ncrypt_provider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<BYTE>;
const wchar_t *const kCspName = L"Quorvane Alder Cryptographic Provider";
const DWORD kcbKey = 256;

void Require(bool fOk, const char *pszWhat)
{
    if (!fOk) {
        std::printf("qvn_wine_bench: %s failed (last error 0x%08lX)\n", pszWhat, GetLastError());
        std::exit(1);
    }
}

double Median(std::vector<double> samples)
{
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

// Median µs of each way over the rounds, the order alternating per round.
std::pair<double, double> SideBySide(int nRounds, const std::function<void()> &table, const std::function<void()> &capi)
{
    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> samples[2];
    for (int iRound = 0; iRound < nRounds; ++iRound) {
        for (int iStep = 0; iStep < 2; ++iStep) {
            const int iWay = (iRound + iStep) % 2;
            QueryPerformanceCounter(&start);
            iWay == 0 ? table() : capi();
            QueryPerformanceCounter(&stop);
            samples[iWay].push_back(1e6 * double(stop.QuadPart - start.QuadPart) / double(frequency.QuadPart));
        }
    }
    return {Median(samples[0]), Median(samples[1])};
}

struct Bench {
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    HCRYPTPROV hCapiProv = 0;
    HCRYPTKEY hCapiKey = 0;
    BYTE hash[32];
    BYTE plain[32];
    BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
    Bytes signature = Bytes(kcbKey), capiSignature, cipher = Bytes(kcbKey), capiCipher, output = Bytes(kcbKey);

    HCRYPTHASH CapiHash()
    {
        HCRYPTHASH hHash = 0;
        Require(CryptCreateHash(hCapiProv, CALG_SHA_256, 0, 0, &hHash) && CryptSetHashParam(hHash, HP_HASHVAL, hash, 0),
                "CryptCreateHash");
        return hHash;
    }
    void SignTable()
    {
        DWORD cb = 0;
        Require(pTable->SignHash(hProvider, hKey, &padding, hash, 32, output.data(), kcbKey, &cb,
                                 NCRYPT_PAD_PKCS1_FLAG) == 0 &&
                    cb == kcbKey,
                "SignHash");
    }
    void SignCapi()
    {
        const HCRYPTHASH hHash = CapiHash();
        DWORD cb = kcbKey;
        Require(CryptSignHashW(hHash, AT_KEYEXCHANGE, nullptr, 0, output.data(), &cb) && cb == kcbKey,
                "CryptSignHashW");
        CryptDestroyHash(hHash);
    }
    void VerifyTable()
    {
        Require(pTable->VerifySignature(hProvider, hKey, &padding, hash, 32, signature.data(), kcbKey,
                                        NCRYPT_PAD_PKCS1_FLAG) == 0,
                "VerifySignature");
    }
    void VerifyCapi()
    {
        const HCRYPTHASH hHash = CapiHash();
        Require(CryptVerifySignatureW(hHash, capiSignature.data(), kcbKey, hCapiKey, nullptr, 0),
                "CryptVerifySignatureW");
        CryptDestroyHash(hHash);
    }
    void EncryptTable()
    {
        DWORD cb = 0;
        Require(pTable->Encrypt(hProvider, hKey, plain, 32, nullptr, output.data(), kcbKey, &cb,
                                NCRYPT_PAD_PKCS1_FLAG) == 0 &&
                    cb == kcbKey,
                "Encrypt");
    }
    void EncryptCapi()
    {
        std::memcpy(output.data(), plain, 32); // CryptEncrypt works in place
        DWORD cb = 32;
        Require(CryptEncrypt(hCapiKey, 0, TRUE, 0, output.data(), &cb, kcbKey) && cb == kcbKey, "CryptEncrypt");
    }
    void DecryptTable()
    {
        DWORD cb = 0;
        Require(pTable->Decrypt(hProvider, hKey, cipher.data(), kcbKey, nullptr, output.data(), kcbKey, &cb,
                                NCRYPT_PAD_PKCS1_FLAG) == 0 &&
                    cb == 32 && std::memcmp(output.data(), plain, 32) == 0,
                "Decrypt");
    }
    void DecryptCapi()
    {
        std::memcpy(output.data(), capiCipher.data(), kcbKey);
        DWORD cb = kcbKey;
        Require(CryptDecrypt(hCapiKey, 0, TRUE, 0, output.data(), &cb) && cb == 32 &&
                    std::memcmp(output.data(), plain, 32) == 0,
                "CryptDecrypt");
    }
};

} // namespace

int main(int argc, char **argv)
{
    const int nPrivate = argc > 1 ? std::atoi(argv[1]) : 200;
    const int nPublic = argc > 2 ? std::atoi(argv[2]) : 5 * nPrivate;
    Require(nPrivate > 0 && nPublic > 0, "parsing the round counts");
    Bench b;
    for (int i = 0; i < 32; ++i) {
        b.hash[i] = static_cast<BYTE>(0x5A ^ (7 * i));
        b.plain[i] = static_cast<BYTE>(0xA5 ^ i);
    }
    // A fresh container with a 2048-bit exchange key, reopened as an
    // application opens it (the module opens it so too).
    const std::wstring strContainer = L"QvnWineBench-" + std::to_wstring(GetCurrentProcessId());
    Require(CryptAcquireContextW(&b.hCapiProv, strContainer.c_str(), kCspName, PROV_RSA_FULL, CRYPT_NEWKEYSET) &&
                CryptGenKey(b.hCapiProv, AT_KEYEXCHANGE, kcbKey * 8 << 16, &b.hCapiKey) &&
                CryptDestroyKey(b.hCapiKey) && CryptReleaseContext(b.hCapiProv, 0),
            "creating the container's key");
    Require(CryptAcquireContextW(&b.hCapiProv, strContainer.c_str(), kCspName, PROV_RSA_FULL, 0) &&
                CryptGetUserKey(b.hCapiProv, AT_KEYEXCHANGE, &b.hCapiKey),
            "opening the container's key");

    // The module from beside this program, as the CNG router loads it.
    wchar_t szModule[MAX_PATH];
    const DWORD cch = GetModuleFileNameW(nullptr, szModule, MAX_PATH);
    wchar_t *pszSlash = std::wcsrchr(szModule, L'\\');
    Require(cch > 0 && cch < MAX_PATH && pszSlash != nullptr, "GetModuleFileNameW");
    std::wcscpy(pszSlash + 1, L"QvnTpmKsp.dll");
    const HMODULE hModule = LoadLibraryW(szModule);
    Require(hModule != nullptr, "LoadLibraryW(QvnTpmKsp.dll)");
    const auto pfnGetInterface = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void *>(GetProcAddress(hModule, NCRYPT_KEY_STORAGE_INTERFACE_NAME)));
    Require(pfnGetInterface != nullptr && pfnGetInterface(kCspName, &b.pTable, 0) == 0, "GetKeyStorageInterface");
    Require(b.pTable->OpenProvider(&b.hProvider, kCspName, 0) == 0 &&
                b.pTable->OpenKey(b.hProvider, &b.hKey, strContainer.c_str(), AT_KEYEXCHANGE, 0) == 0,
            "OpenProvider and OpenKey");

    // Both ways hold one key: the signatures agree (PKCS #1 v1.5 is
    // deterministic; CryptoAPI's byte order is reversed).
    b.SignTable();
    b.signature = b.output;
    b.capiSignature.assign(b.signature.rbegin(), b.signature.rend());
    b.SignCapi();
    Require(b.output == b.capiSignature, "the table's signature and CryptoAPI's agree");
    b.EncryptTable();
    b.cipher = b.output;
    b.capiCipher.assign(b.cipher.rbegin(), b.cipher.rend());

    const struct {
        const char *pszName;
        int nRounds;
        void (Bench::*table)();
        void (Bench::*capi)();
    } operations[] = {
        {"Sign RSA-2048", nPrivate, &Bench::SignTable, &Bench::SignCapi},
        {"Verify RSA-2048", nPublic, &Bench::VerifyTable, &Bench::VerifyCapi},
        {"Encrypt RSA-2048", nPublic, &Bench::EncryptTable, &Bench::EncryptCapi},
        {"Decrypt RSA-2048", nPrivate, &Bench::DecryptTable, &Bench::DecryptCapi},
    };
    std::printf("| operation        | rounds | table µs | CryptoAPI µs | table / CryptoAPI |\n");
    std::printf("|:-----------------|-------:|---------:|-------------:|------------------:|\n");
    for (const auto &op : operations) {
        const auto medians = SideBySide(
            op.nRounds, [&] { (b.*op.table)(); }, [&] { (b.*op.capi)(); });
        const double dRatio = medians.first / medians.second;
        std::printf("| %-16s | %6d | %8.1f | %12.1f | %8.4f (%+.2f %%) |\n", op.pszName, op.nRounds, medians.first,
                    medians.second, dRatio, 100.0 * (dRatio - 1.0));
    }

    Require(b.pTable->FreeKey(b.hProvider, b.hKey) == 0 && b.pTable->FreeProvider(b.hProvider) == 0, "FreeKey");
    FreeLibrary(hModule);
    CryptDestroyKey(b.hCapiKey);
    CryptReleaseContext(b.hCapiProv, 0);
    HCRYPTPROV hDeleted = 0;
    Require(CryptAcquireContextW(&hDeleted, strContainer.c_str(), kCspName, PROV_RSA_FULL, CRYPT_DELETEKEYSET),
            "deleting the container");
    return 0;
}
