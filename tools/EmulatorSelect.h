// How the kzvol tool chooses the stand-in filter driver: the global option
// "--emulator DIR" or, failing that, the environment variable KZVOL_EMULATOR names
// the emulator's state directory. Without either, driver requests go to the kernel.
#pragma once

#include "tools/Commands.h"

namespace kzvol::cli {

constexpr char kEmulatorVariable[] = "KZVOL_EMULATOR";
constexpr char kDefaultEmulatorDir[] = "/run/kzvol-emulator";

// Removes a leading "--emulator DIR" from `words` and plugs the emulator it (or
// KZVOL_EMULATOR) names into the request channel. False with *error when the
// option lacks its value.
bool SelectEmulator(Words* words, std::string* error);

}  // namespace kzvol::cli
