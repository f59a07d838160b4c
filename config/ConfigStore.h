#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "config/Value.h"

namespace Config {

// A configuration file that cannot be used. what() is the fixed text the
// user is shown; detail() says where in the file and why, when that is known
// ("line 3, column 7: expected ':' after a member name").
class FileError : public std::runtime_error {
public:
    explicit FileError(const std::string& text, std::string detail = {})
        : std::runtime_error(text), m_detail(std::move(detail)) {}
    const std::string& detail() const { return m_detail; }

private:
    std::string m_detail;
};

// One static entry: its value and whether it may be changed (level 0 may
// not; 1 and 2 both may).
struct Attribute {
    Value value;
    int32_t level = 0;
};

// An entry whose value lives in some component.
class DynamicAttribute {
public:
    virtual ~DynamicAttribute() = default;
    virtual Value get() const = 0;
    // True when the value was taken.
    virtual bool set(const Value& value) = 0;
};

template <class T>
class DynamicVariable;

// Binds an entry to a double owned elsewhere. The owner keeps the variable
// alive until it has removed the entry, and reads it under the store's
// guard (through Config::get) when other threads may set it.
template <>
class DynamicVariable<double> : public DynamicAttribute {
public:
    explicit DynamicVariable(double& variable) : m_variable(variable) {}
    Value get() const override { return Value(m_variable); }
    bool set(const Value& value) override {
        m_variable = value.toDouble();
        return true;
    }

private:
    double& m_variable;
};

// Called with (key, new value) for every change; null when a dynamic entry
// goes away.
using Listener = std::function<void(const std::string& key, const Value& value)>;

// The image geometry derived from "camera_mode" (or the six size entries).
struct ImageGeometry {
    int32_t width = 640;
    int32_t height = 240;
    int32_t sourceWidth = 640;
    int32_t sourceHeight = 240;
    int32_t calibWidth = 640;
    int32_t calibHeight = 480;
    int32_t modeCode = 2;
};

// A table of named settings with defaults, the file they were loaded from,
// live entries bound to components, and listeners. The process has one
// (Config::store()); tests make their own.
//
// Every operation takes the store's one recursive lock, reads included, so
// that a reader never meets a value another thread is replacing. Listeners
// run under the lock: a listener may call back into the store, and any lock
// a listener takes comes after the store lock in every lock order.
class Store {
public:
    Store() = default;
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Holds the store lock, e.g. to replace the whole table in one step.
    std::unique_lock<std::recursive_mutex> lock() const;

    // Creates or replaces a static entry; no listener is called.
    void setDefault(const std::string& key, const Value& value, int32_t level);

    // Empties the static entries and the values to be saved.
    void clearAttributes();

    // Changes an entry. For a static entry: false when it is not settable;
    // otherwise true, and when the single-line JSON texts of old and new value
    // differ the value is taken (and kept for saving when `persist`) and the
    // listeners are called. For a dynamic entry: its set's result, listeners
    // called when true. Unknown keys: false.
    bool set(const std::string& key, const Value& value, bool persist = false);

    // The entry's value; false when the key is unknown (the target is then
    // left untouched). The typed forms convert with Value's conversions.
    bool get(const std::string& key, Value& value) const;
    bool get(const std::string& key, int32_t& value) const;
    bool get(const std::string& key, uint32_t& value) const;
    bool get(const std::string& key, double& value) const;
    bool get(const std::string& key, bool& value) const;
    bool get(const std::string& key, std::string& value) const;

    // Every static entry and the current value of every dynamic entry.
    std::map<std::string, Value> values() const;

    // The values that save() would write.
    std::map<std::string, Value> persistedValues() const;

    // Adds a dynamic entry unless the key exists in either table; the
    // listeners are told its current value.
    bool addDynamic(const std::string& key, std::shared_ptr<DynamicAttribute> entry);
    // Removes a dynamic entry; the listeners are told null.
    bool removeDynamic(const std::string& key);

    // Listeners are called in name order; a name replaces its predecessor.
    void addListener(const std::string& name, Listener listener);
    void removeListener(const std::string& name);

    // Remembers the file of a section; the first file registered also
    // becomes the default file (section "").
    void registerFile(const std::string& path, const std::string& section);

    // The file registered for a section, else the default file, else "".
    std::string sectionFile(const std::string& section) const;

    // Applies one section of a JSON file as persisted settings. Throws
    // FileError: "Configuration file <path> not found", "Error parsing
    // config file: <path>" (with the parser's finding as its detail),
    // "Section '<section>' not found: <path>", "Error loading image config".
    // The path is registered in any case.
    // Members for unknown keys, keys that may not be set, or with a value of
    // another kind than the entry's (a text for a number, say) are skipped.
    void loadSection(const std::string& path, const std::string& section);

    // Writes the persisted values as the section of its file, keeping every
    // other member of the file. The file is replaced atomically: a crash at
    // any moment leaves the old or the new file whole. False when nothing is
    // persisted, no file is registered, or the file could not be written.
    bool save(const std::string& section);

    // Derives the image geometry from "camera_mode"; see ConfigStore.cpp.
    bool applyImageMode();
    // "VGA" 1, "HVGA" 2, "QVGA" 3, "HHVGA" 4, "QHVGA" 5, otherwise 2.
    int imageModeIndex() const;

    void imageSize(int32_t& width, int32_t& height, int32_t& modeCode) const;
    void imageCalibSize(int32_t& width, int32_t& height) const;
    ImageGeometry imageGeometry() const;

private:
    void notify(const std::string& key, const Value& value);

    mutable std::recursive_mutex m_storeLock;
    std::map<std::string, Attribute> m_attributes;
    std::map<std::string, std::shared_ptr<DynamicAttribute>> m_dynamic;
    std::map<std::string, Value> m_persisted;
    std::map<std::string, std::string> m_sectionFiles;
    std::map<std::string, Listener> m_listeners;
    ImageGeometry m_geometry;
};

// The process-wide store. It is made on first use and never destroyed, so
// that threads still running while the process exits never meet a torn-down
// store.
Store& store();

}  // namespace Config
