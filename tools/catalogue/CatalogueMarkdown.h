// The catalogue written out for people: docs/CATALOGUE.md.
#pragma once

#include <string>

namespace catalogue
{

std::string Markdown();

} // namespace catalogue
