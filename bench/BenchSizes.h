#pragma once

// Helpers shared by the benchmarks that run one size at a time: timing,
// peak memory, and running each size in a child process of its own (so that
// its peak memory is its own) over a fresh temp folder.

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/UUIDGenerator.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace BenchSizes {

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The shortest of `runs` timings of body(), in seconds.
template <typename Body>
double bestOf(int runs, Body body) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        body();
        best = std::min(best, secondsSince(start));
    }
    return best;
}

// The process's peak resident memory so far, in KB.
inline long peakRssKB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The sizes given on the command line, else 10,000 and 100,000.
inline std::vector<int> sizesFromArguments(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {10000, 100000};
    return sizes;
}

// For each size: makes a fresh folder "<temp><prefix><uuid>", runs
// body(folder, size) in a child process, then removes the folder. Returns 1
// as soon as a child fails, else 0. With BENCH_IN_PROCESS set in the
// environment, the first size runs in this process instead (and ends it), so
// that a heap profiler started on the program sees the body's allocations.
template <typename Body>
int runEachSizeInChild(const std::vector<int>& sizes, const std::string& prefix, Body body) {
    for (int size : sizes) {
        std::string folder =
            Poco::Path::temp() + prefix + Poco::UUIDGenerator::defaultGenerator().createRandom().toString();
        Poco::File(folder).createDirectories();
        std::fflush(stdout);
        pid_t child = std::getenv("BENCH_IN_PROCESS") ? 0 : fork();
        if (child == 0) {
            body(folder, size);
            std::_Exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        Poco::File(folder).remove(true);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return 1;
    }
    return 0;
}

} // namespace BenchSizes
