#pragma once
// What a FunctionFS function tells the kernel about itself before it can be
// bound: its interface descriptors for full and high speed, and their
// strings. The device descriptor and the configuration around the function
// are the gadget's (configfs); this is only the function's part, taken
// from the model's own configuration so that the host meets the interface
// the model describes.

#include "sim/UsbDescriptors.h"

#include <string>

namespace tyvo::sim::gadget {

// The descriptor block (FunctionFS v2 format) for the interfaces of the
// model's first configuration, flagged so that requests addressed to the
// device, not only to the function's interface, reach the program: the FX3
// takes its vendor requests with the device as recipient. Throws
// std::invalid_argument when the configuration cannot be served on ep0
// alone (it has endpoints, or no interface) or does not parse.
Bytes FunctionFsDescriptorBlock(const DeviceDescriptors& descriptors);

// The strings block: US English only, one string, the name the interface
// descriptors point at with iInterface 1.
Bytes FunctionFsStringsBlock(const std::string& interfaceName);

}  // namespace tyvo::sim::gadget
