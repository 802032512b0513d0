// kzvol: the command-line tool over libkzvol. Dispatches to one command per
// subcommand word; "CMD --help" prints that command's usage. The library's log
// goes to KZVOL_LOG when set, else it is shown (Debug lines included) only with
// --verbose.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/Env.h"
#include "tools/Commands.h"
#include "tools/EmulatorSelect.h"
#include "tools/HelpText.h"

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
    // The library writes only Error lines unless a log level is asked for.
    if (verbose)
        ::setenv("KZVOL_LOG_LEVEL", "0", 0);
    if (words.empty()) {
        PrintHelp(stderr);
        return kExitUsage;
    }
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        PrintHelp(stdout);
        return kExitOk;
    }
    if (words[0] == "--manpage") {
        PrintManPage(stdout, KZVOL_VERSION);
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
