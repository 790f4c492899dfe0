#include "upssim/Options.h"

#include <stdexcept>

#include "protocol/FrameLayout.h"

namespace upssim
{

void ValidateOptions(const Options& options)
{
    const auto fail = [](const std::string& message) { throw std::invalid_argument(message); };
    for (const auto& value : options.values) {
        if (FindReplyField(value.first) == nullptr) {
            fail("unknown field \"" + value.first + "\"");
        }
    }
    for (const std::string* text : {&options.manufacturer, &options.model, &options.version}) {
        if (text->size() > kMaxFramePayload) {
            fail("text longer than " + std::to_string(kMaxFramePayload) + " bytes: " + *text);
        }
    }
    for (const std::string& code : options.drop_codes) {
        if (FindCommand(code) == CMD_COUNT) {
            std::string known;
            for (const char* name : kCommandCodes) {
                known += (known.empty() ? "" : ", ") + std::string(name);
            }
            fail("unknown query \"" + code + "\" (" + known + ")");
        }
    }
    if (options.noise > static_cast<std::size_t>(kMaxNoiseBytes)) {
        fail("noise: at most " + std::to_string(kMaxNoiseBytes) + " bytes");
    }
    if (options.address.size() != 2 || options.address.find(kFrameStart) != std::string::npos) {
        fail("address: two characters, not \"" + options.address + "\"");
    }
    if (options.chunk > kMaxChunk) {
        fail("chunk: at most " + std::to_string(kMaxChunk) + " bytes");
    }
    if (options.baud < 50 || options.baud > 4000000) {
        fail("baud: " + std::to_string(options.baud) + " is not a line speed");
    }
    if (options.delay.count() < 0 || options.chunk_gap.count() < 0) {
        fail("delay and chunk gap cannot be negative");
    }
}

} // namespace upssim
