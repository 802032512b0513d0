// Running the kzvol tool as a user would, and splitting the text it prints.
#pragma once

#include <sstream>

#include "tests/support/TestEnv.h"

namespace kzvol::testing {

inline std::string Cli() {
    return KZVOL_CLI;
}

// Runs kzvol with `args`: the exit status, with both output streams in *out.
inline int Kzvol(const std::string& args, std::string* out) {
    out->clear();
    return RunCommandLine(Cli() + " " + args + " 2>&1", out);
}

// The pieces of `text` between the `separator`s (lines by default).
inline std::vector<std::string> Split(const std::string& text, char separator = '\n') {
    std::vector<std::string> pieces;
    std::istringstream in(text);
    for (std::string piece; std::getline(in, piece, separator);)
        pieces.push_back(piece);
    return pieces;
}

}  // namespace kzvol::testing
