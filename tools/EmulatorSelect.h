// How the kzvol tool chooses the stand-in filter driver: the global option
// "--emulator DIR" or, failing that, the environment variable KZVOL_EMULATOR names
// the emulator's state directory. Without either, driver requests go to the kernel.
//
// With the stand-in selected, the commands the library aims at the driver's
// installation under /sbin (the boot-script regeneration) run against DIR/sbin
// instead, so that the stand-in never touches the machine's /sbin.
#pragma once

#include "tools/Commands.h"

namespace kzvol::cli {

constexpr char kEmulatorVariable[] = "KZVOL_EMULATOR";
constexpr char kDefaultEmulatorDir[] = "/run/kzvol-emulator";

// Removes a leading "--emulator DIR" from `words` and plugs the emulator it (or
// KZVOL_EMULATOR) names into the request channel. False with *error when the
// option lacks its value.
bool SelectEmulator(Words* words, std::string* error);

// The state directory SelectEmulator plugged in; empty when none.
const std::string& SelectedEmulatorDir();

// `command` with every word-initial "/sbin/" turned into `sbinDir` + "/" (quoted
// for the shell where it needs to be).
std::string RedirectSbin(const std::string& command, const std::string& sbinDir);

}  // namespace kzvol::cli
