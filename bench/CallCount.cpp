// Instructions per call, for `valgrind --tool=callgrind --collect-atstart=no`.
//
// For each operation named on the command line the program makes a few
// calls to warm up (lazy symbol binding, first-use allocations), then turns
// callgrind's collection on, makes N calls, turns it off and dumps the counts
// under the operation's name ("callgrind.out.<pid>.<n>", with
// "desc: Trigger: Client Request: <name>"). Instructions per call are the
// dump's total divided by N; they include the few instructions of this
// program's loop and argument set-up around each call.
//
// Usage: qvn_callcount N operation...
//   operations: version enum, and sign verify encrypt decrypt each followed
//   by -table, -capi or -openssl (RSA-2048).
//
// Run outside valgrind it makes the same calls and counts nothing.
#include "BenchOps.h"

#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

namespace
{

using qvnbench::BenchWorld;
using qvnbench::CryptoOps;

constexpr int kWarmUpCalls = 3;

// The calls of the key storage provider's own handle, written out so that
// the loop around them stays as small as it can be.
void CallVersion(const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table, NCRYPT_PROV_HANDLE hProvider, long lCalls)
{
    DWORD dwVersion = 0;
    DWORD cbResult = 0;
    for (long i = 0; i < lCalls; ++i) {
        if (table.GetProviderProperty(hProvider, NCRYPT_VERSION_PROPERTY, reinterpret_cast<PBYTE>(&dwVersion),
                                      sizeof(dwVersion), &cbResult, 0) != ERROR_SUCCESS) {
            qvnbench::Die("GetProviderProperty(Version) failed");
        }
    }
}

void CallEnumAlgorithms(const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table, NCRYPT_PROV_HANDLE hProvider, long lCalls)
{
    DWORD dwCount = 0;
    NCryptAlgorithmName *pList = nullptr;
    for (long i = 0; i < lCalls; ++i) {
        if (table.EnumAlgorithms(hProvider, NCRYPT_SIGNATURE_OPERATION, &dwCount, &pList, 0) != ERROR_SUCCESS) {
            qvnbench::Die("EnumAlgorithms failed");
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s N operation...\n", argv[0]);
        return 1;
    }
    const long lCalls = std::strtol(argv[1], nullptr, 10);
    if (lCalls <= 0) {
        std::fprintf(stderr, "N must be positive\n");
        return 1;
    }

    BenchWorld::Start();
    BenchWorld &world = BenchWorld::Get();
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = world.Table();
    const NCRYPT_PROV_HANDLE hKsp = world.KspProvider();

    std::map<std::string, std::function<void(long)>> operations;
    operations["version"] = [&](long lCount) { CallVersion(table, hKsp, lCount); };
    operations["enum"] = [&](long lCount) { CallEnumAlgorithms(table, hKsp, lCount); };

    // The key is made only when an operation needs it.
    std::unique_ptr<CryptoOps> ops;
    auto crypto = [&](void (CryptoOps::*pfnOperation)()) {
        return [&, pfnOperation](long lCount) {
            if (!ops) {
                ops = std::make_unique<CryptoOps>(world, world.Key(2048));
            }
            for (long i = 0; i < lCount; ++i) {
                ((*ops).*pfnOperation)();
            }
        };
    };
    operations["sign-table"] = crypto(&CryptoOps::SignTable);
    operations["sign-capi"] = crypto(&CryptoOps::SignCapi);
    operations["sign-openssl"] = crypto(&CryptoOps::SignOpenSsl);
    operations["verify-table"] = crypto(&CryptoOps::VerifyTable);
    operations["verify-capi"] = crypto(&CryptoOps::VerifyCapi);
    operations["verify-openssl"] = crypto(&CryptoOps::VerifyOpenSsl);
    operations["encrypt-table"] = crypto(&CryptoOps::EncryptTable);
    operations["encrypt-capi"] = crypto(&CryptoOps::EncryptCapi);
    operations["encrypt-openssl"] = crypto(&CryptoOps::EncryptOpenSsl);
    operations["decrypt-table"] = crypto(&CryptoOps::DecryptTable);
    operations["decrypt-capi"] = crypto(&CryptoOps::DecryptCapi);
    operations["decrypt-openssl"] = crypto(&CryptoOps::DecryptOpenSsl);

    for (int iArg = 2; iArg < argc; ++iArg) {
        const auto it = operations.find(argv[iArg]);
        if (it == operations.end()) {
            std::fprintf(stderr, "unknown operation: %s\n", argv[iArg]);
            return 1;
        }
        it->second(kWarmUpCalls);
        CALLGRIND_ZERO_STATS;
        CALLGRIND_TOGGLE_COLLECT;
        it->second(lCalls);
        CALLGRIND_TOGGLE_COLLECT;
        CALLGRIND_DUMP_STATS_AT(argv[iArg]);
    }

    ops.reset();
    BenchWorld::Stop();
    return 0;
}
