#pragma once

// The process-wide configuration: free functions over Config::store().
// See ConfigStore.h for what each operation does.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "config/ConfigStore.h"
#include "config/DataFolder.h"
#include "config/Value.h"

namespace Config {

inline void setDefault(const std::string& key, const Value& value, int32_t level) {
    store().setDefault(key, value, level);
}
inline void clearAttributes() { store().clearAttributes(); }
inline bool set(const std::string& key, const Value& value, bool persist = false) {
    return store().set(key, value, persist);
}
inline bool get(const std::string& key, Value& value) { return store().get(key, value); }
inline bool get(const std::string& key, int32_t& value) { return store().get(key, value); }
inline bool get(const std::string& key, uint32_t& value) { return store().get(key, value); }
inline bool get(const std::string& key, double& value) { return store().get(key, value); }
inline bool get(const std::string& key, bool& value) { return store().get(key, value); }
inline bool get(const std::string& key, std::string& value) { return store().get(key, value); }
inline std::map<std::string, Value> values() { return store().values(); }
inline bool addDynamic(const std::string& key, std::shared_ptr<DynamicAttribute> entry) {
    return store().addDynamic(key, std::move(entry));
}
inline bool removeDynamic(const std::string& key) { return store().removeDynamic(key); }
inline void addListener(const std::string& name, Listener listener) { store().addListener(name, std::move(listener)); }
inline void removeListener(const std::string& name) { store().removeListener(name); }
inline void registerFile(const std::string& path, const std::string& section) { store().registerFile(path, section); }
inline void loadSection(const std::string& path, const std::string& section) { store().loadSection(path, section); }
inline bool save(const std::string& section) { return store().save(section); }
inline bool applyImageMode() { return store().applyImageMode(); }
inline int imageModeIndex() { return store().imageModeIndex(); }
inline void imageSize(int32_t& width, int32_t& height, int32_t& modeCode) {
    store().imageSize(width, height, modeCode);
}
inline void imageCalibSize(int32_t& width, int32_t& height) { store().imageCalibSize(width, height); }
inline ImageGeometry imageGeometry() { return store().imageGeometry(); }

}  // namespace Config
