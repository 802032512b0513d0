// Plugging the stand-in driver into the tool's request channel, and keeping the
// library's commands for the driver's installation inside its state directory.
#include "tools/EmulatorSelect.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "emulator/Emulator.h"
#include "host/AtomicFile.h"
#include "host/Env.h"
#include "host/ShellQuote.h"
#include "tools/backup/Files.h"

namespace kzvol::cli {
namespace {

// The one line the library runs against the driver's installation in /sbin: it
// regenerates the boot script.
constexpr char kBootScriptLine[] =
    "rm -f /sbin/qnbf-bootscript1.rc; /sbin/kzsnap -c 'create_script' > "
    "/sbin/qnbf-bootscript1.rc; chmod 744 /sbin/qnbf-bootscript1.rc";

// The stand-in's snapshot tool: its devices live in the state directory, so the
// boot script it writes has nothing to set up again.
const char kStandInKzsnap[] =
    "#!/bin/sh\n"
    "# kzsnap of the kzvol stand-in driver\n"
    "if [ \"$1\" = -c ] && [ \"$2\" = create_script ]; then\n"
    "    echo '# qnbf stand-in: no devices to set up at boot'\n"
    "fi\n"
    "exit 0\n";

std::string& Selected() {
    static std::string dir;
    return dir;
}

// Runs the boot-script regeneration with the state directory's kzsnap, writing
// the script there; every other line runs as it is, its text never rewritten.
class SbinRedirect : public EnvWrapper {
  public:
    SbinRedirect(Env* target, std::string sbinDir)
        : EnvWrapper(target), sbin_(std::move(sbinDir)) {}
    int RunShell(const std::string& command) override {
        return command == kBootScriptLine ? RegenerateBootScript() : target()->RunShell(command);
    }

  private:
    int RegenerateBootScript() {
        if (::mkdir(sbin_.c_str(), 0700) == 0)
            ReplaceFileContents(sbin_ + "/" + kStandInProgram, kStandInKzsnap, 0755);
        std::string script, error;
        const std::string program = ShellQuote(sbin_ + "/" + kStandInProgram);
        if (int rc = target()->RunCommand(program + " -c create_script", &script, &error))
            return rc;
        return ReplaceFileContents(sbin_ + "/" + kStandInBootScript, script, 0744) ? 0 : 1;
    }

    std::string sbin_;
};

void InstallRedirect(const std::string& stateDir) {
    static std::unique_ptr<SbinRedirect> redirect;
    redirect = std::make_unique<SbinRedirect>(CurrentEnv(), stateDir + "/" + kStandInSbin);
    SetEnv(redirect.get());
}

}  // namespace

void RemoveStandInSbin(const std::string& stateDir) {
    const std::string sbin = stateDir + "/" + kStandInSbin;
    std::string program;
    ::unlink((sbin + "/" + kStandInBootScript).c_str());
    if (backup::ReadWholeFile(sbin + "/" + kStandInProgram, 1 << 16, &program) &&
        program == kStandInKzsnap)
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
