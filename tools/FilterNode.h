// What the kzvol commands on filter devices share: finding the filter device a
// NODE names, and where a command's bytes go.
#pragma once

#include <memory>
#include <string>

#include "host/AtomicFile.h"
#include "host/Handles.h"

class KZVolumeUnix;

namespace kzvol::cli {

// Binds `volume` to the filter device NODE (a node under /dev/qnbf/, matched by its
// name). False with *error saying what to do when the driver cannot be reached or
// lists no such device.
bool BindFilterNode(KZVolumeUnix& volume, const std::string& node, std::string* error);

// Where a command's bytes go: standard output; a device or FIFO the user names,
// written straight; or a file replaced only once complete.
class CommandOutput {
  public:
    // An empty path is standard output. False with *error on failure.
    bool Open(const std::string& path, std::string* error);
    bool Write(const void* data, size_t size);
    // Puts a file in place; false with errno set on failure.
    bool Finish();

  private:
    int fd_ = 1;
    UniqueFd direct_;
    std::unique_ptr<AtomicFile> file_;
};

}  // namespace kzvol::cli
