// tyvo-mkimage: writes a synthetic FX3 boot image (plain, not chunked).
#include <charconv>
#include <cstdint>
#include <iostream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tools/FileBytes.h"
#include "tools/SyntheticImages.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: tyvo-mkimage KIND OUT [--size BYTES] [--seed N] [--version V]\n"
    "  KIND          bootprog    boot programmer image (app0)\n"
    "                controller  controller firmware image (app1, app2)\n"
    "  --size BYTES  size of the whole image (default 102400 for bootprog,\n"
    "                307200 for controller)\n"
    "  --seed N      seed of the pseudo-random content (default 0 for bootprog,\n"
    "                1 for controller)\n"
    "  --version V   firmware version a controller image carries (default 17)\n";

// Decimal or 0x-prefixed hexadecimal, the whole text, within max.
std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

int UsageError(std::string_view problem) {
    std::cerr << "tyvo-mkimage: " << problem << "\n" << kUsage;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return UsageError("expected KIND and OUT");
    }
    const std::string_view kind = argv[1];
    const std::string out = argv[2];
    const bool controller = kind == "controller";
    if (!controller && kind != "bootprog") {
        return UsageError("unknown KIND '" + std::string(kind) + "'");
    }

    BootProgrammerOptions bootProgrammer;
    ControllerImageOptions controllerImage;
    for (int i = 3; i < argc; i += 2) {
        const std::string_view option = argv[i];
        if (i + 1 >= argc) {
            return UsageError("option " + std::string(option) + " needs a value");
        }
        const std::string_view text = argv[i + 1];
        if (option == "--size") {
            const auto size = ParseNumber(text, std::numeric_limits<std::uint32_t>::max());
            if (!size) {
                return UsageError("bad size '" + std::string(text) + "'");
            }
            bootProgrammer.size = controllerImage.size = static_cast<std::size_t>(*size);
        } else if (option == "--seed") {
            const auto seed = ParseNumber(text, std::numeric_limits<std::uint64_t>::max());
            if (!seed) {
                return UsageError("bad seed '" + std::string(text) + "'");
            }
            bootProgrammer.seed = controllerImage.seed = *seed;
        } else if (option == "--version" && controller) {
            const auto version = ParseNumber(text, std::numeric_limits<std::uint16_t>::max());
            if (!version) {
                return UsageError("bad version '" + std::string(text) + "'");
            }
            controllerImage.firmwareVersion = static_cast<std::uint16_t>(*version);
        } else {
            return UsageError("unknown option " + std::string(option));
        }
    }

    try {
        const FirmwareImage image =
            controller ? MakeControllerImage(controllerImage) : MakeBootProgrammerImage(bootProgrammer);
        std::string error;
        if (!WriteFileBytes(out, image, error)) {
            std::cerr << "tyvo-mkimage: " << error << "\n";
            return 1;
        }
    } catch (const std::invalid_argument& e) {
        std::cerr << "tyvo-mkimage: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
