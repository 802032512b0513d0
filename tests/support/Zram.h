// A zram block device for system tests that need an underlying volume of another
// major than loop devices (the stand-in driver's filter nodes are loop devices).
// Added through zram-control and always removed again at the end of the scope.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>

#include "tests/support/TestEnv.h"

namespace kzvol::testing {

struct Zram {
    static bool Available() { return ::access("/sys/class/zram-control/hot_add", F_OK) == 0; }

    explicit Zram(uint64_t bytes) {
        std::string added = ReadFile("/sys/class/zram-control/hot_add");
        if (added.empty())
            return;
        id = std::stoi(added);
        ok = RunCommandLine("echo " + std::to_string(bytes) + " > /sys/block/zram" +
                            std::to_string(id) + "/disksize") == 0;
    }
    ~Zram() {
        if (id >= 0)
            RunCommandLine("echo " + std::to_string(id) + " > /sys/class/zram-control/hot_remove");
    }
    Zram(const Zram&) = delete;
    Zram& operator=(const Zram&) = delete;

    std::string path() const { return "/dev/zram" + std::to_string(id); }
    int id = -1;
    bool ok = false;
};

}  // namespace kzvol::testing
