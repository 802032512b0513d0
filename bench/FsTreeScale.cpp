// The file-index table at scale: writes N rows (default 10 million) of a complete
// 64-ary directory tree, and reports the time of Add and Close, the writer's peak
// memory, the file sizes, a full read in table order and random path lookups.
// The peer is a plain tab-separated text dump of the same rows with stdio,
// written in the same run; the ratio is table time / text time.
// Rows are added level by level (breadth), or in the order a depth-first walk
// reports them (depth): each entry, then everything below it.
//   usage: bench_fstree [ROWS [breadth|depth]]
//   (files under $KZVOL_BENCH_DIR, default /var/tmp)
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fstree/UnixFsTreeReader.h"
#include "host/CCreateUNIXFSTree.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kFanout = 64;

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Row i: parent row (i - 1) / kFanout, inode i + 2, a directory when it has children.
uint64_t ParentOf(uint64_t i) {
    return i == 0 ? 0 : (i - 1) / kFanout + 2;
}
bool IsDir(uint64_t i, uint64_t rows) {
    return i * kFanout + 1 < rows;
}
std::string NameOf(uint64_t i) {
    return i == 0 ? "/" : "entry-" + std::to_string(i);
}

std::string PathOf(uint64_t i) {
    std::string path;
    for (; i != 0; i = (i - 1) / kFanout)
        path = "/" + NameOf(i) + path;
    return path.empty() ? "/" : path;
}

// Runs `work` in a child; returns its wall time and peak resident memory (KiB).
bool InChild(const std::function<bool()>& work, double* seconds, long* maxRssKb) {
    std::fflush(stdout);
    auto start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        bool ok = work();
        std::fflush(stdout);
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid)
        return false;
    *seconds = Since(start);
    *maxRssKb = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The rows' numbers in the order they are added.
std::vector<uint64_t> AddOrder(uint64_t rows, bool depthFirst) {
    std::vector<uint64_t> order;
    order.reserve(rows);
    if (!depthFirst) {
        for (uint64_t i = 0; i < rows; ++i)
            order.push_back(i);
        return order;
    }
    std::vector<uint64_t> stack = {0};
    while (!stack.empty()) {
        uint64_t i = stack.back();
        stack.pop_back();
        order.push_back(i);
        for (uint64_t c = std::min(rows, (i + 1) * kFanout + 1); c-- > i * kFanout + 1;)
            stack.push_back(c);
    }
    return order;
}

bool WriteTable(const std::string& base, const std::vector<uint64_t>& order) {
    const uint64_t rows = order.size();
    long long handle = 0;
    CCreateUNIXFSTree table;
    if (table.Init(&handle) || table.Open(base.c_str()))
        return false;
    auto start = Clock::now();
    for (uint64_t i : order)
        if (table.Add(ParentOf(i), i + 2, i * 7, 1700000000u, IsDir(i, rows) ? 1 : 0,
                      NameOf(i).c_str()))
            return false;
    double adds = Since(start);
    start = Clock::now();
    int rc = table.Close();
    std::printf("  add %.2f s, close (index sort and merge) %.2f s\n", adds, Since(start));
    return rc == 0;
}

bool WriteText(const std::string& path, uint64_t rows) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    for (uint64_t i = 0; i < rows; ++i)
        std::fprintf(f, "%llu\t%llu\t%llu\t%u\t%d\t%s\n",
                     static_cast<unsigned long long>(ParentOf(i)),
                     static_cast<unsigned long long>(i + 2), static_cast<unsigned long long>(i * 7),
                     1700000000u, IsDir(i, rows) ? 1 : 0, NameOf(i).c_str());
    return std::fflush(f) == 0 && ::fdatasync(fileno(f)) == 0 && std::fclose(f) == 0;
}

long long SizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

bool ReadBack(const std::string& base, uint64_t rows) {
    kzvol::UnixFsTreeReader reader;
    std::string error;
    if (!reader.Open(base, &error))
        return std::fprintf(stderr, "%s\n", error.c_str()), false;
    auto start = Clock::now();
    uint64_t seen = 0;
    if (!reader.ForEachRow([&](const kzvol::FsTreeRow&) { return ++seen, true; }, &error) ||
        seen != rows)
        return std::fprintf(stderr, "read: %s\n", error.c_str()), false;
    double all = Since(start);
    std::printf("  read in table order: %.2f s (%.1f M rows/s)\n", all, rows / all / 1e6);
    std::mt19937_64 rng(1);
    constexpr int kLookups = 20000;
    start = Clock::now();
    for (int k = 0; k < kLookups; ++k) {
        uint64_t i = rng() % rows;
        kzvol::FsTreeRow row;
        bool found = false;
        if (!reader.Resolve(PathOf(i), &row, &found, &error) || !found || row.inode != i + 2)
            return std::fprintf(stderr, "lookup of row %llu failed: %s\n",
                                static_cast<unsigned long long>(i), error.c_str()),
                   false;
    }
    std::string deepest = PathOf(rows - 1);
    std::printf("  path lookups: %.1f us each (random paths of up to %ld names)\n",
                Since(start) / kLookups * 1e6,
                static_cast<long>(std::count(deepest.begin(), deepest.end(), '/')));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
    bool depthFirst = argc > 2 && std::string(argv[2]) == "depth";
    const std::vector<uint64_t> order = AddOrder(rows, depthFirst);
    const char* dirEnv = std::getenv("KZVOL_BENCH_DIR");
    std::string dir = dirEnv && *dirEnv ? dirEnv : "/var/tmp";
    std::string base = dir + "/kzvol-fstree-bench", text = dir + "/kzvol-fstree-bench.tsv";
    std::printf("%llu rows, %s\n", static_cast<unsigned long long>(rows),
                depthFirst ? "depth-first" : "breadth-first");
    double tableSec = 0, textSec = 0;
    long tableKb = 0, textKb = 0;
    std::printf("table:\n");
    if (!InChild([&] { return WriteTable(base, order); }, &tableSec, &tableKb))
        return 1;
    std::printf("  total %.2f s, peak memory %ld MiB, .dat %lld MiB, .idx %lld MiB\n", tableSec,
                tableKb / 1024, SizeOf(base + ".dat") >> 20, SizeOf(base + ".idx") >> 20);
    if (!InChild([&] { return WriteText(text, rows); }, &textSec, &textKb))
        return 1;
    std::printf("peer (text dump): %.2f s, peak memory %ld MiB, %lld MiB\n", textSec, textKb / 1024,
                SizeOf(text) >> 20);
    std::printf("ratio table/text write time: %.2f\n", tableSec / textSec);
    bool ok = ReadBack(base, rows);
    ::unlink((base + ".dat").c_str());
    ::unlink((base + ".idx").c_str());
    ::unlink(text.c_str());
    return ok ? 0 : 1;
}
