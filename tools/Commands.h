// The commands of the kzvol tool. Each takes the words after its name and returns
// the process exit status; failures print one line on standard error.
#pragma once

#include <string>
#include <vector>

namespace kzvol::cli {

using Words = std::vector<std::string>;

struct Command {
    const char* name;
    const char* usage;
    const char* summary;
    int (*run)(const Words& args);
};

// Every command, in the order --help lists them.
const std::vector<Command>& AllCommands();

// Exit statuses of every command: success, a failed job, a usage error.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Prints "kzvol: <message>" on standard error and returns kExitFailed.
int Fail(const std::string& message);

// Prints "kzvol CMD: <message> (see kzvol CMD --help)" on standard error, CMD being
// the command that runs, and returns kExitUsage.
int Usage(const std::string& message);

int RunRead(const Words& args);
int RunMountpoint(const Words& args);
int RunDevice(const Words& args);
int RunExclusive(const Words& args);
int RunHandler(const Words& args);
int RunDevices(const Words& args);
int RunProbe(const Words& args);
int RunEmulator(const Words& args);
int RunRows(const Words& args);
int RunLs(const Words& args);
int RunFind(const Words& args);
int RunIndex(const Words& args);
int RunExtents(const Words& args);
int RunMetadata(const Words& args);
int RunAclDump(const Words& args);
int RunVolinfoFile(const Words& args);
int RunBackup(const Words& args);
int RunBackups(const Words& args);
int RunRestore(const Words& args);
int RunVerify(const Words& args);
int RunVolinfo(const Words& args);
int RunBitmap(const Words& args);
int RunSnap(const Words& args);
int RunFilter(const Words& args);
int RunContentSnap(const Words& args);
int RunMount(const Words& args);
int RunUmount(const Words& args);

}  // namespace kzvol::cli

namespace kzvol::backup {
class Repository;
}

namespace kzvol::cli {

// kzvol restore --path: the file, link or tree at `path` of backup `id` to `to`.
int RestorePath(const backup::Repository& repo, const std::string& id, const std::string& path,
                const std::string& to);

}  // namespace kzvol::cli
