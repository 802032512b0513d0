// The stop request set by SIGINT and SIGTERM.
#include "tools/StopOnSignals.h"

#include <csignal>

namespace kzvol::cli {
namespace {

std::atomic<bool> g_stopRequested{false};  // lock-free, so a handler may set it
struct sigaction g_oldInt {
}, g_oldTerm{};

}  // namespace

StopOnSignals::StopOnSignals() {
    g_stopRequested = false;
    struct sigaction sa {};
    sa.sa_handler = [](int) { g_stopRequested = true; };
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &g_oldInt);
    ::sigaction(SIGTERM, &sa, &g_oldTerm);
}

StopOnSignals::~StopOnSignals() {
    ::sigaction(SIGINT, &g_oldInt, nullptr);
    ::sigaction(SIGTERM, &g_oldTerm, nullptr);
}

bool StopRequested() {
    return g_stopRequested;
}

const std::atomic<bool>* StopFlag() {
    return &g_stopRequested;
}

}  // namespace kzvol::cli
