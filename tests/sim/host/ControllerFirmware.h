#pragma once

// Controller images in a folder of their own, for the in-place update under
// the emulation host: app1.dat and app2.dat, and the plain app1.img and
// app2.img the host compares the controller's new firmware with. Small by
// default, so that the update (one control request per 16-bit word) is
// quick.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "tests/support/TempFolder.h"
#include "tools/ChunkWriter.h"
#include "tools/SyntheticImages.h"

class ControllerFirmware {
public:
    // With `mismatch`, the plain app2.img the host checks against is not
    // the image app2.dat holds.
    explicit ControllerFirmware(bool mismatch = false, std::size_t size = 8192) {
        for (int n : {1, 2}) {
            ControllerImageOptions options;
            options.size = size;
            options.seed = static_cast<std::uint64_t>(n);
            const FirmwareImage image = MakeControllerImage(options);
            const std::string base = m_folder.file("app" + std::to_string(n));
            std::string error;
            EXPECT_TRUE(WriteChunkFile(image, base + ".dat", error)) << error;
            ControllerImageOptions plain = options;
            if (mismatch) plain.seed += 10;
            const FirmwareImage written = MakeControllerImage(plain);
            std::ofstream(base + ".img", std::ios::binary)
                .write(reinterpret_cast<const char*>(written.data()), static_cast<std::streamsize>(written.size()));
        }
    }
    std::string folder() const { return m_folder.string(); }

private:
    TempFolder m_folder{"tyvo-scenario"};
};
