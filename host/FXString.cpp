// Path text helpers.
#include "host/FXString.h"

void FXString::RemoveRight(std::string& text, const std::string& suffix) {
    if (!suffix.empty() && text.size() >= suffix.size() &&
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
        text.erase(text.size() - suffix.size());
    }
}
