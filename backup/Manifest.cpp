// Writing and strictly parsing backup manifests.
#include "backup/Manifest.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace kzvol::backup {
namespace {

constexpr char kHeader[] = "kzvol backup manifest 1";
// The optional sixth word of an extent line: the extent is stored zstd-compressed
// in this many bytes.
constexpr char kZstdPrefix[] = "zstd:";
constexpr size_t kZstdPrefixSize = sizeof kZstdPrefix - 1;

bool ParseU64(const std::string& text, uint64_t* out) {
    if (text.empty() || text.size() > 20 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno == ERANGE || *end != '\0')
        return false;
    *out = v;
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool ParseDigest(const std::string& text, Digest* out) {
    if (text.size() != 2 * kDigestBytes)
        return false;
    for (size_t i = 0; i < kDigestBytes; ++i) {
        int hi = HexValue(text[2 * i]), lo = HexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        (*out)[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return true;
}

// Reads the manifest line by line; each Expect* consumes one line or fails with
// the line's number in the error.
class LineReader {
  public:
    explicit LineReader(const std::string& text) : in_(text) {}

    bool Next(std::vector<std::string>* words, std::string* error) {
        std::string line;
        if (!std::getline(in_, line)) {
            *error = "ends early after line " + std::to_string(number_);
            return false;
        }
        ++number_;
        words->clear();
        std::istringstream split(line);
        for (std::string w; split >> w;)
            words->push_back(w);
        return true;
    }
    bool Value(const char* key, std::string* value, std::string* error) {
        std::vector<std::string> w;
        if (!Next(&w, error))
            return false;
        if (w.size() != 2 || w[0] != key)
            return Bad(std::string("wants \"") + key + " VALUE\"", error);
        *value = w[1];
        return true;
    }
    bool Number(const char* key, uint64_t* value, std::string* error) {
        std::string text;
        if (!Value(key, &text, error))
            return false;
        return ParseU64(text, value) || Bad(std::string("has a bad ") + key, error);
    }
    bool Bad(const std::string& what, std::string* error) const {
        *error = "line " + std::to_string(number_) + " " + what;
        return false;
    }
    // True, consuming the line, when the next line is "KEY yes"; otherwise the
    // line stays for the next read.
    bool OptionalYes(const char* key) {
        const std::streampos at = in_.tellg();
        std::string line;
        if (std::getline(in_, line) && line == std::string(key) + " yes") {
            ++number_;
            return true;
        }
        in_.clear();
        in_.seekg(at);
        return false;
    }
    bool AtEnd() {
        std::string rest;
        return !std::getline(in_, rest);
    }

  private:
    std::istringstream in_;
    int number_ = 0;
};

bool ParseHead(LineReader& r, Manifest* m, std::string* error) {
    std::vector<std::string> w;
    std::string kind, parent, index;
    uint64_t time = 0;
    if (!r.Next(&w, error))
        return false;
    if (w.size() != 4 || w[0] + " " + w[1] + " " + w[2] + " " + w[3] != kHeader)
        return r.Bad("is not a kzvol backup manifest header", error);
    if (!r.Value("id", &m->id, error) || !r.Value("kind", &kind, error) ||
        !r.Value("parent", &parent, error) || !r.Number("time", &time, error) ||
        !r.Number("volume-bytes", &m->volumeBytes, error) ||
        !r.Number("extent-bytes", &m->extentBytes, error) || !r.Value("index", &index, error))
        return false;
    if (!IsBackupId(m->id))
        return r.Bad("names a bad id", error);
    if (kind != "full" && kind != "incremental")
        return r.Bad("names an unknown kind", error);
    m->kind = kind == "full" ? Kind::Full : Kind::Incremental;
    m->parent = parent == "-" ? "" : parent;
    if ((m->kind == Kind::Full) != m->parent.empty() || (!m->parent.empty() && !IsBackupId(parent)))
        return r.Bad("names a parent that does not fit the kind", error);
    if (time > INT64_MAX || (index != "yes" && index != "no" && index != "failed"))
        return r.Bad("holds a bad value", error);
    m->time = static_cast<int64_t>(time);
    m->indexed = index == "yes";
    m->indexFailed = index == "failed";
    m->usedOnly = r.OptionalYes("used-only");
    const uint64_t e = m->extentBytes;
    if (e < kMinExtentBytes || e > kMaxExtentBytes || (e & (e - 1)) != 0)
        return r.Bad("gives an extent size that is not a power of two from 512 bytes to 256 MiB",
                     error);
    if (m->volumeBytes == 0 || m->volumeBytes % 512 != 0 || m->volumeBytes > (1ull << 56))
        return r.Bad("gives a volume size that is not a positive multiple of 512 bytes", error);
    return true;
}

bool ParseExtent(LineReader& r, const Manifest& m, ExtentEntry* e, std::string* error) {
    std::vector<std::string> w;
    if (!r.Next(&w, error))
        return false;
    uint64_t length = 0, stored = 0;
    if ((w.size() != 5 && w.size() != 6) || w[0] != "extent" || !ParseU64(w[1], &e->number) ||
        !ParseU64(w[2], &e->offset) || !ParseU64(w[3], &length) || !ParseDigest(w[4], &e->digest) ||
        (w.size() == 6 && (w[5].compare(0, kZstdPrefixSize, kZstdPrefix) != 0 ||
                           !ParseU64(w[5].substr(kZstdPrefixSize), &stored))))
        return r.Bad("is not \"extent NUMBER OFFSET LENGTH DIGEST [zstd:STORED]\"", error);
    const uint64_t count = m.VolumeExtents();
    if (e->number >= count)
        return r.Bad("names extent " + w[1] + " past the volume's end (" + std::to_string(count) +
                         " extents)",
                     error);
    if (!m.extents.empty() && e->number == m.extents.back().number)
        return r.Bad("names extent " + w[1] + " twice", error);
    if (!m.extents.empty() && e->number < m.extents.back().number)
        return r.Bad("names extent " + w[1] + " out of order", error);
    if (e->offset != e->number * m.extentBytes ||
        length != ExtentLength(m.volumeBytes, m.extentBytes, e->number))
        return r.Bad("gives extent " + w[1] + " an offset or length that does not fit the volume",
                     error);
    if (w.size() == 6 && (stored == 0 || stored >= length))
        return r.Bad("gives extent " + w[1] + " a stored length that is not shorter than it",
                     error);
    e->length = static_cast<uint32_t>(length);
    e->stored = static_cast<uint32_t>(stored);
    return true;
}

bool ParseFile(LineReader& r, const Manifest& m, FileEntry* f, std::string* error) {
    std::vector<std::string> w;
    if (!r.Next(&w, error))
        return false;
    if (w.size() != 4 || w[0] != "file" || !IsListableFileName(w[1]) ||
        !ParseU64(w[2], &f->bytes) || !ParseDigest(w[3], &f->digest))
        return r.Bad("is not \"file NAME BYTES DIGEST\"", error);
    if (!m.files.empty() && w[1] <= m.files.back().name)
        return r.Bad("names file " + w[1] + " twice or out of order", error);
    f->name = w[1];
    return true;
}

// The optional list of files after the extents, then "end".
bool ParseTail(LineReader& r, Manifest* m, std::string* error) {
    std::vector<std::string> w;
    if (!r.Next(&w, error))
        return false;
    uint64_t count = 0;
    if (w.size() == 2 && w[0] == "files") {
        if (!ParseU64(w[1], &count) || count > 64)
            return r.Bad("has a bad files count", error);
        m->listsFiles = true;
        for (uint64_t i = 0; i < count; ++i) {
            FileEntry f;
            if (!ParseFile(r, *m, &f, error))
                return false;
            m->files.push_back(f);
        }
        if (!r.Next(&w, error))
            return false;
    }
    if (w.size() != 1 || w[0] != "end" || !r.AtEnd())
        return r.Bad("should be the last, \"end\"", error);
    return true;
}

}  // namespace

bool IsListableFileName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && name[0] != '.' && name != "manifest" &&
           name != "extents" &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789._-") == std::string::npos;
}

uint64_t ExtentCount(uint64_t volumeBytes, uint64_t extentBytes) {
    return extentBytes ? (volumeBytes + extentBytes - 1) / extentBytes : 0;
}

uint32_t ExtentLength(uint64_t volumeBytes, uint64_t extentBytes, uint64_t number) {
    const uint64_t offset = number * extentBytes;
    if (offset >= volumeBytes)
        return 0;
    return static_cast<uint32_t>(std::min(extentBytes, volumeBytes - offset));
}

uint64_t Manifest::VolumeExtents() const {
    return ExtentCount(volumeBytes, extentBytes);
}

uint64_t Manifest::BytesHeld() const {
    uint64_t total = 0;
    for (const ExtentEntry& e : extents)
        total += e.length;
    return total;
}

uint64_t Manifest::BytesStored() const {
    return extents.empty() ? 0 : extents.back().filePos + extents.back().StoredBytes();
}

void Manifest::AddExtent(ExtentEntry e) {
    e.filePos = BytesStored();
    extents.push_back(e);
}

bool IsBackupId(const std::string& id) {
    return id.size() == 6 && id.find_first_not_of("0123456789") == std::string::npos;
}

const char* KindName(Kind kind) {
    return kind == Kind::Full ? "full" : "incremental";
}

std::string DigestHex(const Digest& digest) {
    static const char kHex[] = "0123456789abcdef";
    std::string out(2 * kDigestBytes, '0');
    for (size_t i = 0; i < kDigestBytes; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 15];
    }
    return out;
}

std::string FormatManifest(const Manifest& m) {
    std::string out;
    out.reserve(200 + m.extents.size() * 170);
    out += std::string(kHeader) + "\nid " + m.id + "\nkind " + KindName(m.kind) + "\nparent " +
           (m.parent.empty() ? "-" : m.parent) + "\ntime " + std::to_string(m.time) +
           "\nvolume-bytes " + std::to_string(m.volumeBytes) + "\nextent-bytes " +
           std::to_string(m.extentBytes) + "\nindex " +
           (m.indexed       ? "yes"
            : m.indexFailed ? "failed"
                            : "no") +
           "\n" + (m.usedOnly ? "used-only yes\n" : "") + "extents " +
           std::to_string(m.extents.size()) + "\n";
    char head[80];
    for (const ExtentEntry& e : m.extents) {
        std::snprintf(head, sizeof head, "extent %" PRIu64 " %" PRIu64 " %" PRIu32 " ", e.number,
                      e.offset, e.length);
        out += head + DigestHex(e.digest);
        if (e.stored)
            out += " " + std::string(kZstdPrefix) + std::to_string(e.stored);
        out += "\n";
    }
    if (m.listsFiles) {
        out += "files " + std::to_string(m.files.size()) + "\n";
        for (const FileEntry& f : m.files)
            out +=
                "file " + f.name + " " + std::to_string(f.bytes) + " " + DigestHex(f.digest) + "\n";
    }
    out += "end\n";
    return out;
}

bool ParseManifest(const std::string& text, Manifest* out, std::string* error) {
    Manifest m;
    LineReader r(text);
    uint64_t count = 0;
    if (!ParseHead(r, &m, error) || !r.Number("extents", &count, error))
        return false;
    if (count > m.VolumeExtents())
        return r.Bad("lists more extents than the volume has", error);
    // Grown line by line: the memory used is bounded by the text, not by the count.
    for (uint64_t i = 0; i < count; ++i) {
        ExtentEntry e;
        if (!ParseExtent(r, m, &e, error))
            return false;
        m.AddExtent(e);
    }
    if (!ParseTail(r, &m, error))
        return false;
    if (m.kind == Kind::Full && m.extents.size() != m.VolumeExtents())
        return r.Bad("ends a full backup that lacks extents", error);
    *out = std::move(m);
    return true;
}

}  // namespace kzvol::backup
