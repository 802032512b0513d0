// kzvol volinfo-file: a volume-information file printed by field, one field a line
// (the inode-table blocks of all groups on one line), after checking that it is
// well formed: key=value lines, the group count matching the inode-table lines,
// both extent sizes equal.
#include <cstdio>
#include <fstream>
#include <map>
#include <vector>

#include "tools/Commands.h"
#include "tools/Options.h"

namespace kzvol::cli {
namespace {

struct VolumeInfoFile {
    std::vector<std::pair<std::string, std::string>> fields;  // file order, first of each
    std::vector<std::string> inodeTables, extentSizes;
};

// Splits "key=value " lines. False with *error naming the first bad line.
bool Parse(std::istream& in, VolumeInfoFile* file, std::string* error) {
    std::map<std::string, bool> seen;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t eq = line.find('=');
        const size_t end = line.find_last_not_of(' ');
        if (eq == std::string::npos || eq == 0 || end == std::string::npos || end <= eq) {
            *error = "line " + std::to_string(number) + " is not key=value: " + line;
            return false;
        }
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1, end - eq);
        if (key == "itableblock")
            file->inodeTables.push_back(value);
        else if (key == "extentsize")
            file->extentSizes.push_back(value);
        if (!seen[key])
            file->fields.emplace_back(key, value);
        seen[key] = true;
    }
    return true;
}

std::string Check(const VolumeInfoFile& file) {
    std::string gdc;
    for (const auto& [key, value] : file.fields) {
        if (key == "gdc")
            gdc = value;
    }
    if (gdc.empty() || std::to_string(file.inodeTables.size()) != gdc)
        return "gdc=" + gdc + " but " + std::to_string(file.inodeTables.size()) +
               " itableblock lines";
    if (file.extentSizes.size() != 2 || file.extentSizes[0] != file.extentSizes[1])
        return "extentsize is not given twice with one value";
    return "";
}

}  // namespace

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
    VolumeInfoFile file;
    if (!Parse(in, &file, &error) || !(error = Check(file)).empty())
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
