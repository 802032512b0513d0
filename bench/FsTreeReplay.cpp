// The file-index table writer on real rows: reads the rows of an existing table
// (one `kzvol index` wrote, so they come in the order a directory walker reports
// them) and adds them to a new table, several times over, reporting the CPU time
// (user + system) of the Adds and of Close, and the wall time with the syncs.
// The peer is the floor under any table: the same rows written in the same
// layout to a plain file with no index, no checksums and no sync; the ratio is
// table CPU time / peer CPU time. Medians of the rounds.
//   usage: bench_fstree_replay TABLE [ROUNDS]
//   (new files under $KZVOL_BENCH_DIR, default /var/tmp)
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fstree/FsTreeFormat.h"
#include "fstree/UnixFsTreeReader.h"
#include "host/CCreateUNIXFSTree.h"
#include "host/FullIO.h"
#include "host/Handles.h"

namespace {

using kzvol::fstree::Row;

double CpuSeconds() {
    struct rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Round {
    double addCpu = 0, closeCpu = 0, wall = 0;
};

bool WriteTable(const std::string& base, const std::vector<Row>& rows, Round* out) {
    long long handle = 0;
    CCreateUNIXFSTree table;
    if (table.Init(&handle) || table.Open(base.c_str()))
        return false;
    double wall = WallSeconds(), cpu = CpuSeconds();
    for (const Row& r : rows)
        if (table.Add(r.parent, r.inode, r.size, r.mtime, r.type, r.name.c_str()))
            return false;
    double added = CpuSeconds();
    if (table.Close())
        return false;
    out->addCpu = added - cpu;
    out->closeCpu = CpuSeconds() - added;
    out->wall = WallSeconds() - wall;
    return true;
}

// The peer: the rows' bytes through a 1 MiB buffer to a plain file.
bool WritePlain(const std::string& path, const std::vector<Row>& rows, double* cpu) {
    kzvol::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd)
        return false;
    double start = CpuSeconds();
    std::vector<unsigned char> buffer(1 << 20);
    size_t used = 0;
    for (const Row& r : rows) {
        if (used + kzvol::fstree::kRowFixedBytes + r.name.size() > buffer.size()) {
            if (!kzvol::WriteAll(fd.get(), buffer.data(), used))
                return false;
            used = 0;
        }
        unsigned char* p = buffer.data() + used;
        kzvol::fstree::Put64(p, r.parent);
        kzvol::fstree::Put64(p + 8, r.inode);
        kzvol::fstree::Put64(p + 16, r.size);
        kzvol::fstree::Put32(p + 24, r.mtime);
        p[28] = r.type;
        kzvol::fstree::Put16(p + 29, static_cast<uint16_t>(r.name.size()));
        std::copy(r.name.begin(), r.name.end(), p + kzvol::fstree::kRowFixedBytes);
        used += kzvol::fstree::kRowFixedBytes + r.name.size();
    }
    bool ok = kzvol::WriteAll(fd.get(), buffer.data(), used);
    *cpu = CpuSeconds() - start;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_fstree_replay TABLE [ROUNDS]\n");
        return 2;
    }
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::vector<Row> rows;
    kzvol::UnixFsTreeReader reader;
    std::string error;
    if (!reader.Open(argv[1], &error) ||
        !reader.ForEachRow([&](const Row& r) { return rows.push_back(r), true; }, &error)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
        return 1;
    }
    const char* dirEnv = std::getenv("KZVOL_BENCH_DIR");
    std::string dir = dirEnv && *dirEnv ? dirEnv : "/var/tmp";
    std::string base = dir + "/kzvol-fstree-replay", plain = base + ".plain";
    std::vector<double> add, close, wall, peer;
    for (int i = 0; i < rounds; ++i) {
        Round r;
        double peerCpu = 0;
        // Removed first: replacing a table would add the freeing of the old one.
        for (const std::string& p : {base + ".dat", base + ".idx", plain})
            ::unlink(p.c_str());
        if (!WriteTable(base, rows, &r) || !WritePlain(plain, rows, &peerCpu)) {
            std::perror("write");
            return 1;
        }
        add.push_back(r.addCpu);
        close.push_back(r.closeCpu);
        wall.push_back(r.wall);
        peer.push_back(peerCpu);
    }
    for (const std::string& p : {base + ".dat", base + ".idx", plain})
        ::unlink(p.c_str());
    double table = Median(add) + Median(close);
    std::printf(
        "%zu rows, median of %d rounds\ntable: add %.4f s cpu, close %.4f s cpu, %.4f s wall\n"
        "peer (plain rows, no index, no sync): %.4f s cpu\nratio table/peer cpu time: %.2f\n",
        rows.size(), rounds, Median(add), Median(close), Median(wall), Median(peer),
        table / Median(peer));
    return 0;
}
