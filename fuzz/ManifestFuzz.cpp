// Fuzz target of the backup manifest parser: any bytes either parse into a manifest
// that formats back to the same text, or are refused with a reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "backup/Manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kzvol::backup;
    const std::string text(reinterpret_cast<const char*>(data), size);
    Manifest m;
    std::string error;
    if (!ParseManifest(text, &m, &error)) {
        if (error.empty())
            std::abort();
        return 0;
    }
    Manifest again;
    if (!ParseManifest(FormatManifest(m), &again, &error) ||
        FormatManifest(again) != FormatManifest(m))
        std::abort();
    return 0;
}
