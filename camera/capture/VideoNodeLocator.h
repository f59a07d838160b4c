#pragma once

#include <string>
#include <vector>

// Finds the video nodes of a USB camera from its device path through sysfs.
// The device path is usb#vid_xxxx&pid_xxxx#<bus>-<port chain>; the USB
// device is /sys/bus/usb/devices/<bus>-<port chain>, and each video node sits
// below one of its interfaces as <interface>/video4linux/videoN, which the
// kernel makes /dev/videoN.

// "1-2.3" from "usb#vid_f182&pid_0003#1-2.3"; empty when the path has no
// well-formed port part.
std::string portChainFromDevicePath(const std::wstring& devicePath);

struct VideoNode {
    std::string name;        // "video0"
    std::string sysfsPath;   // .../1-2/1-2:1.0/video4linux/video0
    std::string devicePath;  // /dev/video0
};

// The video nodes below the USB device at `portChain`, by number (video0
// before video2 before video10). `sysfsRoot` and `devRoot` are "/sys" and
// "/dev" outside tests.
std::vector<VideoNode> videoNodesOf(const std::string& portChain, const std::string& sysfsRoot = "/sys",
                                    const std::string& devRoot = "/dev");

// Whether the node is still in sysfs: a vanished device takes it along.
bool videoNodePresent(const VideoNode& node);
