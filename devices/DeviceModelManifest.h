#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "devices/core/DeviceModel.h"

// The fixed list of supported USB devices, in matching order. Built once and
// never changed, so any thread may read it without a lock.
class DeviceModelManifest {
public:
    DeviceModelManifest();

    // A manifest with other rows, for hosts that support other devices (and
    // for tests of the matching machinery).
    explicit DeviceModelManifest(std::vector<std::shared_ptr<DeviceModelBase>> models) : m_models(std::move(models)) {}

    const std::vector<std::shared_ptr<DeviceModelBase>>& Models() const { return m_models; }

    // The first model with this kind, vendor and product, or empty.
    std::shared_ptr<DeviceModelBase> Match(uint32_t kind, uint32_t vendorId, uint32_t productId) const;

private:
    std::vector<std::shared_ptr<DeviceModelBase>> m_models;
};
