// The kzvol tool's usage text, written once and printed two ways: as the plain
// text of `kzvol --help` and as the manual page (`kzvol --manpage`, roff), both
// from the command table.
#pragma once

#include <cstdio>

namespace kzvol::cli {

void PrintHelp(FILE* to);
// The manual page kzvol(1) for version `version`.
void PrintManPage(FILE* to, const char* version);

}  // namespace kzvol::cli
