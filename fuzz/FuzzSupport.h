// Helpers shared by the fuzz targets: an environment that drops the log (parsers
// log every refusal, and a fuzzer makes many), and a private scratch directory for
// the targets whose parsers read files by path.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/Env.h"

namespace kzvol::fuzz {

class QuietEnv : public EnvWrapper {
  public:
    QuietEnv() : EnvWrapper(Env::Default()) {}
    void Log(LogKind, int, const std::string&, const std::string&) override {}
};

// Installs the quiet environment once; call at the top of every input.
inline void Quiet() {
    static QuietEnv quiet;
    SetEnv(&quiet);
}

// A directory of its own, made on first use and removed at exit, for this process's
// files: in /dev/shm when there is one, so that the parsers' fsync calls cost no
// disk writes.
inline const std::string& ScratchDir(const char* target) {
    static const std::string dir = [target] {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/kzvol-" + target + "-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            std::abort();
        return pattern;
    }();
    static const bool removedAtExit = [] {
        return std::atexit([] {
                   std::error_code ignored;
                   std::filesystem::remove_all(dir, ignored);
               }) == 0;
    }();
    (void)removedAtExit;
    return dir;
}

inline void Store(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace kzvol::fuzz
