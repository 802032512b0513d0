// kzvol bitmap get|getclr|set|clear|merge|save NODE --type incr|diff [--file F]:
// the change bitmaps of a filter device through the library. A bitmap read goes
// to F raw, or is printed as the numbers of its set extents (bit i in byte i / 8,
// least significant bit first). Bits taken by getclr that cannot be delivered are
// merged back, as after a failed backup.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "filter/DriverChannel.h"
#include "filter/QnbfVolInfo.h"
#include "host/AtomicFile.h"
#include "tools/Commands.h"
#include "tools/FilterNode.h"
#include "tools/Options.h"
#include "volume/KZVolume.h"

namespace kzvol::cli {
namespace {

using Bytes = std::vector<unsigned char>;

bool ParseType(const std::string& text, KZVBitmapType* type) {
    if (text == "incr")
        *type = KZV_BITMAP_INCREMENTAL;
    else if (text == "diff")
        *type = KZV_BITMAP_DIFFERENTIAL;
    else
        return false;
    return true;
}

// Prints the set extents, one per line, ascending; false when standard output failed.
bool PrintExtents(const Bytes& bits) {
    std::string text;
    char number[24];
    for (size_t byte = 0; byte < bits.size(); ++byte) {
        for (unsigned bit = 0; bits[byte] >> bit; ++bit) {
            if (!(bits[byte] & (1u << bit)))
                continue;
            char* end = std::to_chars(number, number + sizeof number - 1, byte * 8 + bit).ptr;
            *end++ = '\n';
            text.append(number, end);
        }
    }
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
           std::fflush(stdout) == 0;
}

bool ReadWhole(const std::string& path, Bytes* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

struct Job {
    KZVolumeUnix* volume;
    KZVBitmapType type;
    std::string node, file, typeName;
    uint32_t bytes;  // the driver's size of the chosen bitmap
};

int Read(const Job& job, bool clear) {
    Bytes bits(job.bytes, 0);
    bool ok = clear ? job.volume->QNBFGetAndClrVolBitmap(job.type, bits.data(), bits.size(), false)
                    : job.volume->QNBFGetVolBitmap(job.type, bits.data(), bits.size(), false);
    if (!ok)
        return Fail("cannot read the " + job.typeName + " bitmap of " + job.node +
                    " (see the log: --verbose)");
    const bool delivered =
        job.file.empty() ? PrintExtents(bits)
                         : ReplaceFileContents(job.file, std::string(bits.begin(), bits.end()));
    if (delivered)
        return 0;
    const std::string why = std::strerror(errno);
    if (clear && !job.volume->QNBFMergeVolBitmap(job.type, bits.data(), bits.size()))
        return Fail("cannot write the bitmap (" + why + ") and cannot merge it back into " +
                    job.node + ": the changes it held are lost, take a full backup");
    return Fail("cannot write the bitmap: " + why + (clear ? " (its bits were merged back)" : ""));
}

int Write(const Job& job, bool merge) {
    Bytes bits;
    if (!ReadWhole(job.file, &bits))
        return Fail("cannot read " + job.file + ": " + std::strerror(errno));
    if (bits.size() != job.bytes)
        return Fail(job.file + " holds " + std::to_string(bits.size()) + " bytes; the " +
                    job.typeName + " bitmap of " + job.node + " has " + std::to_string(job.bytes));
    bool ok = merge ? job.volume->QNBFMergeVolBitmap(job.type, bits.data(), bits.size())
                    : job.volume->QNBFSetVolBitmap(job.type, bits.data());
    return ok ? 0
              : Fail(std::string("the driver refused to ") + (merge ? "merge" : "set") +
                     " the bitmap (see the log: --verbose)");
}

}  // namespace

int RunBitmap(const Words& args) {
    Options opts({"type", "file"}, {});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (opts.positional().size() != 2)
        return Usage("wants an action (get, getclr, set, clear, merge or save) and one NODE");
    const std::string action = opts.positional()[0];
    const bool reads = action == "get" || action == "getclr";
    const bool writes = action == "set" || action == "merge";
    if (!reads && !writes && action != "clear" && action != "save")
        return Usage("unknown action '" + action + "' (get, getclr, set, clear, merge or save)");
    Job job{nullptr,          KZV_BITMAP_INCREMENTAL, opts.positional()[1],
            opts.Get("file"), opts.Get("type"),       0};
    if (!ParseType(job.typeName, &job.type))
        return Usage("--type wants incr or diff");
    if (writes && job.file.empty())
        return Usage(action + " wants --file F");
    if (!reads && !writes && opts.Has("file"))
        return Usage(action + " takes no --file");

    KZVolumeUnix volume(kQnbfAdminNode);
    if (!BindFilterNode(volume, job.node, &error))
        return Fail(error);
    job.volume = &volume;
    if (action == "clear" || action == "save") {
        bool ok = action == "clear" ? volume.QNBFClearVolBitmap(job.type)
                                    : volume.QNBFSaveVolBitmap(job.type);
        return ok ? 0 : Fail("the driver refused to " + action + " the bitmap (see --verbose)");
    }
    QNBFVolInfo_t info;
    if (!volume.QNBFGetVolInfo(info))
        return Fail("the driver gave no information on " + job.node + " (see --verbose)");
    job.bytes = job.type == KZV_BITMAP_INCREMENTAL ? info.incr_bmp_size : info.diff_bmp_size;
    if (job.bytes == 0)
        return Fail(job.node + " reports an empty " + job.typeName + " bitmap");
    return reads ? Read(job, action == "getclr") : Write(job, action == "merge");
}

}  // namespace kzvol::cli
