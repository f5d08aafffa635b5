// Handle maps under load, and memory over many cycles.
//
// With 1, 1 000, 10 000 and 100 000 keys open through the table (each one a
// CryptoAPI context on the same container) and as many acquired directly, a
// key-handle lookup is timed as a SignHash size query on a key picked at
// random among them: the entry resolves the provider and then the key in its
// map and asks CryptoAPI for the key length, nothing more. Its CryptoAPI call
// alone, on a key picked at random among the direct ones, is the baseline;
// the same query on one key, again and again, shows the lookup's own work
// without the cache misses. OpenKey followed by FreeKey is timed side by side
// with the same CryptoAPI calls made directly, with the same keys open.
//
// Memory: the resident size before and after many open/sign/free cycles, and
// the module's own live allocations (counted by the platform's C runtime).
#include "BenchSupport.h"
#include "SideBySide.h"

#include <qvnplatform.h>

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace qvnbench
{
namespace
{

// The keys held open while the handle benchmarks run, the same number both
// ways: through the table, and as CryptoAPI contexts with their exchange key
// acquired directly. Grown or shrunk to the count that each benchmark asks
// for.
struct HeldKeys {
    std::vector<NCRYPT_KEY_HANDLE> table;
    std::vector<std::pair<HCRYPTPROV, HCRYPTKEY>> capi;
};

HeldKeys &Held()
{
    static HeldKeys s_held;
    return s_held;
}

const HeldKeys &HoldOpenKeys(size_t cKeys)
{
    BenchWorld &world = BenchWorld::Get();
    const BenchKey &key = world.Key(2048);
    HeldKeys &held = Held();
    while (held.table.size() > cKeys) {
        world.FreeTableKey(held.table.back());
        held.table.pop_back();
        BenchWorld::ReleaseCapiKey(held.capi.back().first, held.capi.back().second);
        held.capi.pop_back();
    }
    held.table.reserve(cKeys);
    held.capi.reserve(cKeys);
    while (held.table.size() < cKeys) {
        held.table.push_back(world.OpenTableKey(key));
        HCRYPTPROV hProv = 0;
        HCRYPTKEY hKey = 0;
        world.AcquireCapiKey(key, &hProv, &hKey);
        held.capi.emplace_back(hProv, hKey);
    }
    return held;
}

// A small linear congruential generator: random enough to defeat the caches,
// cheap next to a lookup.
class Picker
{
public:
    explicit Picker(size_t cChoices) : m_cChoices(cChoices) {}
    size_t Next()
    {
        m_uState = m_uState * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<size_t>((m_uState >> 33) % m_cChoices);
    }

private:
    size_t m_cChoices;
    unsigned long long m_uState = 0x9E3779B97F4A7C15ull;
};

void LookupTable(benchmark::State &state)
{
    BenchWorld &world = BenchWorld::Get();
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = world.Table();
    const std::vector<NCRYPT_KEY_HANDLE> &keys = HoldOpenKeys(static_cast<size_t>(state.range(0))).table;
    std::array<BYTE, 32> hash = BenchHash();
    BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
    Picker picker(keys.size());
    DWORD cbResult = 0;
    for (auto _ : state) {
        RequireStatus(table.SignHash(world.CspProvider(), keys[picker.Next()], &padding, hash.data(), 32, nullptr, 0,
                                     &cbResult, NCRYPT_PAD_PKCS1_FLAG),
                      "SignHash (size query)");
        benchmark::DoNotOptimize(cbResult);
    }
    Require(cbResult == 256, "SignHash size query result");
}

// The same lookup, always of the key opened last: its path through the maps
// stays in the caches, so what grows with the count is the work of the
// lookup itself.
void LookupHotTable(benchmark::State &state)
{
    BenchWorld &world = BenchWorld::Get();
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = world.Table();
    const NCRYPT_KEY_HANDLE hKey = HoldOpenKeys(static_cast<size_t>(state.range(0))).table.back();
    std::array<BYTE, 32> hash = BenchHash();
    BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
    DWORD cbResult = 0;
    for (auto _ : state) {
        RequireStatus(table.SignHash(world.CspProvider(), hKey, &padding, hash.data(), 32, nullptr, 0, &cbResult,
                                     NCRYPT_PAD_PKCS1_FLAG),
                      "SignHash (size query)");
        benchmark::DoNotOptimize(cbResult);
    }
    Require(cbResult == 256, "SignHash size query result");
}

// The one CryptoAPI call that the lookup above makes, made directly on a key
// picked at random among as many keys acquired directly.
void LookupCapi(benchmark::State &state)
{
    const std::vector<std::pair<HCRYPTPROV, HCRYPTKEY>> &keys = HoldOpenKeys(static_cast<size_t>(state.range(0))).capi;
    Picker picker(keys.size());
    DWORD dwBits = 0;
    for (auto _ : state) {
        DWORD cbData = sizeof(dwBits);
        RequireCapi(
            CryptGetKeyParam(keys[picker.Next()].second, KP_KEYLEN, reinterpret_cast<BYTE *>(&dwBits), &cbData, 0),
            "CryptGetKeyParam(KP_KEYLEN)");
        benchmark::DoNotOptimize(dwBits);
    }
    Require(dwBits == 2048, "KP_KEYLEN");
}

// OpenKey followed by FreeKey through the table, side by side with what they
// do underneath made directly: a context on the container and its exchange
// key acquired, then both released.
void OpenFree(benchmark::State &state)
{
    BenchWorld &world = BenchWorld::Get();
    const BenchKey &key = world.Key(2048);
    HoldOpenKeys(static_cast<size_t>(state.range(0)));
    const std::array<double, 2> medians = RunSideBySide<2>(state, {[&] { world.FreeTableKey(world.OpenTableKey(key)); },
                                                                   [&] {
                                                                       HCRYPTPROV hProv = 0;
                                                                       HCRYPTKEY hKey = 0;
                                                                       world.AcquireCapiKey(key, &hProv, &hKey);
                                                                       BenchWorld::ReleaseCapiKey(hProv, hKey);
                                                                   }});
    state.counters["table_us"] = medians[0];
    state.counters["capi_us"] = medians[1];
    state.counters["table/capi"] = Ratio(medians[0], medians[1]);
}

size_t CycleCount()
{
    const char *pszCycles = std::getenv("QVN_BENCH_CYCLES");
    if (pszCycles != nullptr && *pszCycles != '\0') {
        return static_cast<size_t>(std::strtoul(pszCycles, nullptr, 10));
    }
    return 100000;
}

void MemoryCycles(benchmark::State &state)
{
    BenchWorld &world = BenchWorld::Get();
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = world.Table();
    const BenchKey &key = world.Key(2048);
    HoldOpenKeys(0);
    std::array<BYTE, 32> hash = BenchHash();
    BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
    std::vector<BYTE> signature(key.cbKey);
    const size_t cCycles = CycleCount();
    constexpr size_t kWarmUp = 1000;

    auto cycle = [&] {
        const NCRYPT_KEY_HANDLE hKey = world.OpenTableKey(key);
        DWORD cbResult = 0;
        RequireStatus(table.SignHash(world.CspProvider(), hKey, &padding, hash.data(), 32, signature.data(), key.cbKey,
                                     &cbResult, NCRYPT_PAD_PKCS1_FLAG),
                      "SignHash");
        world.FreeTableKey(hKey);
    };

    long lBefore = 0;
    long lAfter = 0;
    LONG lBlocksBefore = 0;
    LONG lBlocksAfter = 0;
    for (auto _ : state) {
        // The first cycles fill the allocators' and OpenSSL's caches (the
        // platform's call log is full from the start: BenchSupport.cpp).
        for (size_t i = 0; i < kWarmUp; ++i) {
            cycle();
        }
        lBefore = ResidentKiB();
        lBlocksBefore = QvnPlatformModuleLiveBlocks();
        for (size_t i = 0; i < cCycles; ++i) {
            cycle();
        }
        lAfter = ResidentKiB();
        lBlocksAfter = QvnPlatformModuleLiveBlocks();
    }
    state.counters["cycles"] = static_cast<double>(cCycles);
    state.counters["rss_before_kib"] = static_cast<double>(lBefore);
    state.counters["rss_after_kib"] = static_cast<double>(lAfter);
    state.counters["rss_growth_kib"] = static_cast<double>(lAfter - lBefore);
    state.counters["module_blocks_before"] = static_cast<double>(lBlocksBefore);
    state.counters["module_blocks_after"] = static_cast<double>(lBlocksAfter);
    state.counters["live_contexts_after"] = static_cast<double>(QvnPlatformLiveContexts());
}

// The key counts, each with all four handle benchmarks before the next
// count, so that the set of open keys only grows.
std::vector<long> KeyCounts()
{
    const char *pszMax = std::getenv("QVN_BENCH_MAX_KEYS");
    const long lMax = pszMax != nullptr && *pszMax != '\0' ? std::strtol(pszMax, nullptr, 10) : 100000;
    std::vector<long> counts;
    for (long lKeys : {1L, 1000L, 10000L, 100000L}) {
        if (lKeys <= lMax) {
            counts.push_back(lKeys);
        }
    }
    return counts;
}

const bool g_fHandleBenchmarksRegistered = [] {
    for (const long lKeys : KeyCounts()) {
        benchmark::RegisterBenchmark("Handles/Lookup_table", LookupTable)->Arg(lKeys)->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark("Handles/Lookup_capi", LookupCapi)->Arg(lKeys)->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark("Handles/LookupHot_table", LookupHotTable)
            ->Arg(lKeys)
            ->Unit(benchmark::kNanosecond);
        benchmark::internal::Benchmark *pOpenFree =
            benchmark::RegisterBenchmark("Handles/OpenFree", OpenFree)->Arg(lKeys)->Unit(benchmark::kMicrosecond);
        if (lKeys >= 10000) {
            // A pair takes milliseconds then: a longer run gives the medians
            // enough samples.
            pOpenFree->MinTime(3.0);
        }
    }
    return true;
}();

} // namespace

BENCHMARK(MemoryCycles)->Name("Memory/OpenSignFree")->Iterations(1)->Unit(benchmark::kSecond);

// Freeing is linear in the live keys on the Linux stand-in (its
// CryptReleaseContext sweeps every live key for those of the context), so
// freeing 100 000 keys one by one would take minutes.
bool ReleaseHeldKeys()
{
    constexpr size_t kMaxKeysToFree = 10000;
    if (Held().table.size() > kMaxKeysToFree) {
        return false;
    }
    HoldOpenKeys(0);
    return true;
}

} // namespace qvnbench
