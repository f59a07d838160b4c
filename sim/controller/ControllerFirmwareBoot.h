#pragma once
// What an FX3 runs when its flash holds a valid controller image: the
// controller in normal operation, with the image's firmware version and the
// serial number personalisation wrote into it. Plug it into the chip with
// Fx3Options::firmwareBoot = controllerFirmwareBoot().

#include "sim/Fx3BootImageCheck.h"
#include "sim/Fx3Chip.h"
#include "sim/controller/UvcControllerModel.h"

#include <functional>
#include <memory>
#include <string>

namespace tyvo::sim {

// The serial in a controller image: the controller firmware keeps its
// identity area, whose first 14 bytes personalisation fills with the serial,
// 128 bytes before the version tag. Empty while the area still holds the
// unpersonalised marker, or when the image has no version tag.
std::string serialInControllerImage(const Fx3BootImageInfo& image);

// The power-up hook. `base` gives everything else of the controller
// (calibration, frame rate, faults are set on the model afterwards).
std::function<std::shared_ptr<UsbDeviceModel>(Fx3Chip&, const Fx3BootImageInfo&)> controllerFirmwareBoot(
    UvcControllerOptions base = {});

}  // namespace tyvo::sim
