// One batch threshold rule held by a host device.
#pragma once

#include <string>

struct rule_value {
    std::string key;        // signal key the rule applies to
    std::string expression; // the host's rule text
    float value = 0.0F;     // the value the rule compares against
    int level = 0;          // alarm level raised when the rule matches
};
