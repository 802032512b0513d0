// Command-line parsing on glibc's getopt_long: "--name value" and "--name=value",
// unique prefixes of option names, switches, and "--" ending the options. Words
// before "--" may mix positionals and options in any order.
#include "tools/Options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace kzvol::cli {
namespace {

constexpr int kPositional = 1;  // what getopt_long returns for a word in "-" mode
constexpr int kFirstLong = 256;

}  // namespace

bool Options::Parse(const std::vector<std::string>& words, std::string* error) {
    auto dashes = std::find(words.begin(), words.end(), "--");
    if (dashes != words.end())
        rest_.assign(dashes + 1, words.end());

    std::vector<std::string> names(valued_.begin(), valued_.end());
    names.insert(names.end(), flags_.begin(), flags_.end());
    std::vector<option> table;
    for (size_t i = 0; i < names.size(); ++i)
        table.push_back({names[i].c_str(),
                         valued_.count(names[i]) ? required_argument : no_argument, nullptr,
                         kFirstLong + static_cast<int>(i)});
    table.push_back({nullptr, 0, nullptr, 0});

    std::vector<std::string> head(words.begin(), dashes);
    std::vector<char*> argv{const_cast<char*>("kzvol")};
    for (std::string& w : head)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    optind = 0;  // glibc: start a fresh scan
    opterr = 0;
    const int argc = static_cast<int>(argv.size()) - 1;
    for (int c; (c = getopt_long(argc, argv.data(), "-:", table.data(), nullptr)) != -1;) {
        if (c == kPositional) {
            positional_.push_back(optarg);
        } else if (c >= kFirstLong) {
            const std::string& name = names[static_cast<size_t>(c - kFirstLong)];
            values_[name] = valued_.count(name) ? optarg : "1";
        } else {
            std::string word = argv[optind - 1];
            std::string name = word.substr(0, word.find('='));
            if (c == ':')
                *error = "option " + name + " needs a value";
            else if (word.find('=') != std::string::npos && flags_.count(name.substr(2)))
                *error = "option " + name + " takes no value";
            else
                *error = "unknown option " + word;
            return false;
        }
    }
    return true;
}

std::string Options::Get(const std::string& name, const std::string& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

bool Options::GetU64(const std::string& name, uint64_t fallback, uint64_t* out,
                     std::string* error) const {
    auto it = values_.find(name);
    if (it == values_.end()) {
        *out = fallback;
        return true;
    }
    const std::string& text = it->second;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno == ERANGE) {
        *error = "--" + name + " wants an unsigned number, not '" + text + "'";
        return false;
    }
    *out = v;
    return true;
}

}  // namespace kzvol::cli
