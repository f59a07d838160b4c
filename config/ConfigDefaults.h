#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/ConfigStore.h"
#include "config/Value.h"

namespace Config {

// One key the platform knows: its default and its level (1 and 2 both make
// it settable).
struct DefaultRow {
    std::string key;
    Value value;
    int32_t level;
};

// Every key with its default, in the order the defaults step applies them.
const std::vector<DefaultRow>& defaultRows();

// The defaults step: empties the store's static entries and saved values,
// creates every key with its default, and derives the image geometry.
// Returns the result of applyImageMode (true with the defaults).
bool applyDefaults(Store& target);
bool applyDefaults();

}  // namespace Config
