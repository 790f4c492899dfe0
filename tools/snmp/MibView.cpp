#include "MibView.h"

namespace snmp
{

using catalogue::MibObject;
using catalogue::MibSource;
using catalogue::MibSyntax;

namespace
{

Oid Append(Oid oid, std::initializer_list<std::uint32_t> arcs)
{
    oid.insert(oid.end(), arcs);
    return oid;
}

Instance Number(const MibObject& object, Oid oid, std::int64_t value)
{
    Instance instance;
    instance.oid = std::move(oid);
    instance.syntax = object.syntax;
    instance.number = value;
    return instance;
}

Instance Text(const MibObject& object, Oid oid, std::string text)
{
    Instance instance;
    instance.oid = std::move(oid);
    instance.syntax = object.syntax;
    instance.text = std::move(text);
    return instance;
}

const MibObject& Object(const char* name)
{
    return *catalogue::FindMibObject(name);
}

Oid WellKnownAlarmOid(std::uint8_t number)
{
    Oid oid(std::begin(catalogue::kWellKnownAlarmsOid), std::end(catalogue::kWellKnownAlarmsOid));
    oid.push_back(number);
    return oid;
}

// The agent's own objects.
void AddAgentObject(const MibObject& object, const UpsData& ups, const std::string& agent_version,
                    std::vector<Instance>& out)
{
    const Oid base = catalogue::MibOid(object);
    const std::string name = object.name;
    if (name == "upsIdentAgentSoftwareVersion") {
        out.push_back(Text(object, Append(base, {0}), agent_version));
    } else if (name == "upsIdentName") {
        out.push_back(Text(object, Append(base, {0}), ups.snapshot.name));
    } else if (name == "upsInputLineBads") {
        out.push_back(Number(object, Append(base, {0}), ups.line_bads));
    } else if (name == "upsAlarmsPresent") {
        out.push_back(
            Number(object, Append(base, {0}), static_cast<std::int64_t>(ups.alarms.size())));
    } else if (name == "upsAlarmDescr") {
        for (const AlarmRow& row : ups.alarms) {
            Instance instance = Number(object, Append(base, {row.id}), 0);
            instance.object = WellKnownAlarmOid(row.well_known);
            out.push_back(std::move(instance));
        }
    } else if (name == "upsAlarmTime") {
        for (const AlarmRow& row : ups.alarms) {
            out.push_back(Number(object, Append(base, {row.id}), row.time));
        }
    }
}

} // namespace

std::vector<Instance> Render(const UpsData& ups, std::chrono::steady_clock::time_point now,
                             const std::string& agent_version)
{
    std::vector<Instance> out;
    const bool stale = ups.snapshot.Stale(now);
    const unsigned char* record = ups.snapshot.last ? ups.snapshot.last->record.data() : nullptr;
    for (const MibObject& object : catalogue::UpsMibObjects()) {
        if (object.source == MibSource::Agent) {
            AddAgentObject(object, ups, agent_version, out);
            continue;
        }
        const Oid base = catalogue::MibOid(object);
        if (object.source == MibSource::BatteryStatus && (stale || record == nullptr)) {
            out.push_back(Number(object, Append(base, {0}), catalogue::kBatteryUnknown));
            continue;
        }
        if (record == nullptr || (stale && object.measurement)) {
            continue;
        }
        if (object.source == MibSource::Text) {
            out.push_back(Text(object, Append(base, {0}), catalogue::MibText(record, object)));
            continue;
        }
        if (object.column == 0) {
            std::int64_t value = 0;
            if (catalogue::MibInteger(record, object, 0, value)) {
                out.push_back(Number(object, Append(base, {0}), value));
            }
            continue;
        }
        for (int line = 1; line <= 3; ++line) {
            std::int64_t value = 0;
            if (catalogue::MibInteger(record, object, line, value)) {
                out.push_back(
                    Number(object, Append(base, {static_cast<std::uint32_t>(line)}), value));
            }
        }
    }
    return out;
}

Oid TrapOid(std::uint8_t number)
{
    Oid oid(catalogue::kUpsMibOid, catalogue::kUpsMibOid + catalogue::kUpsMibOidLength);
    oid.insert(oid.end(), {2, number});
    return oid;
}

std::vector<Instance> AlarmTrapVarbinds(const std::string& ups_name, const AlarmRow& row)
{
    // upsAlarmId is the table's index column (upsAlarmEntry.1).
    const MibObject& descr = Object("upsAlarmDescr");
    Oid id_oid = catalogue::MibOid(descr);
    id_oid.back() = 1;
    std::vector<Instance> out;
    Instance id;
    id.oid = Append(id_oid, {row.id});
    id.syntax = MibSyntax::Integer;
    id.number = row.id;
    out.push_back(std::move(id));
    Instance what = Number(descr, Append(catalogue::MibOid(descr), {row.id}), 0);
    what.object = WellKnownAlarmOid(row.well_known);
    out.push_back(std::move(what));
    const MibObject& name = Object("upsIdentName");
    out.push_back(Text(name, Append(catalogue::MibOid(name), {0}), ups_name));
    return out;
}

std::vector<Instance> OnBatteryTrapVarbinds(const UpsData& ups)
{
    std::vector<Instance> out;
    const unsigned char* record = ups.snapshot.last ? ups.snapshot.last->record.data() : nullptr;
    for (const char* name : {"upsEstimatedMinutesRemaining", "upsSecondsOnBattery"}) {
        const MibObject& object = Object(name);
        std::int64_t value = 0;
        if (record != nullptr && catalogue::MibInteger(record, object, 0, value)) {
            out.push_back(Number(object, Append(catalogue::MibOid(object), {0}), value));
        }
    }
    const MibObject& name = Object("upsIdentName");
    out.push_back(Text(name, Append(catalogue::MibOid(name), {0}), ups.snapshot.name));
    return out;
}

} // namespace snmp
