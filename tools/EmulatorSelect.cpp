// Plugging the stand-in driver into the tool's request channel, and keeping the
// library's commands for the driver's installation inside its state directory.
#include "tools/EmulatorSelect.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "emulator/Emulator.h"
#include "host/AtomicFile.h"
#include "host/Env.h"
#include "host/ShellQuote.h"

namespace kzvol::cli {
namespace {

constexpr char kSbin[] = "/sbin/";

// The stand-in's snapshot tool: this program's "emulator kzsnap" on the state
// directory, so that the boot script lists the stand-in's devices and re-creates
// them.
std::string StandInKzsnap(const std::string& stateDir) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string program = n > 0 ? std::string(self, static_cast<size_t>(n)) : "kzvol";
    return "#!/bin/sh\n# kzsnap of the kzvol stand-in driver\nexec " + ShellQuote(program) +
           " --emulator " + ShellQuote(stateDir) + " emulator kzsnap -- \"$@\"\n";
}

std::string& Selected() {
    static std::string dir;
    return dir;
}

// Runs shell lines and commands with /sbin/ redirected into the state directory.
class SbinRedirect : public EnvWrapper {
  public:
    SbinRedirect(Env* target, std::string sbinDir)
        : EnvWrapper(target), sbin_(std::move(sbinDir)) {}
    int RunShell(const std::string& command) override {
        return target()->RunShell(Redirect(command));
    }
    int RunCommand(const std::string& command, std::string* output, std::string* error) override {
        return target()->RunCommand(Redirect(command), output, error);
    }

  private:
    std::string Redirect(const std::string& command) const {
        if (::mkdir(sbin_.c_str(), 0700) == 0)
            ReplaceFileContents(sbin_ + "/kzsnap", StandInKzsnap(DirectoryOf(sbin_)), 0755);
        return RedirectSbin(command, sbin_);
    }

    std::string sbin_;
};

void InstallRedirect(const std::string& stateDir) {
    static std::unique_ptr<SbinRedirect> redirect;
    redirect = std::make_unique<SbinRedirect>(CurrentEnv(), stateDir + "/sbin");
    SetEnv(redirect.get());
}

}  // namespace

std::string RedirectSbin(const std::string& command, const std::string& sbinDir) {
    const std::string target = ShellQuote(sbinDir) + "/";
    std::string out;
    for (size_t i = 0; i < command.size();) {
        bool wordStart = i == 0 || std::strchr(" \t;&|<>(", command[i - 1]) != nullptr;
        if (wordStart && command.compare(i, sizeof kSbin - 1, kSbin) == 0) {
            out += target;
            i += sizeof kSbin - 1;
        } else {
            out += command[i++];
        }
    }
    return out;
}

const std::string& SelectedEmulatorDir() {
    return Selected();
}

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
    Selected() = dir;
    InstallRedirect(dir);
    return true;
}

}  // namespace kzvol::cli
