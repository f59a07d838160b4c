// tyvo-chunk: packs an image into a firmware chunk file, or unpacks one.
#include <iostream>
#include <string>
#include <string_view>

#include "firmware/ChunkFile.h"
#include "tools/ChunkWriter.h"
#include "tools/FileBytes.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: tyvo-chunk IN OUT               pack the image IN into the chunk file OUT\n"
    "       tyvo-chunk --synthetic IN OUT   the same, marked as a synthetic development\n"
    "                                       image (tyvo-reset refuses it on real hardware)\n"
    "       tyvo-chunk -d IN OUT            unpack the chunk file IN into the image OUT\n";

int Fail(std::string_view message) {
    std::cerr << "tyvo-chunk: " << message << "\n";
    return 1;
}

int Pack(const std::string& in, const std::string& out, ChunkMark mark) {
    std::string error;
    const auto image = ReadFileBytes(in, error);
    if (!image) {
        return Fail(error);
    }
    if (!WriteChunkFile(*image, out, error, mark)) {
        return Fail(error);
    }
    return 0;
}

int Unpack(const std::string& in, const std::string& out) {
    std::string error;
    const auto file = ReadFileBytes(in, error);
    if (!file) {
        return Fail(error);
    }
    FirmwareImage image;
    ReadFirmwareImageFromMemory(*file, image, kControllerImageMaxSize);
    // The reader has said why on its own lines; an empty image is never
    // worth writing out.
    if (image.empty()) {
        return Fail(in + " holds no usable image");
    }
    if (!WriteFileBytes(out, image, error)) {
        return Fail(error);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3) {
        return Pack(argv[1], argv[2], ChunkMark::None);
    }
    if (argc == 4 && std::string_view(argv[1]) == "--synthetic") {
        return Pack(argv[2], argv[3], ChunkMark::Synthetic);
    }
    if (argc == 4 && std::string_view(argv[1]) == "-d") {
        return Unpack(argv[2], argv[3]);
    }
    std::cerr << kUsage;
    return 2;
}
