// A progress line on standard error, redrawn in place at most five times a second,
// shown only when standard error is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kzvol::backup {

class ProgressLine {
  public:
    explicit ProgressLine(std::string label);
    ~ProgressLine();  // clears the line
    void Show(uint64_t done, uint64_t total);

  private:
    std::string label_;
    bool enabled_, shown_ = false;
    std::chrono::steady_clock::time_point start_, last_{};
};

}  // namespace kzvol::backup
