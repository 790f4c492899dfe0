// Reply payloads: the ";"-separated field list and the text copies.
#pragma once

#include <cstddef>
#include <vector>

#include <boost/range/iterator_range.hpp>

using PayloadField = boost::iterator_range<const char*>;
using FieldList = std::vector<PayloadField>;

// Splits a payload at every ";", keeping empty fields: "" gives one empty
// field, ";;" three.
void SplitFields(const char* payload, std::size_t length, FieldList& fields);

// Copies a text reply into a 16-byte record field: at most 16 bytes, up to
// the end of the payload or a zero byte, the rest zero-filled.  A text of 16
// bytes or more leaves no terminator.
void CopyText(char* field16, const char* payload, std::size_t length);
