// Stand-alone driver for the fuzz targets where no libFuzzer is at hand: it
// replays the seed files, then feeds random inputs and mutations of the
// inputs seen so far, for a bounded time and a fixed seed. It takes the part
// of libFuzzer's command line the test suite uses, so both run the same way:
//   NAME [-max_total_time=S] [-runs=N] [-seed=N] [-flag=value ...] DIR|FILE ...
// Other -flag=value options are libFuzzer's and ignored here.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Input = std::vector<std::uint8_t>;

Input ReadInput(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Input(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The regular files of each directory (in name order) and each file named.
std::vector<Input> ReadSeeds(const std::vector<const char*>& places) {
    namespace fs = std::filesystem;
    std::vector<Input> seeds;
    for (const char* place : places) {
        std::error_code ec;
        if (fs::is_regular_file(place, ec)) {
            seeds.push_back(ReadInput(place));
            continue;
        }
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(place, ec))
            if (entry.is_regular_file()) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const auto& f : files) seeds.push_back(ReadInput(f));
    }
    return seeds;
}

const char* FlagValue(const char* arg, const char* name) {
    const std::size_t n = std::strlen(name);
    return std::strncmp(arg, name, n) == 0 && arg[n] == '=' ? arg + n + 1 : nullptr;
}

void Mutate(Input& input, std::mt19937& rng) {
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
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    unsigned long maxRuns = ~0ul;
    unsigned seed = 12345;
    std::vector<const char*> places;
    for (int i = 1; i < argc; ++i) {
        const char* v;
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
        else if ((v = FlagValue(argv[i], "-max_total_time"))) seconds = std::atof(v);
        else if ((v = FlagValue(argv[i], "-runs"))) maxRuns = std::strtoul(v, nullptr, 10);
        else if ((v = FlagValue(argv[i], "-seed"))) seed = unsigned(std::strtoul(v, nullptr, 10));
        else if (argv[i][0] != '-') places.push_back(argv[i]);
    }
    std::vector<Input> pool = ReadSeeds(places);
    for (auto& s : pool) LLVMFuzzerTestOneInput(s.data(), s.size());
    std::printf("%zu seed inputs replayed\n", pool.size());

    std::mt19937 rng(seed);
    auto start = std::chrono::steady_clock::now();
    unsigned long runs = 0;
    while (runs < maxRuns &&
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds) {
        Input input;
        if (!pool.empty() && rng() % 4 != 0) {
            input = pool[rng() % pool.size()];
            Mutate(input, rng);
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
