// Shell argument quoting.
#include "host/ShellQuote.h"

#include <cstring>

namespace kzvol {

std::string ShellQuote(const std::string& arg) {
    static const char kSafe[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./:=,+@%-";
    bool safe = !arg.empty();
    for (char c : arg) {
        if (c == '\0' || !std::strchr(kSafe, c)) {
            safe = false;
            break;
        }
    }
    if (safe)
        return arg;
    std::string out = "'";
    for (char c : arg) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += "'";
    return out;
}

}  // namespace kzvol
