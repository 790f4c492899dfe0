#include "support/FuzzCheck.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

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

void RedirectDiagnostics(std::streambuf* sink)
{
    // With no buffer std::cout sets badbit and every output is a no-op: the
    // "rvSize is" line of each completed cycle costs nothing.
    std::cout.rdbuf(sink);
    std::cout.clear(sink == nullptr ? std::ios::badbit : std::ios::goodbit);
}
