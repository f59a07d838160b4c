#pragma once

#include <map>
#include <string>

#include "config/Value.h"
#include "source/DataStructures/Tyvo.pb.h"

// Conversions between the configuration's Value and its message form.

// By the value's type code; null, objects and the enumeration give an empty
// message, a float travels as float, every other number in its own field.
void toMessageValue(const Value& value, Tyvo::Message::Value& message);

// The first present field in the order bool, int, int64, uint, uint64,
// string, float (as double), double; else the elements as an array (null
// elements left out); else null.
Value fromMessageValue(const Tyvo::Message::Value& message);

// One entry per value that has a message form (type code not 0).
void toConfigSettings(const std::map<std::string, Value>& values, Tyvo::Message::ConfigSettings& settings);

// One entry per complete key/value pair whose value is not null; a later
// duplicate key replaces the earlier one.
std::map<std::string, Value> fromConfigSettings(const Tyvo::Message::ConfigSettings& settings);
