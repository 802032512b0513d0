// System-test harness: a private mount namespace with tmpfs on /dev/qnbf, /snapmnt and
// /talmartmp (else every system test skips, saying why); loop, zram devices and mounts.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "host/Handles.h"

namespace kzvol::testing {

// Empty when the harness is ready; otherwise why system tests cannot run.
const std::string& SystemUnavailableReason();

class SystemTest : public ::testing::Test {  // skips when the harness is not ready
  protected:
    void SetUp() override;
};

void MakeSparseFile(const std::string& path, unsigned long long bytes);

// A loop device over a file, detached at the end of the scope.
class LoopDevice {
  public:
    explicit LoopDevice(const std::string& backingFile, bool readOnly = false);
    ~LoopDevice();
    bool ok() const { return minor_ >= 0; }
    const std::string& path() const { return path_; }  // /dev/loopN
    int minor() const { return minor_; }
    const std::string& error() const { return error_; }

  private:
    UniqueFd fd_;
    int minor_ = -1;
    std::string path_, error_;
};

// A zram block device (another major than loop) of `bytes`, removed at scope end.
class ZramDevice {
  public:
    explicit ZramDevice(unsigned long long bytes);
    ~ZramDevice();
    ZramDevice(const ZramDevice&) = delete;
    ZramDevice& operator=(const ZramDevice&) = delete;
    // Whether this kernel can add zram devices at all.
    static bool Available() { return ::access("/sys/class/zram-control/hot_add", F_OK) == 0; }
    bool ok() const { return ok_; }
    std::string path() const { return "/dev/zram" + std::to_string(id_); }

  private:
    int id_ = -1;
    bool ok_ = false;
};

// A mount made for the test, unmounted at the end of the scope.
class ScopedMount {
  public:
    ScopedMount(const std::string& source, const std::string& target, const std::string& type,
                unsigned long flags = 0, const std::string& data = "");
    ~ScopedMount();
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    void Release() { ok_ = false; }  // forget it (the test unmounted it itself)

  private:
    std::string target_, error_;
    bool ok_ = false;
};

// Makes `dir` writable for the test process only: an overlay with `dir` below.
bool OverlayDirectory(const std::string& dir, std::string* error);
// Overlays /etc and /sbin once per process, with the stand-in kzsnap as /sbin/kzsnap:
// empty when ready, else why not.
const std::string& PrivateMachineFiles();

}  // namespace kzvol::testing
