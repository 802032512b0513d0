// Quoting of arguments placed in shell command lines. Arguments made only of
// A-Za-z0-9_./:=,+@%- pass unchanged, so ordinary paths give the usual command
// text; any other argument is put in single quotes, a quote inside as '\''.
#pragma once

#include <string>

namespace kzvol {
std::string ShellQuote(const std::string& arg);
}  // namespace kzvol
