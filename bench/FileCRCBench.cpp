// How fast getFileCRC reads a file that is already in the page cache: the
// folder scan and the conflict checks call it for every file they compare, so
// it should run at memory speed (well above 1 GB/s) rather than at disk speed.

#include "NuvaroUtil.h"

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/UUIDGenerator.h>

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

namespace {

// A file of `size` bytes of varying content, removed when the benchmark ends.
struct ScratchFile {
    explicit ScratchFile(std::size_t size)
        : path(Poco::Path::temp() + "filecrc-bench-" +
               Poco::UUIDGenerator::defaultGenerator().createRandom().toString()) {
        std::string chunk(1 << 20, '\0');
        for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + (i >> 9));
        std::ofstream out(path, std::ios::binary);
        for (std::size_t written = 0; written < size; written += chunk.size()) out.write(chunk.data(), chunk.size());
    }
    ~ScratchFile() { Poco::File(path).remove(); }
    std::string path;
};

void BM_getFileCRC(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0)) << 20;
    ScratchFile file(size);
    std::string crc;
    for (auto _ : state) {
        if (!Nuvaro::Util::getFileCRC(file.path, crc, -1, -1)) state.SkipWithError("checksum failed");
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

BENCHMARK(BM_getFileCRC)->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond);

} // namespace
