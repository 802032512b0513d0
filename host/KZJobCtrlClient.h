// The job's control client: tells long operations when the job has been asked to
// stop. The flag may be raised from any thread (or a signal handler).
#pragma once

#include <atomic>

#include "host/Export.h"

class KZVOL_API KZJobCtrlClient {
  public:
    virtual ~KZJobCtrlClient() = default;
    virtual bool checkQuitFlag() { return quit_.load(std::memory_order_relaxed); }
    void requestQuit() { quit_.store(true, std::memory_order_relaxed); }

  private:
    std::atomic<bool> quit_{false};
};
