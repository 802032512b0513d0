// Helpers of the checksum tests: extent data, names and digests, hash file records
// built independently of the code under test, and one tracker decision as text.
#pragma once

#include <string>
#include <vector>

#include "checksum/CheckSum.h"

namespace kzvol::testing {

// "extent" and k in ten digits.
std::string ExtentName(long long k);
// Contents of extent k; a different `version` gives different data.
std::string ExtentData(int k, int version = 0);
// Raw 64-byte SHA-512.
std::string Sha512(const std::string& data);
// One hash record: name, newline, digest, newline.
std::string HashRecord(const std::string& name, const std::string& digest);
// Records for extents `ks`, with the digests of ExtentData(k, version).
std::string HashRecords(const std::vector<int>& ks, int version = 0);
std::vector<int> Range(int first, int last);

// Asks the tracker about extent k with ExtentData(k, version): "send", "skip", or
// "send!" when the call answered false (which must leave the answer "send").
std::string Decide(CheckSum& tracker, int k, int version = 0);
std::string Decide(CheckSum& tracker, const std::string& name, const std::string& data);
// Decide for extents first..last, as "skip send ...".
std::string Decisions(CheckSum& tracker, int first, int last);

}  // namespace kzvol::testing
