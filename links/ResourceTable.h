#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// The named data streams clients may subscribe to, each with its bit in the
// active resource mask and a count of subscribing clients.
class ResourceTable {
public:
    ResourceTable();

    bool known(const std::string& name) const { return m_entries.count(name) != 0; }
    std::optional<uint32_t> bit(const std::string& name) const;
    int subscribers(const std::string& name) const;

    // One more subscriber; false for an unknown name.
    bool acquire(const std::string& name);
    // One subscriber fewer; true when the count reached 0.
    bool release(const std::string& name);

    // The OR of the bits of every resource with subscribers.
    uint32_t mask() const;

private:
    struct Entry {
        uint32_t bit;
        int count = 0;
    };
    std::map<std::string, Entry> m_entries;
};
