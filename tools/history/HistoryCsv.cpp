#include "HistoryCsv.h"

#include <charconv>
#include <cstring>

#include "Catalogue.h"
#include "TimeText.h"

namespace history
{
namespace
{

const char kHex[] = "0123456789abcdef";

std::string Hex(const unsigned char* data, std::size_t length)
{
    std::string text;
    text.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        text += kHex[data[i] >> 4U];
        text += kHex[data[i] & 0x0FU];
    }
    return text;
}

std::string Text(const unsigned char* text, std::size_t width)
{
    std::string shown;
    for (std::size_t i = 0; i < width && text[i] != 0; ++i) {
        const unsigned char c = text[i];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            shown += "\\x";
            shown += kHex[c >> 4U];
            shown += kHex[c & 0x0FU];
        }
    }
    return shown;
}

std::string Float(const unsigned char* p)
{
    const std::uint32_t u =
        static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8U) |
        (static_cast<std::uint32_t>(p[2]) << 16U) | (static_cast<std::uint32_t>(p[3]) << 24U);
    float f = 0.0F;
    std::memcpy(&f, &u, sizeof f);
    char text[32];
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, f);
    return std::string(text, r.ptr);
}

std::string Integer(double value)
{
    char text[32];
    const std::to_chars_result r =
        std::to_chars(text, text + sizeof text, static_cast<long long>(value));
    return std::string(text, r.ptr);
}

std::string FieldText(const RecordField& field, const unsigned char* record)
{
    const unsigned char* p = record + field.offset;
    switch (field.type) {
    case FieldType::UInt32:
    case FieldType::Int32:
    case FieldType::Int8:
        return Integer(catalogue::NumberAt(record, field));
    case FieldType::Float32:
        return Float(p);
    case FieldType::Text16:
        return Text(p, field.width);
    case FieldType::Stamp7:
        return StampText(p);
    case FieldType::Reserved:
        return Hex(p, field.width);
    }
    return {};
}

} // namespace

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

CsvWriter::CsvWriter(std::ostream& out, CsvOptions options) : out_(out), options_(options) {}

void CsvWriter::Header()
{
    line_ = "ups,sequence,time,data_id";
    for (const RecordField& field : kRecordFields) {
        std::string name = field.name;
        const catalogue::FieldMeaning* meaning = catalogue::FindFieldMeaning(field.name);
        if (field.type == FieldType::Stamp7) {
            name += " [local]";
        } else if (meaning != nullptr && meaning->unit[0] != '\0') {
            name += std::string(" [") + meaning->unit + "]";
        }
        line_ += ',';
        line_ += CsvField(name);
    }
    line_ += "\r\n";
    out_ << line_;
}

void CsvWriter::Row(const Entry& entry)
{
    line_ = CsvField(entry.ups);
    line_ += ',';
    line_ += std::to_string(entry.sequence);
    line_ += ',';
    if (entry.time) {
        line_ += Rfc3339(*entry.time, options_.local_zone);
    }
    line_ += ',';
    line_ += std::to_string(entry.data_id);
    for (const RecordField& field : kRecordFields) {
        line_ += ',';
        line_ += CsvField(FieldText(field, entry.record.data()));
    }
    line_ += "\r\n";
    out_ << line_;
}

} // namespace history
