#include <cstdint>
#include <cstring>

#include "record/ServedSignals.h"

const ServedSignal* FindServedSignal(const std::string& name)
{
    for (const ServedSignal& signal : kServedSignals) {
        if (name == signal.name) {
            return &signal;
        }
    }
    return nullptr;
}

float ServedValue(const DeltanhntCmdsRply_t& record, const ServedSignal& signal)
{
    // The record is packed: fields are read by copying their bytes.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    if (signal.integer) {
        std::int32_t value = 0;
        std::memcpy(&value, bytes + signal.offset, sizeof value);
        return static_cast<float>(value);
    }
    float value = 0.0F;
    std::memcpy(&value, bytes + signal.offset, sizeof value);
    return value;
}
