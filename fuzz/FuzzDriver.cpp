// Stand-alone driver for the fuzz targets: random inputs plus mutations of
// the inputs seen so far, for a bounded time and a fixed seed.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Optional seeds a target may offer (weak: targets without seeds start from random bytes).
extern "C" __attribute__((weak)) void VmFuzzSeeds(std::vector<std::vector<std::uint8_t>>& seeds);

int main(int argc, char** argv) {
    double seconds = 10;
    unsigned seed = 12345;
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--seed")) seed = unsigned(std::strtoul(argv[++i], nullptr, 10));
    }
    std::vector<std::vector<std::uint8_t>> pool;
    if (VmFuzzSeeds) VmFuzzSeeds(pool);
    for (auto& s : pool) LLVMFuzzerTestOneInput(s.data(), s.size());
    std::mt19937 rng(seed);
    auto start = std::chrono::steady_clock::now();
    unsigned long runs = 0;
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds) {
        std::vector<std::uint8_t> input;
        if (!pool.empty() && rng() % 4 != 0) {
            input = pool[rng() % pool.size()];
            unsigned edits = 1 + rng() % 8;
            for (unsigned e = 0; e < edits; ++e) {
                switch (rng() % 5) {
                case 0: if (!input.empty()) input[rng() % input.size()] = std::uint8_t(rng()); break;
                case 1: if (!input.empty()) input[rng() % input.size()] ^= std::uint8_t(1u << (rng() % 8)); break;
                case 2: input.push_back(std::uint8_t(rng())); break;
                case 3: if (!input.empty()) input.resize(rng() % input.size()); break;
                default: {
                    // Interesting values at random positions.
                    static const std::uint32_t vals[] = {0, 0xFF, 0xFFFF, 0xFFFFFFFF, 0x7FFFFFFF, 0x80000000, 0x10000, 0x100000};
                    if (input.size() >= 4) {
                        std::uint32_t v = vals[rng() % 8];
                        std::memcpy(&input[rng() % (input.size() - 3)], &v, 4);
                    }
                }
                }
            }
        } else {
            input.resize(rng() % 4096);
            for (auto& b : input) b = std::uint8_t(rng());
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
        if (pool.size() < 256 && rng() % 16 == 0) pool.push_back(input);
        ++runs;
    }
    std::printf("%lu runs\n", runs);
    return 0;
}
