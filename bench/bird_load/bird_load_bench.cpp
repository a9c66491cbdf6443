// Loading a BIRD file whose payload inflates to 8 MiB, against inflating the same
// zlib stream with zlib's one-shot uncompress into a buffer of the exact size. The
// loader's extra work is reading the file, growing its buffer when the stream
// inflates past eight times its size, and scanning the blocks; the printed ratio
// says what that costs. Two payloads: firmware that compresses moderately, and an
// image that is mostly erased flash (0xFF), which needs the buffer to grow.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>

#include "tools/birdtool/birdwriter.h"
#include "updater/BirdFile.h"

namespace {

constexpr size_t kPayload = size_t(8) << 20;

struct Fixture {
    std::string path;
    std::vector<uint8_t> stream;  // the zlib stream inside the file
    size_t inflated = 0;
};

// Code-like bytes: a skewed byte distribution with repeats, roughly 2-3:1 under zlib.
std::vector<uint8_t> codeLike(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        uint32_t r = rng();
        if ((r & 7) == 0 && i >= 64) v[i] = v[i - 1 - (r >> 26)];
        else v[i] = uint8_t((r >> 8) % ((r >> 20) % 4 == 0 ? 256 : 24));
    }
    return v;
}

Fixture makeFixture(const char* name, size_t codeBytes) {
    birdwriter::BirdSpec spec;
    spec.blocks.push_back(birdwriter::descriptorBlock(1234, "1.4.2", 0x0A1B2C3D, "HUB"));
    spec.blocks.push_back(birdwriter::loaderBlock(0x10000000, codeLike(64 * 1024, 1)));
    size_t fixed = birdwriter::make_payload(spec).size() + 5 + 4;
    std::vector<uint8_t> image = codeLike(codeBytes, 2);
    image.resize(kPayload - fixed, 0xFF);
    spec.blocks.push_back(birdwriter::firmwareBlock(0, image));
    std::vector<uint8_t> file = birdwriter::make_bird(spec);

    Fixture f;
    char dir[] = "/tmp/bird-bench-XXXXXX";
    f.path = std::string(mkdtemp(dir)) + "/" + name + ".bird";
    birdwriter::write_file(f.path, file);
    f.stream.assign(file.begin() + 6, file.end());
    f.inflated = birdwriter::make_payload(spec).size();
    return f;
}

std::map<std::string, Fixture>& fixtures() {
    static std::map<std::string, Fixture> all = [] {
        std::map<std::string, Fixture> m;
        m["mixed"] = makeFixture("mixed", kPayload / 2);
        m["erased"] = makeFixture("erased", 256 * 1024);
        return m;
    }();
    return all;
}

void BM_BirdFileLoad(benchmark::State& state, const char* which) {
    const Fixture& f = fixtures()[which];
    for (auto _ : state) {
        BirdFile bird(f.path);
        benchmark::DoNotOptimize(bird.GetPayload());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.inflated));
}

void BM_ZlibUncompress(benchmark::State& state, const char* which) {
    const Fixture& f = fixtures()[which];
    for (auto _ : state) {
        std::unique_ptr<uint8_t, decltype(&std::free)> out(static_cast<uint8_t*>(std::malloc(f.inflated)), &std::free);
        uLongf size = uLongf(f.inflated);
        if (uncompress(out.get(), &size, f.stream.data(), uLong(f.stream.size())) != Z_OK) state.SkipWithError("zlib");
        benchmark::DoNotOptimize(out.get());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.inflated));
}

BENCHMARK_CAPTURE(BM_BirdFileLoad, mixed, "mixed")->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK_CAPTURE(BM_ZlibUncompress, mixed, "mixed")->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK_CAPTURE(BM_BirdFileLoad, erased, "erased")->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK_CAPTURE(BM_ZlibUncompress, erased, "erased")->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Keeps each run's time so the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_None) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
                // Keyed by "function/payload", without the min_time suffix.
                std::string name = r.benchmark_name();
                name = name.substr(0, name.find("/min_time"));
                real[name] = r.GetAdjustedRealTime();
                cpu[name] = r.GetAdjustedCPUTime();
            }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> real, cpu;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (auto& [name, f] : fixtures())
        std::printf("%s: %zu-byte file inflating to %zu bytes (%.0f:1)\n", name.c_str(), f.stream.size() + 6,
                    f.inflated, double(f.inflated) / double(f.stream.size()));
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* which : {"mixed", "erased"}) {
        std::string load = std::string("BM_BirdFileLoad/") + which, zlib = std::string("BM_ZlibUncompress/") + which;
        if (!reporter.cpu.count(load) || !reporter.cpu.count(zlib) || reporter.cpu[zlib] <= 0) continue;
        // CPU time is the steadier measure on a shared machine; wall time is shown too.
        std::printf("ratio %s: BirdFile load / zlib uncompress = %.2f CPU, %.2f wall (target <= 1.30)\n", which,
                    reporter.cpu[load] / reporter.cpu[zlib], reporter.real[load] / reporter.real[zlib]);
    }
    for (auto& [name, f] : fixtures()) {
        std::remove(f.path.c_str());
        rmdir(f.path.substr(0, f.path.rfind('/')).c_str());
    }
    benchmark::Shutdown();
    return 0;
}
