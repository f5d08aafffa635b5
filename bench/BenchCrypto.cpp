// Signing, verification, encryption and decryption three ways, side by side
// in one loop (SideBySide.h): through the module's table, as the CryptoAPI
// calls that an application makes directly for the same result, and with
// OpenSSL alone on the same key. The medians of each way and the ratios
// between them are the benchmark's counters.
#include "BenchOps.h"
#include "SideBySide.h"

#include <benchmark/benchmark.h>

namespace qvnbench
{
namespace
{

// The side-by-side run of one operation on the key of range(0) bits.
template <void (CryptoOps::*pfnTable)(), void (CryptoOps::*pfnCapi)(), void (CryptoOps::*pfnOpenSsl)()>
void SideBySide(benchmark::State &state)
{
    BenchWorld &world = BenchWorld::Get();
    CryptoOps ops(world, world.Key(static_cast<unsigned>(state.range(0))));
    const std::array<double, 3> medians =
        RunSideBySide<3>(state, {[&] { (ops.*pfnTable)(); }, [&] { (ops.*pfnCapi)(); }, [&] { (ops.*pfnOpenSsl)(); }});
    const double dTable = medians[0];
    const double dCapi = medians[1];
    const double dOpenSsl = medians[2];
    state.counters["table_us"] = dTable;
    state.counters["capi_us"] = dCapi;
    state.counters["openssl_us"] = dOpenSsl;
    state.counters["table/capi"] = Ratio(dTable, dCapi);
    state.counters["capi/openssl"] = Ratio(dCapi, dOpenSsl);
    state.counters["table/openssl"] = Ratio(dTable, dOpenSsl);
}

} // namespace

BENCHMARK(SideBySide<&CryptoOps::SignTable, &CryptoOps::SignCapi, &CryptoOps::SignOpenSsl>)
    ->Name("Crypto/Sign")
    ->Arg(2048)
    ->Arg(4096)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(SideBySide<&CryptoOps::VerifyTable, &CryptoOps::VerifyCapi, &CryptoOps::VerifyOpenSsl>)
    ->Name("Crypto/Verify")
    ->Arg(2048)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(SideBySide<&CryptoOps::EncryptTable, &CryptoOps::EncryptCapi, &CryptoOps::EncryptOpenSsl>)
    ->Name("Crypto/Encrypt")
    ->Arg(2048)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(SideBySide<&CryptoOps::DecryptTable, &CryptoOps::DecryptCapi, &CryptoOps::DecryptOpenSsl>)
    ->Name("Crypto/Decrypt")
    ->Arg(2048)
    ->Unit(benchmark::kMicrosecond);

} // namespace qvnbench
