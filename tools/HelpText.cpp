// The usage text of the kzvol tool: the command table plus the options, exit
// statuses and environment variables below, printed as plain text or as roff.
#include "tools/HelpText.h"

#include <string>
#include <vector>

#include "tools/Commands.h"

namespace kzvol::cli {
namespace {

struct Item {
    const char* term;
    const char* text;
};

const char kSynopsis[] =
    "kzvol [--verbose] [--emulator DIR] COMMAND [ARGS...]\n"
    "kzvol COMMAND --help\n"
    "kzvol --help | --version | --manpage\n";

const char kAbout[] =
    "Raw access to the volumes a block-level backup agent protects: sectors, exclusive use, "
    "the qnbf filter driver, the file index of ext2/ext3 file systems read straight from the "
    "device, and per-extent checksums.";

const std::vector<Item> kOptions = {
    {"--verbose", "show the library log, Debug lines included, on standard error"},
    {"--emulator DIR",
     "send filter driver requests to the stand-in driver kept in DIR (see kzvol emulator)"},
    {"-h, --help", "print this text, or with a COMMAND that command's usage"},
    {"--version", "print the version"},
    {"--manpage", "print the manual page (roff)"},
};

const std::vector<Item> kExitStatus = {
    {"0", "success"},
    {"1", "the work failed; one line on standard error says why and what to do"},
    {"2", "a wrong or missing argument, an unknown command, or no command"},
    {"3", "kzvol emulator status: no stand-in driver runs in the state directory"},
};
const char kExitNote[] = "kzvol exclusive exits with COMMAND's status.";

const std::vector<Item> kEnvironment = {
    {"KZVOL_LOG", "file the library log is appended to"},
    {"KZVOL_LOG_LEVEL", "0 to 4: how many detail levels the log shows"},
    {"KZVOL_EMULATOR", "the same as --emulator"},
    {"KZVOL_CONFIG", "the configuration file (default /etc/kzvol/registry.ini)"},
};

// Folds `text` into lines of at most `width` characters, each after `indent`.
void PrintWrapped(FILE* to, const std::string& text, const char* indent, size_t width) {
    std::string line;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        std::string word = text.substr(start, end - start);
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            std::fprintf(to, "%s%s\n", indent, line.c_str());
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    if (!line.empty())
        std::fprintf(to, "%s%s\n", indent, line.c_str());
}

void PrintItems(FILE* to, const char* heading, const std::vector<Item>& items) {
    std::fprintf(to, "\n%s:\n", heading);
    for (const Item& i : items) {
        if (std::string(i.term).size() < 4) {  // a status: term and text on one line
            std::fprintf(to, "  %-4s%s\n", i.term, i.text);
            continue;
        }
        std::fprintf(to, "  %s\n", i.term);
        PrintWrapped(to, i.text, "      ", 72);
    }
}

// Text as roff: backslashes and hyphens escaped, no line starting with a control
// character.
std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else if (c == '\n')
            out += "\n\\&";
        else
            out += c;
    }
    return (out.empty() || out[0] == '.' || out[0] == '\'') ? "\\&" + out : out;
}

void RoffItems(FILE* to, const char* heading, const std::vector<Item>& items) {
    std::fprintf(to, ".SH %s\n", heading);
    for (const Item& i : items)
        std::fprintf(to, ".TP\n.B %s\n%s\n", Roff(i.term).c_str(), Roff(i.text).c_str());
}

}  // namespace

void PrintHelp(FILE* to) {
    std::string synopsis = kSynopsis;
    std::fprintf(to, "usage: %s", synopsis.substr(0, synopsis.find('\n') + 1).c_str());
    for (size_t at = synopsis.find('\n') + 1; at < synopsis.size();) {
        size_t end = synopsis.find('\n', at);
        std::fprintf(to, "       %s\n", synopsis.substr(at, end - at).c_str());
        at = end + 1;
    }
    std::fprintf(to, "\n");
    PrintWrapped(to, kAbout, "", 78);
    std::fprintf(to, "\nCommands:\n");
    for (const Command& c : AllCommands()) {
        std::fprintf(to, "  %s\n", c.usage);
        PrintWrapped(to, c.summary, "      ", 72);
    }
    PrintItems(to, "Options", kOptions);
    PrintItems(to, "Exit status", kExitStatus);
    std::fprintf(to, "  %s\n", kExitNote);
    PrintItems(to, "Environment", kEnvironment);
}

void PrintManPage(FILE* to, const char* version) {
    std::fprintf(to, ".TH KZVOL 1 \"\" \"kzvol %s\" \"User Commands\"\n", version);
    std::fprintf(to, ".SH NAME\nkzvol \\- raw volume access for a block-level backup agent\n");
    const std::string synopsis = kSynopsis;
    std::fprintf(to, ".SH SYNOPSIS\n.nf\n%s\n.fi\n",
                 Roff(synopsis.substr(0, synopsis.size() - 1)).c_str());
    std::fprintf(to, ".SH DESCRIPTION\n%s\n", Roff(kAbout).c_str());
    std::fprintf(to, ".SH COMMANDS\n");
    for (const Command& c : AllCommands())
        std::fprintf(to, ".TP\n.B kzvol %s\n%s\n", Roff(c.usage).c_str(), Roff(c.summary).c_str());
    RoffItems(to, "OPTIONS", kOptions);
    RoffItems(to, "EXIT STATUS", kExitStatus);
    std::fprintf(to, ".PP\n%s\n", Roff(kExitNote).c_str());
    RoffItems(to, "ENVIRONMENT", kEnvironment);
    std::fprintf(to, ".SH SEE ALSO\nmount(8), e2fsck(8), debugfs(8)\n");
}

}  // namespace kzvol::cli
