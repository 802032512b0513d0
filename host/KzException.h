// The host's exception type, thrown by configuration lookups and caught by callers.
#pragma once

#include <string>

class KzException {
  public:
    explicit KzException(std::string message) : message_(std::move(message)) {}
    virtual ~KzException() = default;
    const char* getMessage() const { return message_.c_str(); }

  private:
    std::string message_;
};
