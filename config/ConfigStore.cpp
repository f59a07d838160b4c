#include "config/ConfigStore.h"

#include <array>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "config/AtomicFile.h"
#include "config/Json.h"

namespace Config {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// Groups of kinds that can stand for one another in a file: any number for
// a number, and so on. A null entry takes anything.
enum class KindGroup { Any, Number, Bool, String, Array, Object };

KindGroup groupOf(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Null: return KindGroup::Any;
        case Value::Kind::Bool: return KindGroup::Bool;
        case Value::Kind::String: return KindGroup::String;
        case Value::Kind::Array: return KindGroup::Array;
        case Value::Kind::Object: return KindGroup::Object;
        default: return KindGroup::Number;
    }
}

bool sameKindGroup(const Value& current, const Value& incoming) {
    auto group = groupOf(current);
    return group == KindGroup::Any || group == groupOf(incoming);
}

// Reads a JSON file leniently; null when it is missing or no JSON.
Value readJsonFile(const std::string& path) {
    Value document;
    std::ifstream in(path, std::ios::binary);
    if (in) in >> document;
    return document;
}

struct NamedMode {
    const char* name;
    ImageGeometry geometry;
    int index;
};

// camera_mode → image, source and calibration sizes and the mode code.
constexpr std::array<NamedMode, 5> kModes{{
    {"VGA", {640, 480, 640, 480, 640, 480, 1}, 1},
    {"HVGA", {640, 240, 640, 240, 640, 480, 2}, 2},
    {"QVGA", {320, 240, 320, 240, 640, 480, 2}, 3},
    {"HHVGA", {640, 120, 640, 120, 640, 480, 4}, 4},
    {"QHVGA", {320, 120, 320, 120, 640, 480, 4}, 5},
}};

const NamedMode* findMode(const Store& store) {
    std::string mode;
    if (!store.get("camera_mode", mode)) return nullptr;
    for (const auto& named : kModes) {
        if (mode == named.name) return &named;
    }
    return nullptr;
}

}  // namespace

std::unique_lock<std::recursive_mutex> Store::lock() const {
    return std::unique_lock<std::recursive_mutex>(m_storeLock);
}

void Store::setDefault(const std::string& key, const Value& value, int32_t level) {
    Lock lock(m_storeLock);
    m_attributes[key] = Attribute{value, level};
}

void Store::clearAttributes() {
    Lock lock(m_storeLock);
    m_attributes.clear();
    m_persisted.clear();
}

bool Store::set(const std::string& key, const Value& value, bool persist) {
    Lock lock(m_storeLock);
    if (auto it = m_attributes.find(key); it != m_attributes.end()) {
        Attribute& attribute = it->second;
        if (attribute.level == 0) return false;
        // Values count as equal when their JSON texts are, so an int 5 does
        // not replace a double 5.0, and a value read back from the file that
        // equals the default is not kept for saving.
        if (Json::toJson(attribute.value, true, false) != Json::toJson(value, true, false)) {
            attribute.value = value;
            if (persist) m_persisted[key] = value;
            notify(key, value);
        }
        return true;
    }
    if (auto it = m_dynamic.find(key); it != m_dynamic.end()) {
        auto entry = it->second;  // a listener may remove the entry meanwhile
        bool taken = entry->set(value);
        if (taken) notify(key, value);
        return taken;
    }
    return false;
}

bool Store::get(const std::string& key, Value& value) const {
    Lock lock(m_storeLock);
    if (auto it = m_attributes.find(key); it != m_attributes.end()) {
        value = it->second.value;
        return true;
    }
    if (auto it = m_dynamic.find(key); it != m_dynamic.end()) {
        value = it->second->get();
        return true;
    }
    return false;
}

namespace {
template <class T, class Convert>
bool getConverted(const Store& store, const std::string& key, T& out, Convert convert) {
    Value value;
    if (!store.get(key, value)) return false;
    out = convert(value);
    return true;
}
}  // namespace

bool Store::get(const std::string& key, int32_t& value) const {
    return getConverted(*this, key, value, [](const Value& v) { return v.toInt(); });
}
bool Store::get(const std::string& key, uint32_t& value) const {
    return getConverted(*this, key, value, [](const Value& v) { return v.toUnsigned(); });
}
bool Store::get(const std::string& key, double& value) const {
    return getConverted(*this, key, value, [](const Value& v) { return v.toDouble(); });
}
bool Store::get(const std::string& key, bool& value) const {
    return getConverted(*this, key, value, [](const Value& v) { return v.toBool(); });
}
bool Store::get(const std::string& key, std::string& value) const {
    return getConverted(*this, key, value, [](const Value& v) { return v.toString(); });
}

std::map<std::string, Value> Store::values() const {
    Lock lock(m_storeLock);
    std::map<std::string, Value> all;
    for (const auto& [key, attribute] : m_attributes) all.emplace(key, attribute.value);
    for (const auto& [key, entry] : m_dynamic) all.emplace(key, entry->get());
    return all;
}

std::map<std::string, Value> Store::persistedValues() const {
    Lock lock(m_storeLock);
    return m_persisted;
}

bool Store::addDynamic(const std::string& key, std::shared_ptr<DynamicAttribute> entry) {
    Lock lock(m_storeLock);
    if (!entry || m_attributes.count(key) || m_dynamic.count(key)) return false;
    Value current = entry->get();
    m_dynamic.emplace(key, std::move(entry));
    notify(key, current);
    return true;
}

