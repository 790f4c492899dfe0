// Fuzz target: the settings step.  The input is parsed as JSON; when it
// parses, both settings steps run on it:
//  - the device's own InitSetting, which must give the same device whatever
//    the settings hold: all eleven frames complete, reply address "00", the
//    record's DataId, result true, no diagnostic line, no call of the host's
//    settings parse; it may refuse an appSetting.type that is no text by
//    throwing Json::LogicError, and only then;
//  - the template's InitSetting (a qualified call, as any device built on the
//    template without its own version gets it), twice on one device, as a
//    host that re-applies settings does.  Json::LogicError from asString() on
//    an array or object where text is expected is its specified refusal;
//    any other exception, crash or sanitizer report is a finding.  When it
//    does not throw it ends in exactly one call of the host's settings
//    parse, whose result it returns unchanged.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include <json/reader.h>
#include <json/value.h>

#include "device/DeltaNHNT.h"
#include "support/CallLog.h"
#include "support/FuzzCheck.h"

namespace
{

// A data identifier above INT32_MAX: the diagnostic lines print it unsigned.
constexpr unsigned int kSettingsDataId = 4000000000U;

bool IsContainer(const Json::Value& value)
{
    return value.isArray() || value.isObject();
}

// True when the device's own InitSetting is expected to refuse: an
// appSetting object whose "type" is an array or an object.
bool TypeRefused(const Json::Value& settings)
{
    if (!settings.isObject()) {
        return false;
    }
    const Json::Value& app = settings["appSetting"];
    return app.isObject() && app.isMember("type") && IsContainer(app["type"]);
}

void CheckOwnSettingsStep(const Json::Value& settings, std::stringbuf& diagnostics)
{
    DeltaNHNT device;
    CallLog log;
    device.SetDataId(kSettingsDataId);
    device.SetObserver(&log);
    diagnostics.str(std::string());

    bool refused = false;
    try {
        FUZZ_CHECK(device.InitSetting(settings), "the device's InitSetting returns true");
    } catch (const Json::LogicError&) {
        refused = true;
    }
    FUZZ_CHECK(refused == TypeRefused(settings), "refused only an appSetting.type that is no text");
    FUZZ_CHECK(diagnostics.str().empty(), "the device's InitSetting writes nothing");
    FUZZ_CHECK(log.calls.empty(), "the device's InitSetting calls no host operation");
    for (unsigned int i = 0; i < CMD_COUNT; ++i) {
        const std::string frame(reinterpret_cast<const char*>(device.command(i).data()),
                                device.command(i).size());
        FUZZ_CHECK(frame == std::string("~00P003") + kCommandCodes[i], "frame " + frame);
    }
    FUZZ_CHECK(device.reply_address()[0] == '0' && device.reply_address()[1] == '0',
               "reply address");
    FUZZ_CHECK(device.record().DataId == kSettingsDataId, "record DataId");
    FUZZ_CHECK(device.b_mode() == 1 && device.alarm_identities().empty() &&
                   device.signal_names().empty(),
               "the device's InitSetting applies no settings key");
}

void CheckTemplateSettingsStep(const Json::Value& settings, std::stringbuf& diagnostics)
{
    DeltaNHNT device;
    CallLog log;
    device.SetDataId(kSettingsDataId);
    device.SetObserver(&log);
    diagnostics.str(std::string());

    for (const bool host_result : {true, false}) {
        log.Clear();
        log.init_setting_result = host_result;
        try {
            const bool result = device.DeltaNHNT::Template::InitSetting(settings);
            FUZZ_CHECK(result == host_result, "the host's result is returned unchanged");
            FUZZ_CHECK(log.Count(HostCall::Op::InitSetting) == 1 &&
                           log.calls.back().op == HostCall::Op::InitSetting,
                       "the host's settings parse runs once, last");
        } catch (const Json::LogicError&) {
            FUZZ_CHECK(log.Count(HostCall::Op::InitSetting) == 0,
                       "a refused value stops before the host");
        }
        FUZZ_CHECK(device.record().DataId == kSettingsDataId, "record DataId");
        // Whatever mode was read, an identity text is built from three parts
        // each followed by ";".
        for (const auto& entry : device.alarm_identities()) {
            FUZZ_CHECK(!entry.second.empty() && entry.second.back() == ';',
                       "alarm identity of " + entry.first);
        }
    }
    const std::string& lines = diagnostics.str();
    FUZZ_CHECK(lines.empty() || lines.back() == '\n', "diagnostic lines end with a newline");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static std::stringbuf diagnostics;
    static const bool captured = (RedirectDiagnostics(&diagnostics), true);
    static_cast<void>(captured);

    static const std::unique_ptr<Json::CharReader> reader(
        Json::CharReaderBuilder().newCharReader());
    const char* const begin = reinterpret_cast<const char*>(data);
    Json::Value settings;
    std::string errors;
    if (!reader->parse(begin, begin + size, &settings, &errors)) {
        return 0;
    }
    CheckOwnSettingsStep(settings, diagnostics);
    CheckTemplateSettingsStep(settings, diagnostics);
    return 0;
}
