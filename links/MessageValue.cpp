#include "links/MessageValue.h"

void toMessageValue(const Value& value, Tyvo::Message::Value& message) {
    message.Clear();
    switch (value.typeCode()) {
        case 1: message.set_bool_value(*value.as<bool>()); break;
        case 2: message.set_int_value(*value.as<int32_t>()); break;
        case 3: message.set_uint_value(*value.as<uint32_t>()); break;
        case 4: message.set_int64_value(*value.as<int64_t>()); break;
        case 5: message.set_uint64_value(*value.as<uint64_t>()); break;
        case 6: message.set_float_value(*value.as<float>()); break;
        case 7: message.set_double_value(*value.as<double>()); break;
        case 8: message.set_double_value(static_cast<double>(*value.as<long double>())); break;
        case 9: message.set_string_value(*value.as<std::string>()); break;
        case 10:
            for (const Value& element : *value.as<Value::Array>()) {
                toMessageValue(element, *message.add_elements());
            }
            break;
        default: break;  // null, object, enumeration: no message form
    }
}

Value fromMessageValue(const Tyvo::Message::Value& message) {
    if (message.has_bool_value()) return Value(message.bool_value());
    if (message.has_int_value()) return Value(message.int_value());
    if (message.has_int64_value()) return Value(message.int64_value());
    if (message.has_uint_value()) return Value(message.uint_value());
    if (message.has_uint64_value()) return Value(message.uint64_value());
    if (message.has_string_value()) return Value(message.string_value());
    if (message.has_float_value()) return Value(static_cast<double>(message.float_value()));
    if (message.has_double_value()) return Value(message.double_value());
    if (message.elements_size() > 0) {
        Value::Array items;
        for (const auto& element : message.elements()) {
            Value item = fromMessageValue(element);
            if (!item.isNull()) items.push_back(std::move(item));
        }
        return Value(std::move(items));
    }
    return Value();
}

void toConfigSettings(const std::map<std::string, Value>& values, Tyvo::Message::ConfigSettings& settings) {
    for (const auto& [key, value] : values) {
        if (value.typeCode() == 0) continue;
        auto* entry = settings.add_entries();
        entry->set_key(key);
        toMessageValue(value, *entry->mutable_value());
    }
}

std::map<std::string, Value> fromConfigSettings(const Tyvo::Message::ConfigSettings& settings) {
    std::map<std::string, Value> values;
    for (const auto& entry : settings.entries()) {
        if (!entry.has_key() || !entry.has_value()) continue;
        Value value = fromMessageValue(entry.value());
        if (value.isNull()) continue;
        values[entry.key()] = std::move(value);
    }
    return values;
}
