#include "support/FuzzCheck.h"

#include <cstdio>
#include <cstdlib>

namespace
{
std::string& CurrentInputName()
{
    static std::string name;
    return name;
}
} // namespace

void SetCurrentInputName(const std::string& name)
{
    CurrentInputName() = name;
}

void FuzzFail(const char* file, int line, const char* condition, const std::string& detail)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    if (!detail.empty()) {
        std::fprintf(stderr, "%s\n", detail.c_str());
    }
    if (!CurrentInputName().empty()) {
        std::fprintf(stderr, "input: %s\n", CurrentInputName().c_str());
    }
    std::fflush(stderr);
    std::abort();
}
