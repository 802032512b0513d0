// Plugging the stand-in driver into the tool's request channel.
#include "tools/EmulatorSelect.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "emulator/Emulator.h"

namespace kzvol::cli {

bool SelectEmulator(Words* words, std::string* error) {
    std::string dir;
    if (!words->empty() && words->front().rfind("--emulator=", 0) == 0) {
        dir = words->front().substr(std::strlen("--emulator="));
        words->erase(words->begin());
    } else if (!words->empty() && words->front() == "--emulator") {
        if (words->size() < 2) {
            *error = "option --emulator needs a state directory";
            return false;
        }
        dir = (*words)[1];
        words->erase(words->begin(), words->begin() + 2);
    } else if (const char* env = std::getenv(kEmulatorVariable); env && *env) {
        dir = env;
    }
    if (dir.empty())
        return true;
    // Lives until the process ends: the channel may be used up to exit.
    static std::unique_ptr<emulator::Emulator> selected;
    selected = std::make_unique<emulator::Emulator>(dir);
    emulator::Plug(selected.get());
    return true;
}

}  // namespace kzvol::cli
