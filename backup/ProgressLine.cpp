// The progress line of backup, restore and verify.
#include "backup/ProgressLine.h"

#include <unistd.h>

#include <cstdio>

namespace kzvol::backup {

ProgressLine::ProgressLine(std::string label)
    : label_(std::move(label)),
      enabled_(::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()) {}

ProgressLine::~ProgressLine() {
    if (shown_)
        std::fprintf(stderr, "\r\033[K");
}

void ProgressLine::Show(uint64_t done, uint64_t total) {
    if (!enabled_)
        return;
    auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(200) && done < total)
        return;
    last_ = now;
    shown_ = true;
    double seconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\r%s: %llu of %llu MiB (%.0f%%), %.0f MiB/s ", label_.c_str(),
                 static_cast<unsigned long long>(done >> 20),
                 static_cast<unsigned long long>(total >> 20),
                 total ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0,
                 seconds > 0 ? static_cast<double>(done) / 1048576.0 / seconds : 0.0);
    std::fflush(stderr);
}

}  // namespace kzvol::backup
