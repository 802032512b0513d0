// SIGINT and SIGTERM turned into a stop request that long commands poll, so that
// they end cleanly (and release what they hold) instead of dying mid-write.
#pragma once

#include <atomic>

#include "host/KZJobCtrlClient.h"

namespace kzvol::cli {

// While one exists, SIGINT and SIGTERM set the stop request instead of ending the
// process; the previous handlers come back when it goes.
class StopOnSignals {
  public:
    StopOnSignals();
    ~StopOnSignals();
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;
};

// Whether a signal asked to stop since the last StopOnSignals was made; the flag
// itself, for work that polls it.
bool StopRequested();
const std::atomic<bool>* StopFlag();

// A job control client that answers the stop request.
class SignalJobCtrl : public KZJobCtrlClient {
  public:
    bool checkQuitFlag() override { return StopRequested(); }
};

}  // namespace kzvol::cli
