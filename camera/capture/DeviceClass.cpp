#include "camera/capture/DeviceClass.h"

#include <string_view>

int deviceClassForSerial(const std::string& serial) {
    const std::string_view s(serial);
    int code = kDeviceClassUnknown;
    if (s == "OLDKIT") {
        code = kDeviceClassOldKit;
    } else if (s.starts_with("MKT-21")) {
        code = kDeviceClassMkt21;
    } else if (s.starts_with("MKT-36")) {
        code = kDeviceClassMkt36;
    } else if (s.starts_with("MKT-48")) {
        code = kDeviceClassMkt48;
    } else if (s.starts_with("MKT-57")) {
        code = kDeviceClassMkt57;
    } else if (s.starts_with("QK")) {
        code = kDeviceClassQk;
    }
    // A later revision of the MKT-21 kit that behaves like the QK controllers.
    if (s.starts_with("MKT-21900")) code = kDeviceClassQk;
    return code;
}
