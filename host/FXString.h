// Path text helpers of the host.
#pragma once

#include <string>

class FXString {
  public:
    // Removes one occurrence of suffix from the end of text, when text ends with it.
    static void RemoveRight(std::string& text, const std::string& suffix);
};
