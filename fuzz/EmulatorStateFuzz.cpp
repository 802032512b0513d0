// Fuzz target of the stand-in driver's state file, which every process using the
// stand-in loads again around each request: the input is the file's text. A text
// that parses must serialize to one that parses again to the same state.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "emulator/State.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kzvol::emulator;
    State state;
    if (!Parse(std::string(reinterpret_cast<const char*>(data), size), &state))
        return 0;
    for (const Device& device : state.devices)
        (void)device.BitmapBytes();
    (void)state.FreeMinor();
    const std::string text = Serialize(state);
    State again;
    if (!Parse(text, &again) || Serialize(again) != text)
        std::abort();
    return 0;
}
