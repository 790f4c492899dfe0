#include "Inputs.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <json/reader.h>

#include "common/Errors.h"

namespace halxhost
{

using tools::BadInput;

Json::Value LoadSettings(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw BadInput("cannot read settings file " + path + ": " + std::strerror(errno));
    }
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["failIfExtra"] = true;
    Json::Value settings;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &settings, &errors)) {
        // jsoncpp's message spans lines; one line is enough to find the fault.
        std::string first = errors.substr(0, errors.find('\n'));
        if (first.rfind("* ", 0) == 0) {
            first.erase(0, 2);
        }
        const std::size_t detail = errors.find('\n');
        if (detail != std::string::npos) {
            std::string rest = errors.substr(detail + 1);
            rest = rest.substr(0, rest.find('\n'));
            while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) {
                rest.erase(rest.begin());
            }
            if (!rest.empty()) {
                first += " " + rest;
            }
        }
        throw BadInput("settings file " + path + " is not valid JSON: " + first);
    }
    if (!settings.isObject()) {
        throw BadInput("settings file " + path + " must hold a JSON object");
    }
    return settings;
}

std::vector<unsigned char> ReadBinaryFile(const std::string& path, const char* what)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw BadInput(std::string("cannot read ") + what + " " + path + ": " +
                       std::strerror(errno));
    }
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw BadInput(std::string("cannot read ") + what + " " + path + ": " +
                       std::strerror(errno));
    }
    return bytes;
}

} // namespace halxhost
