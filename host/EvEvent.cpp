// Critical events through the current Env.
#include "host/EvEvent.h"

#include "host/Env.h"

EvEvent& EvEvent::operator<<(const std::string& arg) {
    args_.push_back(arg);
    return *this;
}
EvEvent& EvEvent::operator<<(const char* arg) {
    return *this << std::string(arg ? arg : "");
}
EvEvent& EvEvent::operator<<(long long arg) {
    return *this << std::to_string(arg);
}

void EvEvent::CriticalEvent(int code, long long, int) {
    kzvol::CurrentEnv()->RaiseCriticalEvent(code, args_);
}
