// The current Env and the forwarding wrapper.
#include "host/Env.h"

#include <unistd.h>

#include <atomic>

namespace kzvol {

ChildProcess::~ChildProcess() = default;
Env::~Env() = default;

bool Env::SyncFile(int fd) {
    return ::fsync(fd) == 0;
}

namespace {
std::atomic<Env*> g_current{nullptr};
}

Env* CurrentEnv() {
    Env* env = g_current.load(std::memory_order_acquire);
    return env ? env : Env::Default();
}

Env* SetEnv(Env* env) {
    Env* previous = g_current.exchange(env, std::memory_order_acq_rel);
    return previous ? previous : Env::Default();
}

void EnvWrapper::Log(LogKind kind, int level, const std::string& context,
                     const std::string& message) {
    target_->Log(kind, level, context, message);
}
bool EnvWrapper::DebugLevelShown(int level) {
    return target_->DebugLevelShown(level);
}
void EnvWrapper::SleepMs(unsigned long ms, const char* file, int line) {
    target_->SleepMs(ms, file, line);
}
int64_t EnvWrapper::NowSeconds() {
    return target_->NowSeconds();
}
int EnvWrapper::RunCommand(const std::string& command, std::string* output, std::string* error) {
    return target_->RunCommand(command, output, error);
}
int EnvWrapper::RunShell(const std::string& command) {
    return target_->RunShell(command);
}
std::unique_ptr<ChildProcess> EnvWrapper::StartProcess(const std::string& path,
                                                       const std::string& arguments,
                                                       std::string* error) {
    return target_->StartProcess(path, arguments, error);
}
void EnvWrapper::RaiseCriticalEvent(int code, const std::vector<std::string>& args) {
    target_->RaiseCriticalEvent(code, args);
}
bool EnvWrapper::ReadMountTable(std::vector<MountTableEntry>* entries) {
    return target_->ReadMountTable(entries);
}

bool EnvWrapper::SyncFile(int fd) {
    return target_->SyncFile(fd);
}

}  // namespace kzvol
