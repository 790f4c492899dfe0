// Reading halx-host's --json output: one JSON object per line; other lines
// (the plug-in's own diagnostics) are skipped.
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

// The JSON objects among the lines of text, in order.
std::vector<Json::Value> JsonEvents(const std::string& text);
// The "event" member of each.
std::vector<std::string> Kinds(const std::vector<Json::Value>& events);
// The events of one kind.
std::vector<Json::Value> OfKind(const std::vector<Json::Value>& events, const std::string& kind);
// The lines of text containing needle.
std::vector<std::string> LinesWith(const std::string& text, const std::string& needle);
// Bytes from lower-case hex.
std::string FromHex(const std::string& hex);
