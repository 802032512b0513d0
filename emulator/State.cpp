// Text form of the stand-in driver's state: one "key value" line per field,
// strings percent-escaped behind a ':' so that any path survives, byte arrays
// and digest lists in hex.
#include "emulator/State.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>

namespace kzvol::emulator {

uint64_t Device::Extents() const {
    if (extent_bytes == 0)
        return 0;
    return (size + extent_bytes - 1) / extent_bytes;
}

Device* State::Find(uint32_t minor) {
    for (Device& d : devices)
        if (d.minor == minor)
            return &d;
    return nullptr;
}

uint32_t State::FreeMinor() const {
    for (uint32_t m = 0;; ++m) {
        bool used = false;
        for (const Device& d : devices)
            used = used || d.minor == m;
        if (!used)
            return m;
    }
}

namespace {

const char kMagic[] = "kzvol-emulator-state 1";

std::string Escape(const std::string& s) {
    std::string out = ":";
    for (unsigned char c : s) {
        if (c > ' ' && c < 0x7f && c != '%') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02x", c);
            out += hex;
        }
    }
    return out;
}

bool Unescape(const std::string& s, std::string* out) {
    if (s.empty() || s[0] != ':')
        return false;
    out->clear();
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i] != '%') {
            *out += s[i];
            continue;
        }
        if (i + 2 >= s.size())
            return false;
        unsigned int c;
        if (std::sscanf(s.c_str() + i + 1, "%2x", &c) != 1)
            return false;
        *out += static_cast<char>(c);
        i += 2;
    }
    return true;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out = "x";
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

