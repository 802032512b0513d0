// Critical events: an event collects string arguments and is raised with a code.
#pragma once

#include <string>
#include <vector>

class EvEvent {
  public:
    EvEvent& operator<<(const std::string& arg);
    EvEvent& operator<<(const char* arg);
    EvEvent& operator<<(long long arg);

    // Delivers the event with the arguments collected so far.
    void CriticalEvent(int code, long long, int);
    const std::vector<std::string>& args() const { return args_; }

  private:
    std::vector<std::string> args_;
};
