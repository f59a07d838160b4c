#include "tools/FileBytes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

std::string Describe(const std::string& path, int error) { return path + ": " + std::strerror(error); }

}  // namespace

std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = Describe(path, errno);
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = Describe(path, errno);
        return std::nullopt;
    }
    return bytes;
}

bool WriteFileBytes(const std::string& path, std::span<const std::uint8_t> bytes, std::string& error) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (!file) {
            error = Describe(temporary, errno);
            return false;
        }
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        file.close();
        if (!file) {
            error = Describe(temporary, errno);
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = Describe(path, errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
