// Checks inside the fuzz targets.  A failed check prints what went wrong
// (and, under the replay runner, which input file it was) and aborts, which
// libFuzzer reports as a crash and saves the input for.
#pragma once

#include <streambuf>
#include <string>

[[noreturn]] void FuzzFail(const char* file, int line, const char* condition,
                           const std::string& detail);

// Name of the input being replayed, for the failure message; empty under
// libFuzzer, which names the crashing input itself.
void SetCurrentInputName(const std::string& name);

#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            FuzzFail(__FILE__, __LINE__, #condition, (detail));                                    \
        }                                                                                          \
    } while (false)

// Sends the device's diagnostic lines (std::cout) nowhere, or into `sink`.
void RedirectDiagnostics(std::streambuf* sink);
