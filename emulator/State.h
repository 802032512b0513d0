// The stand-in driver's state: its devices and, in memory mode, the sizes of the
// volumes tests declared. Saved as text in the state directory and loaded again
// around every request, so that several processes see one driver.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kzvol::emulator {

enum class Mode { Memory, Devices };

enum class NodeState { Added, Started, Defunct };

// One bitmap: one bit per extent, bit i in byte i / 8 at position i % 8.
struct Bitmap {
    std::vector<uint8_t> bits;
    bool tracked = false;  // reset or loaded since the device was added
};

struct Device {
    uint32_t minor = 0;
    NodeState state = NodeState::Added;
    bool snapshot = false;
    uint32_t source = 0;     // snapshot: the filter device it freezes
    std::string node_name;   // name under /dev/qnbf/
    std::string underlying;  // filter device: the device it covers
    std::string data_path;   // where its data is read ("" when it has none)
    uint64_t size = 0;       // bytes
    uint32_t extent_bytes = 0;
    std::string serial;
    int32_t underlying_dev = 0;
    std::vector<uint32_t> snapshots;  // newest (active) first
    Bitmap incr, diff;
    std::vector<uint64_t> digests;    // per extent, at the last look
    std::string map_file, data_file;  // snapshot: its copy-on-write files
    uint32_t chunk_size = 0;
    int loop_minor = -1;  // devices mode: the loop device behind the node
    // Devices mode, filter device: its number in the serving process and that
    // process's instance token (another token: the process was restarted).
    uint64_t serve_id = 0;
    std::string serve_instance;

    uint64_t Extents() const;
    size_t BitmapBytes() const { return static_cast<size_t>((Extents() + 7) / 8); }
};

struct State {
    Mode mode = Mode::Memory;
    std::vector<Device> devices;              // in the order they were added
    std::map<std::string, uint64_t> volumes;  // memory mode: declared volume sizes
    // Devices mode: the running serving process's instance token, once
    // Driver::Reconnect has asked it (not saved).
    std::string serving;

    Device* Find(uint32_t minor);
    // The lowest minor no device uses.
    uint32_t FreeMinor() const;
};

std::string Serialize(const State& state);
// False when the text is not a state this version wrote.
bool Parse(const std::string& text, State* state);

}  // namespace kzvol::emulator