bool Store::removeDynamic(const std::string& key) {
    Lock lock(m_storeLock);
    // The entry is destroyed after the listeners ran, outside the map.
    auto it = m_dynamic.find(key);
    if (it == m_dynamic.end()) return false;
    auto removed = std::move(it->second);
    m_dynamic.erase(it);
    notify(key, Value());
    return true;
}

void Store::addListener(const std::string& name, Listener listener) {
    Lock lock(m_storeLock);
    m_listeners[name] = std::move(listener);
}

void Store::removeListener(const std::string& name) {
    Lock lock(m_storeLock);
    m_listeners.erase(name);
}

void Store::notify(const std::string& key, const Value& value) {
    // A listener may add or remove listeners while it runs: call a snapshot.
    auto listeners = m_listeners;
    for (const auto& [name, listener] : listeners) {
        if (listener) listener(key, value);
    }
}

void Store::registerFile(const std::string& path, const std::string& section) {
    Lock lock(m_storeLock);
    bool first = m_sectionFiles.empty();
    m_sectionFiles[section] = path;
    if (first) m_sectionFiles[""] = path;
}

std::string Store::sectionFile(const std::string& section) const {
    Lock lock(m_storeLock);
    if (auto it = m_sectionFiles.find(section); it != m_sectionFiles.end()) return it->second;
    if (auto it = m_sectionFiles.find(""); it != m_sectionFiles.end()) return it->second;
    return {};
}

void Store::loadSection(const std::string& path, const std::string& section) {
    std::ifstream in(path, std::ios::binary);
    // Registered even when missing: the first save then creates the file.
    registerFile(path, section);
    if (!in) throw FileError("Configuration file " + path + " not found");
    // Read whole, so that a parse failure can say on which line it is.
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    Value document;
    try {
        document = Json::parse(text);
    } catch (const Json::ParseError& error) {
        throw FileError("Error parsing config file: " + path, error.where());
    }
    if (!document.isObject()) {
        throw FileError("Error parsing config file: " + path, "the document is not a JSON object");
    }
    Value members = document.member(section);
    if (!members.isObject()) {
        throw FileError("Section '" + section + "' not found: " + path);
    }
    for (const auto& [key, value] : *members.as<Value::Object>()) {
        Lock lock(m_storeLock);
        // A value of the wrong kind would reach its reader converted to
        // nonsense (a text read as port 0, say); the default stays instead.
        if (auto it = m_attributes.find(key); it != m_attributes.end() && !sameKindGroup(it->second.value, value)) {
            continue;
        }
        set(key, value, true);
    }
    if (!applyImageMode()) throw FileError("Error loading image config");
}

bool Store::save(const std::string& section) {
    Lock lock(m_storeLock);
    if (m_persisted.empty()) return false;
    const std::string path = sectionFile(section);
    if (path.empty()) return false;

    // Every other member of the file is kept as it was read. So are the
    // user's settings already in the section that this run did not change:
    // the tool applies the defaults again after start-up, which forgets what
    // was read from the file, and writing the section from the persisted
    // values alone would drop them all. Unknown keys and values equal to the
    // current ones (the defaults) are still left out.
    Value document = readJsonFile(path);
    if (!document.isObject()) document = Value(Value::Object());
    Value::Object members;
    const Value existing = document.member(section);
    if (const auto* inFile = existing.as<Value::Object>()) {
        for (const auto& [key, value] : *inFile) {
            auto attribute = m_attributes.find(key);
            if (attribute == m_attributes.end() || attribute->second.level == 0) continue;
            if (Json::toJson(value, true, false) == Json::toJson(attribute->second.value, true, false)) {
                continue;
            }
            members.insert_or_assign(key, value);
        }
    }
    for (const auto& [key, value] : m_persisted) members.insert_or_assign(key, value);
    document.setMember(section, Value(std::move(members)));

    return writeFileAtomically(path, Json::toJson(document, /*escapeSlash=*/false, /*pretty=*/true));
}

// With a named "camera_mode" the geometry comes from the table above.
// Otherwise the six size entries are read in a fixed order, each one stored
// as it is found, stopping at the first missing one; the mode code stays.
bool Store::applyImageMode() {
    Lock lock(m_storeLock);
    if (const NamedMode* named = findMode(*this)) {
        m_geometry = named->geometry;
        return true;
    }
    int32_t* targets[] = {&m_geometry.width,       &m_geometry.height,      &m_geometry.calibWidth,
                          &m_geometry.calibHeight, &m_geometry.sourceWidth, &m_geometry.sourceHeight};
    const char* keys[] = {"image_width",        "image_height",       "image_calib_width",
                          "image_calib_height", "image_source_width", "image_source_height"};
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        if (!get(keys[i], *targets[i])) return false;
    }
    return true;
}

int Store::imageModeIndex() const {
    Lock lock(m_storeLock);
    const NamedMode* named = findMode(*this);
    return named ? named->index : 2;
}

void Store::imageSize(int32_t& width, int32_t& height, int32_t& modeCode) const {
    Lock lock(m_storeLock);
    width = m_geometry.width;
    height = m_geometry.height;
    modeCode = m_geometry.modeCode;
}

void Store::imageCalibSize(int32_t& width, int32_t& height) const {
    Lock lock(m_storeLock);
    width = m_geometry.calibWidth;
    height = m_geometry.calibHeight;
}

ImageGeometry Store::imageGeometry() const {
    Lock lock(m_storeLock);
    return m_geometry;
}

Store& store() {
    static Store* const instance = new Store();
    return *instance;
}

}  // namespace Config
