// Files named on the command line: the settings object and record files.
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

namespace halxhost
{

// The JSON object in path; throws BadInput when the file is missing, not
// JSON, or not an object.
Json::Value LoadSettings(const std::string& path);

// The whole file; throws BadInput when it cannot be read.  what names the
// file in messages ("cache file", "record file").
std::vector<unsigned char> ReadBinaryFile(const std::string& path, const char* what);

} // namespace halxhost
