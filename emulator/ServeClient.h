// The driver side of the serving process (kzvol-filterd): starting it, asking it
// one thing, stopping it. Every call answers 0 or an errno value; a serving
// process that does not answer gives ECONNREFUSED or ENOENT.
#pragma once

#include <string>
#include <vector>

#include "emulator/ServeWire.h"

namespace kzvol::emulator {

// Sends `head` and `body` to the serving process of `stateDir`; on "ok" the reply's
// further words go to *words and its body to *body.
int CallServer(const std::string& stateDir, const std::string& head, const std::string& body,
               std::vector<std::string>* words, std::string* replyBody = nullptr);

// The running instance's token (it changes whenever the process is started anew).
int ServerInstance(const std::string& stateDir, std::string* instance);

// Starts the serving process unless one answers, and waits until it does. The
// program is KZVOL_FILTERD when set, else kzvol-filterd beside the running
// program, else the one this build made.
int StartServer(const std::string& stateDir, std::string* instance, std::string* error);

// Asks the serving process to end and waits for it. 0 when none runs.
int StopServer(const std::string& stateDir);

}  // namespace kzvol::emulator