// The value of one hexadecimal digit, -1 for any other character.
int Nibble(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Bitmaps of large volumes are loaded on every request: one pass, no allocation per byte.
bool Unhex(const std::string& s, std::vector<uint8_t>* out) {
    if (s.empty() || s[0] != 'x' || s.size() % 2 != 1)
        return false;
    out->resize(s.size() / 2);
    for (size_t i = 1, k = 0; i < s.size(); i += 2, ++k) {
        int high = Nibble(s[i]), low = Nibble(s[i + 1]);
        if (high < 0 || low < 0)
            return false;
        (*out)[k] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

std::string Digests(const std::vector<uint64_t>& digests) {
    std::vector<uint8_t> bytes;
    for (uint64_t d : digests)
        for (int i = 7; i >= 0; --i)
            bytes.push_back(static_cast<uint8_t>(d >> (8 * i)));
    return Hex(bytes);
}

bool ParseDigests(const std::string& s, std::vector<uint64_t>* out) {
    std::vector<uint8_t> bytes;
    if (!Unhex(s, &bytes) || bytes.size() % 8 != 0)
        return false;
    out->clear();
    for (size_t i = 0; i < bytes.size(); i += 8) {
        uint64_t d = 0;
        for (size_t j = 0; j < 8; ++j)
            d = (d << 8) | bytes[i + j];
        out->push_back(d);
    }
    return true;
}

std::string Minors(const std::vector<uint32_t>& minors) {
    std::string out = "[";
    for (uint32_t m : minors)
        out += std::to_string(m) + ",";
    return out + "]";
}

bool ParseMinors(const std::string& s, std::vector<uint32_t>* out) {
    if (s.size() < 2 || s.front() != '[' || s.back() != ']')
        return false;
    out->clear();
    std::istringstream in(s.substr(1, s.size() - 2));
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            out->push_back(static_cast<uint32_t>(std::stoul(item)));
    return true;
}

// Applies one "key value" line of a device block.
bool ApplyField(const std::string& key, const std::string& value, Device* d) {
    try {
        if (key == "state") {
            int s = std::stoi(value);
            if (s < 0 || s > 2)
                return false;
            d->state = static_cast<NodeState>(s);
            return true;
        }
        if (key == "snapshot")
            return (d->snapshot = value == "1", true);
        if (key == "source")
            return (d->source = static_cast<uint32_t>(std::stoul(value)), true);
        if (key == "size")
            return (d->size = std::stoull(value), true);
        if (key == "extent")
            return (d->extent_bytes = static_cast<uint32_t>(std::stoul(value)), true);
        if (key == "devno")
            return (d->underlying_dev = std::stoi(value), true);
        if (key == "chunk")
            return (d->chunk_size = static_cast<uint32_t>(std::stoul(value)), true);
        if (key == "serve_id")
            return (d->serve_id = std::stoull(value), true);
        if (key == "serve_instance")
            return Unescape(value, &d->serve_instance);
        if (key == "loop")
            return (d->loop_minor = std::stoi(value), true);
        if (key == "node")
            return Unescape(value, &d->node_name);
        if (key == "underlying")
            return Unescape(value, &d->underlying);
        if (key == "data_path")
            return Unescape(value, &d->data_path);
        if (key == "serial")
            return Unescape(value, &d->serial);
        if (key == "map")
            return Unescape(value, &d->map_file);
        if (key == "data")
            return Unescape(value, &d->data_file);
        if (key == "snaps")
            return ParseMinors(value, &d->snapshots);
        if (key == "incr")
            return Unhex(value, &d->incr.bits);
        if (key == "diff")
            return Unhex(value, &d->diff.bits);
        if (key == "incr_tracked")
            return (d->incr.tracked = value == "1", true);
        if (key == "diff_tracked")
            return (d->diff.tracked = value == "1", true);
        if (key == "digests")
            return ParseDigests(value, &d->digests);
    } catch (const std::exception&) {
        return false;
    }
    return false;
}

}  // namespace

std::string Serialize(const State& state) {
    std::ostringstream out;
    out << kMagic << "\nmode " << (state.mode == Mode::Devices ? "devices" : "memory") << "\n";
    for (const auto& [path, size] : state.volumes)
        out << "volume " << Escape(path) << " " << size << "\n";
    for (const Device& d : state.devices) {
        out << "device " << d.minor << "\n"
            << "state " << static_cast<int>(d.state) << "\nsnapshot " << (d.snapshot ? 1 : 0)
            << "\nsource " << d.source << "\nsize " << d.size << "\nextent " << d.extent_bytes
            << "\ndevno " << d.underlying_dev << "\nchunk " << d.chunk_size << "\nloop "
            << d.loop_minor << "\nnode " << Escape(d.node_name) << "\nunderlying "
            << Escape(d.underlying) << "\ndata_path " << Escape(d.data_path) << "\nserial "
            << Escape(d.serial) << "\nmap " << Escape(d.map_file) << "\ndata "
            << Escape(d.data_file) << "\nsnaps " << Minors(d.snapshots) << "\nincr "
            << Hex(d.incr.bits) << "\ndiff " << Hex(d.diff.bits) << "\nincr_tracked "
            << (d.incr.tracked ? 1 : 0) << "\ndiff_tracked " << (d.diff.tracked ? 1 : 0)
            << "\ndigests " << Digests(d.digests) << "\nserve_id " << d.serve_id
            << "\nserve_instance " << Escape(d.serve_instance) << "\nend\n";
    }
    return out.str();
}

bool Parse(const std::string& text, State* state) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kMagic)
        return false;
    *state = State();
    Device* current = nullptr;
    while (std::getline(in, line)) {
        size_t blank = line.find(' ');
        std::string key = line.substr(0, blank);
        std::string value = blank == std::string::npos ? std::string() : line.substr(blank + 1);
        if (key == "end" && current) {
            current = nullptr;
        } else if (current) {
            if (!ApplyField(key, value, current))
                return false;
        } else if (key == "mode") {
            if (value != "memory" && value != "devices")
                return false;
            state->mode = value == "devices" ? Mode::Devices : Mode::Memory;
        } else if (key == "volume") {
            size_t sep = value.rfind(' ');
            std::string path;
            if (sep == std::string::npos || !Unescape(value.substr(0, sep), &path))
                return false;
            state->volumes[path] = std::strtoull(value.c_str() + sep + 1, nullptr, 10);
        } else if (key == "device") {
            state->devices.emplace_back();
            current = &state->devices.back();
            current->minor = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else {
            return false;
        }
    }
    return current == nullptr;
}

}  // namespace kzvol::emulator
