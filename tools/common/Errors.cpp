#include "common/Errors.h"

#include <iostream>

namespace tools
{

int Failed(const std::string& tool, const std::exception& error)
{
    std::cout << std::flush;
    if (dynamic_cast<const UsageError*>(&error) != nullptr) {
        std::cerr << tool << ": " << error.what() << " (see " << tool << " --help)" << std::endl;
        return kExitUsage;
    }
    std::cerr << tool << ": " << error.what() << std::endl;
    return kExitBadInput;
}

} // namespace tools
