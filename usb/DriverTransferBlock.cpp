#include "usb/DriverTransferBlock.h"

DriverTransferBlock::DriverTransferBlock(std::size_t trailingBytes) : m_bytes(kHeaderSize + trailingBytes, 0) {}
