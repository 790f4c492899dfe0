// The Prometheus metrics of the catalogue's values: one family per metric
// name, shared by the rows that differ only by line, with the HELP text the
// exporter writes for it.  The metric of each value is in the Quantity table
// (Catalogue.h); this table says what the family as a whole measures.
#pragma once

#include "Catalogue.h"

namespace catalogue
{

struct MetricFamily {
    const char* name; // as in Quantity::metric
    const char* help; // one line, for the HELP line
};

// Every metric of Quantities(), each once, in the order the metrics first
// appear there.
Table<MetricFamily> MetricFamilies();
const MetricFamily* FindMetricFamily(const char* name);

} // namespace catalogue
