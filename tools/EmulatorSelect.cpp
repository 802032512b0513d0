// Plugging the stand-in driver into the tool's request channel, and keeping the
// library's commands for the driver's installation inside its state directory.
#include "tools/EmulatorSelect.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "backup/Files.h"
#include "emulator/Emulator.h"
#include "filter/FilterFiles.h"
#include "host/AtomicFile.h"
#include "host/Env.h"
#include "host/ShellQuote.h"

namespace kzvol::cli {
namespace {

constexpr char kStandInKzsnapHead[] = "#!/bin/sh\n# kzsnap of the kzvol stand-in driver\n";

// The stand-in's snapshot tool: this program's "emulator kzsnap" on the state
// directory, so that the boot script lists the stand-in's devices and re-creates
// them.
std::string StandInKzsnap(const std::string& stateDir) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string program = n > 0 ? std::string(self, static_cast<size_t>(n)) : "kzvol";
    return kStandInKzsnapHead + std::string("exec ") + ShellQuote(program) + " --emulator " +
           ShellQuote(stateDir) + " emulator kzsnap -- \"$@\"\n";
}

std::string& Selected() {
    static std::string dir;
    return dir;
}

// Runs the boot-script regeneration with the state directory's kzsnap, writing
// the script there; every other line runs as it is, its text never rewritten.
class SbinRedirect : public EnvWrapper {
  public:
    SbinRedirect(Env* target, std::string stateDir)
        : EnvWrapper(target),
          stateDir_(std::move(stateDir)),
          sbin_(stateDir_ + "/" + kStandInSbin) {}
    int RunShell(const std::string& command) override {
        if (command == kBootScriptCommand)
            return RegenerateBootScript();
        if (command == kDropNewBootScript)
            return 0;  // the script is replaced whole or not at all
        return target()->RunShell(command);
    }

  private:
    int RegenerateBootScript() {
        if (::mkdir(sbin_.c_str(), 0700) == 0)
            ReplaceFileContents(sbin_ + "/" + kStandInProgram, StandInKzsnap(stateDir_), 0755);
        std::string script, error;
        const std::string program = ShellQuote(sbin_ + "/" + kStandInProgram);
        if (int rc = target()->RunCommand(program + " -c create_script", &script, &error))
            return rc;
        return ReplaceFileContents(sbin_ + "/" + kStandInBootScript, script, 0744) ? 0 : 1;
    }

    std::string stateDir_, sbin_;
};

void InstallRedirect(const std::string& stateDir) {
    static std::unique_ptr<SbinRedirect> redirect;
    redirect = std::make_unique<SbinRedirect>(CurrentEnv(), stateDir);
    SetEnv(redirect.get());
}

}  // namespace

void RemoveStandInSbin(const std::string& stateDir) {
    const std::string sbin = stateDir + "/" + kStandInSbin;
    std::string program;
    ::unlink((sbin + "/" + kStandInBootScript).c_str());
    if (backup::ReadWholeFile(sbin + "/" + kStandInProgram, 1 << 16, &program) &&
        program.rfind(kStandInKzsnapHead, 0) == 0)
        ::unlink((sbin + "/" + kStandInProgram).c_str());
    ::rmdir(sbin.c_str());  // only when empty
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
