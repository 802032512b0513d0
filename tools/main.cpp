// kzvol: the command-line tool over libkzvol. Dispatches to one command per
// subcommand word; "CMD --help" prints that command's usage. The library's log
// goes to KZVOL_LOG when set, else it is shown only with --verbose.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/Env.h"
#include "tools/Commands.h"
#include "tools/EmulatorSelect.h"

#ifndef KZVOL_VERSION
#define KZVOL_VERSION "unknown"
#endif

namespace kzvol::cli {
namespace {

const Command* g_running = nullptr;

// Drops log lines unless the user asked for them.
class QuietLog : public EnvWrapper {
  public:
    QuietLog() : EnvWrapper(CurrentEnv()) {}
    void Log(LogKind, int, const std::string&, const std::string&) override {}
    bool DebugLevelShown(int) override { return false; }
};

void PrintHelp(FILE* to) {
    std::fprintf(to,
                 "usage: kzvol [--verbose] [--emulator DIR] COMMAND [ARGS...]\n"
                 "       kzvol COMMAND --help\n"
                 "       kzvol --help | --version\n\ncommands:\n");
    for (const Command& c : AllCommands())
        std::fprintf(to, "  %s\n      %s\n", c.usage, c.summary);
    std::fprintf(to,
                 "\nExit status: 0 success, 1 the work failed (one line on standard error\n"
                 "says why), 2 a wrong or missing argument; `kzvol emulator status` exits 3\n"
                 "when no stand-in driver is running; `kzvol exclusive` exits with COMMAND's\n"
                 "status.\n"
                 "\nThe library log goes to the file named by KZVOL_LOG, or to standard error\n"
                 "with --verbose; KZVOL_LOG_LEVEL (0-4) shows more detail.\n"
                 "--emulator DIR (or KZVOL_EMULATOR=DIR) sends filter driver requests to the\n"
                 "stand-in driver kept in DIR (see kzvol emulator).\n");
}

// True when the words before a "--" ask for help.
bool WantsHelp(const Words& args) {
    auto end = std::find(args.begin(), args.end(), "--");
    return std::any_of(args.begin(), end,
                       [](const std::string& w) { return w == "--help" || w == "-h"; });
}

int RunCommand(const Command& c, const Words& args) {
    if (WantsHelp(args)) {
        std::printf("usage: kzvol %s\n\n%s\n", c.usage, c.summary);
        return kExitOk;
    }
    g_running = &c;
    return c.run(args);
}

}  // namespace

int Fail(const std::string& message) {
    std::fprintf(stderr, "kzvol: %s\n", message.c_str());
    return kExitFailed;
}

int Usage(const std::string& message) {
    const char* name = g_running ? g_running->name : "";
    std::fprintf(stderr, "kzvol %s: %s (see kzvol %s --help)\n", name, message.c_str(), name);
    return kExitUsage;
}

int Main(int argc, char** argv) {
    Words words(argv + 1, argv + argc);
    bool verbose = false;
    while (!words.empty() && words.front() == "--verbose") {
        verbose = true;
        words.erase(words.begin());
    }
    if (words.empty()) {
        PrintHelp(stderr);
        return kExitUsage;
    }
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        PrintHelp(stdout);
        return kExitOk;
    }
    if (words[0] == "--version") {
        std::printf("kzvol %s\n", KZVOL_VERSION);
        return kExitOk;
    }
    std::string error;
    if (!SelectEmulator(&words, &error)) {
        std::fprintf(stderr, "kzvol: %s\n", error.c_str());
        return kExitUsage;
    }
    if (words.empty()) {
        std::fprintf(stderr, "kzvol: no command (see kzvol --help)\n");
        return kExitUsage;
    }
    static QuietLog quiet;
    const char* logPath = std::getenv("KZVOL_LOG");
    if (!verbose && !(logPath && *logPath))
        SetEnv(&quiet);
    for (const Command& c : AllCommands()) {
        if (words[0] == c.name)
            return RunCommand(c, Words(words.begin() + 1, words.end()));
    }
    std::fprintf(stderr, "kzvol: unknown command '%s' (see kzvol --help)\n", words[0].c_str());
    return kExitUsage;
}

}  // namespace kzvol::cli

int main(int argc, char** argv) {
    return kzvol::cli::Main(argc, argv);
}
