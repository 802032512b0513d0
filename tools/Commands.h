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

// Prints "kzvol: <message>" on standard error and returns 1.
int Fail(const std::string& message);

int RunRead(const Words& args);
int RunExtents(const Words& args);

}  // namespace kzvol::cli
