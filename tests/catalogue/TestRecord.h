// The catalogue's tests build records with the tests' one record builder.
#pragma once

#include "support/RecordBuilder.h"

namespace catalogue
{

using TestRecord = ::RecordBuilder;

} // namespace catalogue
