// What --version tells: the project's version and the build id of the
// programs and plug-ins that run.
#pragma once

#include <string>

namespace tools
{

// "1.0.0".
const char* ProjectVersion();

// The GNU build id (lower-case hex) of the loaded object, executable or
// shared library, that holds `address`; "" when it carries none.
std::string BuildIdAt(const void* address);

} // namespace tools
