// kzvol volinfo-file: a volume-information file printed by field, one field a line
// (the inode-table blocks of all groups on one line), after the library's parser
// found it well formed.
#include <cstdio>
#include <fstream>

#include "metadata/VolumeGeometry.h"
#include "tools/Commands.h"
#include "tools/Options.h"

namespace kzvol::cli {

int RunVolinfoFile(const Words& args) {
    Options opts({}, {});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (opts.positional().size() != 1)
        return Usage("wants one PATH");
    const std::string path = opts.positional()[0];
    std::ifstream in(path);
    if (!in)
        return Fail("cannot read " + path);
    metadata::VolumeInfoFile file;
    if (!metadata::ParseVolumeInfo(in, &file, &error))
        return Fail(path + ": " + error);
    for (const auto& [key, value] : file.fields) {
        if (key != "itableblock") {
            std::printf("%-15s %s\n", key.c_str(), value.c_str());
            continue;
        }
        std::string blocks;
        for (const std::string& b : file.inodeTables)
            blocks += (blocks.empty() ? "" : " ") + b;
        std::printf("%-15s %s\n", key.c_str(), blocks.c_str());
    }
    return kExitOk;
}

}  // namespace kzvol::cli
