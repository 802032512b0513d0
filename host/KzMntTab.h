// The host's view of the mount table.
#pragma once

#include <list>
#include <string>
#include <vector>

class KzMntTab {
  public:
    // One mounted file system: device, directory, type, options, frequency, pass.
    struct Entry {
        std::vector<std::string> fields;
        // The i-th field, empty when absent.
        const std::string& operator[](size_t i) const;
    };
    // Fills `entries` with one entry per mounted file system; 0 on success.
    static int getAll(std::list<Entry>& entries);
};
