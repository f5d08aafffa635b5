// Runs the fuzz harness without libFuzzer over the inputs in the directories
// named on the command line: the seed corpus becomes a test of every build,
// and the builds that cannot fuzz (gcc, TSan, coverage) run its checks too.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *pargc, char ***pargv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pbData, size_t cbData);

int main(int argc, char **argv)
{
    std::set<std::filesystem::path> inputs; // in order, so that a run repeats
    for (int i = 1; i < argc; ++i) {
        for (const auto &entry : std::filesystem::directory_iterator(argv[i])) {
            inputs.insert(entry.path());
        }
    }
    LLVMFuzzerInitialize(&argc, &argv);
    for (const auto &path : inputs) {
        std::ifstream file(path, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::printf("replaying %s\n", path.filename().c_str());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs replayed without a finding\n", inputs.size());
    return inputs.empty() ? 2 : 0;
}
