#include "links/ResourceTable.h"

ResourceTable::ResourceTable() {
    static const std::pair<const char*, uint32_t> kResources[] = {
        {"FingerPoints", 0x2},           {"PalmPoints", 0x1},
        {"ProfilingStatistics", 0x40},   {"Motions", 0x200},
        {"InteractionBox", 0x100},       {"Gestures:Circle", 0x800},
        {"Gestures:Grab", 0x1000},       {"Gestures:Pinch", 0x2000},
        {"Gestures:Rotate", 0x4000},     {"Gestures:Swipe", 0x8000},
        {"Gestures:ScreenTap", 0x10000}, {"Gestures:KeyTap", 0x20000},
        {"Gestures:Zoom", 0x40000},      {"Felines", 0x80},
        {"Deinotheriums", 0x4},          {"PointInfos", 0x20},
        {"Clusters", 0x80000},           {"ClusterGroups", 0x100000},
        {"OriginalImages", 0x40000000},  {"RectImages", 0x80000000},
        {"VelocityField", 0x200000},
    };
    for (const auto& [name, bit] : kResources) m_entries.emplace(name, Entry{bit});
}

std::optional<uint32_t> ResourceTable::bit(const std::string& name) const {
    auto it = m_entries.find(name);
    if (it == m_entries.end()) return std::nullopt;
    return it->second.bit;
}

int ResourceTable::subscribers(const std::string& name) const {
    auto it = m_entries.find(name);
    return it == m_entries.end() ? 0 : it->second.count;
}

bool ResourceTable::acquire(const std::string& name) {
    auto it = m_entries.find(name);
    if (it == m_entries.end()) return false;
    ++it->second.count;
    return true;
}

bool ResourceTable::release(const std::string& name) {
    auto it = m_entries.find(name);
    if (it == m_entries.end() || it->second.count == 0) return false;
    return --it->second.count == 0;
}

uint32_t ResourceTable::mask() const {
    uint32_t mask = 0;
    for (const auto& [name, entry] : m_entries) {
        if (entry.count > 0) mask |= entry.bit;
    }
    return mask;
}
