// kzvol handler: runs the snapshot handler script as the backup agent does.
#include "tools/Commands.h"
#include "tools/Options.h"
#include "volume/HandlerScript.h"

namespace kzvol::cli {

int RunHandler(const Words& args) {
    // The two arguments are words, often beginning with a dash.
    if (args.size() != 3)
        return Usage("wants FIRST, SECOND and JOBID");
    Options opts({"jobid"}, {});
    std::string error;
    uint64_t jobId = 0;
    if (!opts.Parse({"--jobid", args[2]}, &error) || !opts.GetU64("jobid", 0, &jobId, &error))
        return Usage(error);
    // The library appends both as they are; its callers bring the leading blanks.
    if (!FireUserGivenScript(" " + args[0], " " + args[1], jobId))
        return Fail(
            "the snapshot handler script did not run to its end in time (the log tells "
            "why)");
    return 0;
}

}  // namespace kzvol::cli
