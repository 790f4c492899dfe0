// The words of the UPS network protocol's lines: a request split into its
// words, a value quoted for a reply.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nut
{

// The words of one request line.  Words are separated by spaces and tabs; a
// "double-quoted" stretch keeps its spaces (and may be empty: ""); a
// backslash takes the next character as it is, inside quotes or not.
// nullopt for an unterminated quote or a backslash at the end of the line.
std::optional<std::vector<std::string>> SplitWords(std::string_view line);

// `text` as a quoted protocol string: in double quotes, with backslash and
// double quote escaped by a backslash.  Control characters, which would end
// or garble the reply line, become '?'.
std::string Quote(std::string_view text);

// True for a name the protocol can carry as a bare word (UPS and variable
// names): 1 to 64 letters, digits and "_.-" (what `upsc ups@host` can
// name too).
bool IsBareWord(std::string_view name);

} // namespace nut
