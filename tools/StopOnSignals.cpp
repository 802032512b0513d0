// The stop request set by SIGINT and SIGTERM.
#include "tools/StopOnSignals.h"

#include <csignal>

namespace kzvol::cli {
namespace {

volatile std::sig_atomic_t g_stopRequested = 0;
struct sigaction g_oldInt {
}, g_oldTerm{};

}  // namespace

StopOnSignals::StopOnSignals() {
    g_stopRequested = 0;
    struct sigaction sa {};
    sa.sa_handler = [](int) { g_stopRequested = 1; };
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &g_oldInt);
    ::sigaction(SIGTERM, &sa, &g_oldTerm);
}

StopOnSignals::~StopOnSignals() {
    ::sigaction(SIGINT, &g_oldInt, nullptr);
    ::sigaction(SIGTERM, &g_oldTerm, nullptr);
}

bool StopRequested() {
    return g_stopRequested != 0;
}

}  // namespace kzvol::cli
