// How the kzvol tool chooses the stand-in filter driver: the global option
// "--emulator DIR" or, failing that, the environment variable KZVOL_EMULATOR names
// the emulator's state directory. Without either, driver requests go to the kernel.
//
// With the stand-in selected, the one line the library aims at the driver's
// installation under /sbin (the boot-script regeneration) runs DIR/sbin/kzsnap
// and writes the script into DIR/sbin instead, so that the stand-in never touches
// the machine's /sbin; no command's text is rewritten.
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

// What the stand-in keeps in DIR/sbin: its kzsnap and the boot script.
constexpr char kStandInSbin[] = "sbin";
constexpr char kStandInProgram[] = "kzsnap";
constexpr char kStandInBootScript[] = "qnbf-bootscript1.rc";

// Removes DIR/sbin's boot script, its kzsnap when it is the stand-in's, and the
// folder when that leaves it empty.
void RemoveStandInSbin(const std::string& stateDir);

}  // namespace kzvol::cli
