// Command-line parsing.
#include "tools/Options.h"

#include <cerrno>
#include <cstdlib>

namespace kzvol::cli {

bool Options::Parse(const std::vector<std::string>& words, std::string* error) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--") {
            rest_.assign(words.begin() + static_cast<long>(i) + 1, words.end());
            return true;
        }
        if (w.size() < 3 || w.compare(0, 2, "--") != 0) {
            positional_.push_back(w);
            continue;
        }
        std::string name = w.substr(2);
        if (flags_.count(name)) {
            values_[name] = "1";
        } else if (valued_.count(name)) {
            if (i + 1 >= words.size()) {
                *error = "option --" + name + " needs a value";
                return false;
            }
            values_[name] = words[++i];
        } else {
            *error = "unknown option --" + name;
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
