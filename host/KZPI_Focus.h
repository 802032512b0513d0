// The name of the product instance this process belongs to.
#pragma once

#include <string>

class KZPI_Focus {
  public:
    // The registry's "sInstanceName" in section "Base"; empty when there is none.
    static std::string getFocus();
};
