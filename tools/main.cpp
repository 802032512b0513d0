// kzvol: the command-line tool over libkzvol. Dispatches to one command per
// subcommand word; the library's log goes to KZVOL_LOG when set, else it is shown
// only with --verbose.
#include <unistd.h>

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

// Drops log lines unless the user asked for them.
class QuietLog : public EnvWrapper {
  public:
    QuietLog() : EnvWrapper(Env::Default()) {}
    void Log(LogKind, int, const std::string&, const std::string&) override {}
    bool DebugLevelShown(int) override { return false; }
};

void PrintHelp() {
    std::printf(
        "usage: kzvol [--verbose] [--emulator DIR] COMMAND [ARGS...]\n"
        "       kzvol --help | --version\n\ncommands:\n");
    for (const Command& c : AllCommands())
        std::printf("  %s\n      %s\n", c.usage, c.summary);
    std::printf(
        "\nThe library log goes to the file named by KZVOL_LOG, or to standard error\n"
        "with --verbose; KZVOL_LOG_LEVEL (0-4) shows more detail.\n"
        "--emulator DIR (or KZVOL_EMULATOR=DIR) sends filter driver requests to the\n"
        "stand-in driver kept in DIR (see kzvol emulator).\n");
}

}  // namespace

int Fail(const std::string& message) {
    std::fprintf(stderr, "kzvol: %s\n", message.c_str());
    return 1;
}

int Main(int argc, char** argv) {
    Words words(argv + 1, argv + argc);
    bool verbose = false;
    while (!words.empty() && words.front() == "--verbose") {
        verbose = true;
        words.erase(words.begin());
    }
    if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        PrintHelp();
        return words.empty() ? 1 : 0;
    }
    if (words[0] == "--version") {
        std::printf("kzvol %s\n", KZVOL_VERSION);
        return 0;
    }
    std::string error;
    if (!SelectEmulator(&words, &error))
        return Fail(error);
    if (words.empty())
        return Fail("no command (try kzvol --help)");
    static QuietLog quiet;
    const char* logPath = std::getenv("KZVOL_LOG");
    if (!verbose && !(logPath && *logPath))
        SetEnv(&quiet);
    for (const Command& c : AllCommands()) {
        if (words[0] == c.name)
            return c.run(Words(words.begin() + 1, words.end()));
    }
    return Fail("unknown command '" + words[0] + "' (try kzvol --help)");
}

}  // namespace kzvol::cli

int main(int argc, char** argv) {
    return kzvol::cli::Main(argc, argv);
}
