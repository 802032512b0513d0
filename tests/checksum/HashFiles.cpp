// Helpers of the checksum tests.
#include "tests/checksum/HashFiles.h"

#include <openssl/sha.h>

#include <cstdio>

namespace kzvol::testing {

std::string ExtentName(long long k) {
    char name[32];
    std::snprintf(name, sizeof name, "extent%010lld", k);
    return name;
}

std::string ExtentData(int k, int version) {
    return std::string(4096, static_cast<char>('A' + k % 50)) + std::to_string(version);
}

std::string Sha512(const std::string& data) {
    unsigned char out[SHA512_DIGEST_LENGTH];
    SHA512(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
    return std::string(reinterpret_cast<char*>(out), sizeof out);
}

std::string HashRecord(const std::string& name, const std::string& digest) {
    return name + "\n" + digest + "\n";
}

std::string HashRecords(const std::vector<int>& ks, int version) {
    std::string out;
    for (int k : ks)
        out += HashRecord(ExtentName(k), Sha512(ExtentData(k, version)));
    return out;
}

std::vector<int> Range(int first, int last) {
    std::vector<int> out;
    for (int k = first; k <= last; ++k)
        out.push_back(k);
    return out;
}

std::string Decide(CheckSum& tracker, const std::string& name, const std::string& data) {
    bool backUp = false;
    bool ok = tracker.ShouldThisExtentBeBackedUp(name, data.data(), static_cast<int>(data.size()),
                                                 &backUp);
    if (!ok)
        return backUp ? "send!" : "FALSE-SKIP";
    return backUp ? "send" : "skip";
}

std::string Decide(CheckSum& tracker, int k, int version) {
    return Decide(tracker, ExtentName(k), ExtentData(k, version));
}

std::string Decisions(CheckSum& tracker, int first, int last) {
    std::string out;
    for (int k = first; k <= last; ++k)
        out += (out.empty() ? "" : " ") + Decide(tracker, k);
    return out;
}

}  // namespace kzvol::testing
