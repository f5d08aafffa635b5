// The entry frame on its own, and under several threads at once.
//
// GetProviderProperty("Version") and EnumAlgorithms on the key storage
// provider's own handle reach no CSP: what they cost is the frame (last-error
// value saved and restored, the global lock, the manager, the provider map)
// and a few lines of the operation. One CryptGetKeyParam made directly is
// there for scale: the cheapest call into the CSP layer.
//
// Every entry holds one lock for its whole body, so threads that sign through
// the table take turns; the same signing done with CryptoAPI directly, one
// context per thread, runs on every core. Items per second of both, from 1 to
// 8 threads, show what taking turns costs.
#include "BenchSupport.h"

#include <benchmark/benchmark.h>

namespace qvnbench
{
namespace
{

void FrameVersion(benchmark::State &state)
{
    BenchWorld &world = BenchWorld::Get();
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = world.Table();
    DWORD dwVersion = 0;
    DWORD cbResult = 0;
    for (auto _ : state) {
        RequireStatus(table.GetProviderProperty(world.KspProvider(), NCRYPT_VERSION_PROPERTY,
                                                reinterpret_cast<PBYTE>(&dwVersion), sizeof(dwVersion), &cbResult, 0),
                      "GetProviderProperty(Version)");
        benchmark::DoNotOptimize(dwVersion);
    }
    Require(cbResult == sizeof(DWORD), "GetProviderProperty(Version) result length");
    state.SetItemsProcessed(state.iterations());
}

void FrameEnumAlgorithms(benchmark::State &state)
{
    BenchWorld &world = BenchWorld::Get();
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = world.Table();
    DWORD dwCount = 1;
    NCryptAlgorithmName *pList = nullptr;
    for (auto _ : state) {
        RequireStatus(table.EnumAlgorithms(world.KspProvider(), NCRYPT_SIGNATURE_OPERATION, &dwCount, &pList, 0),
                      "EnumAlgorithms");
        benchmark::DoNotOptimize(dwCount);
    }
    Require(dwCount == 0, "EnumAlgorithms count");
    state.SetItemsProcessed(state.iterations());
}

void ReferenceKeyLength(benchmark::State &state)
{
    const BenchKey &key = BenchWorld::Get().Key(2048);
    DWORD dwBits = 0;
    for (auto _ : state) {
        DWORD cbData = sizeof(dwBits);
        RequireCapi(CryptGetKeyParam(key.hCapiKey, KP_KEYLEN, reinterpret_cast<BYTE *>(&dwBits), &cbData, 0),
                    "CryptGetKeyParam(KP_KEYLEN)");
        benchmark::DoNotOptimize(dwBits);
    }
    Require(dwBits == 2048, "KP_KEYLEN");
    state.SetItemsProcessed(state.iterations());
}

// Each thread signs with a key handle of its own, opened through the table
// before the timed loop starts.
void ThreadsSignTable(benchmark::State &state)
{
    BenchWorld &world = BenchWorld::Get();
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = world.Table();
    const BenchKey &key = world.Key(2048);
    const NCRYPT_KEY_HANDLE hKey = world.OpenTableKey(key);
    std::array<BYTE, 32> hash = BenchHash();
    BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
    std::vector<BYTE> signature(key.cbKey);
    for (auto _ : state) {
        DWORD cbResult = 0;
        RequireStatus(table.SignHash(world.CspProvider(), hKey, &padding, hash.data(), 32, signature.data(), key.cbKey,
                                     &cbResult, NCRYPT_PAD_PKCS1_FLAG),
                      "SignHash");
        benchmark::DoNotOptimize(signature.data());
    }
    state.SetItemsProcessed(state.iterations());
    world.FreeTableKey(hKey);
}

// The same signatures with CryptoAPI directly, a context of its own per thread.
void ThreadsSignCapi(benchmark::State &state)
{
    BenchWorld &world = BenchWorld::Get();
    const BenchKey &key = world.Key(2048);
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    world.AcquireCapiKey(key, &hProv, &hKey);
    std::array<BYTE, 32> hash = BenchHash();
    std::vector<BYTE> signature(key.cbKey);
    for (auto _ : state) {
        CapiSignHash(hProv, hash.data(), signature.data(), key.cbKey);
        benchmark::DoNotOptimize(signature.data());
    }
    state.SetItemsProcessed(state.iterations());
    BenchWorld::ReleaseCapiKey(hProv, hKey);
}

// The lock alone changing hands: the cheapest entry, from every thread.
void ThreadsVersion(benchmark::State &state)
{
    BenchWorld &world = BenchWorld::Get();
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = world.Table();
    DWORD dwVersion = 0;
    DWORD cbResult = 0;
    for (auto _ : state) {
        RequireStatus(table.GetProviderProperty(world.KspProvider(), NCRYPT_VERSION_PROPERTY,
                                                reinterpret_cast<PBYTE>(&dwVersion), sizeof(dwVersion), &cbResult, 0),
                      "GetProviderProperty(Version)");
        benchmark::DoNotOptimize(dwVersion);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(FrameVersion)->Name("Frame/GetProviderProperty_Version")->Unit(benchmark::kNanosecond);
BENCHMARK(FrameEnumAlgorithms)->Name("Frame/EnumAlgorithms")->Unit(benchmark::kNanosecond);
BENCHMARK(ReferenceKeyLength)->Name("Frame/CryptGetKeyParam_direct")->Unit(benchmark::kNanosecond);

BENCHMARK(ThreadsSignTable)
    ->Name("Threads/Sign_table")
    ->ThreadRange(1, 8)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(ThreadsSignCapi)->Name("Threads/Sign_capi")->ThreadRange(1, 8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(ThreadsVersion)
    ->Name("Threads/Version_table")
    ->ThreadRange(1, 8)
    ->UseRealTime()
    ->Unit(benchmark::kNanosecond);

} // namespace qvnbench
