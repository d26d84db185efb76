#include "fleet/sha256.h"

#include <filesystem>
#include <fstream>

std::string HexOfDigest(const unsigned char* digest, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0F];
    }
    return hex;
}

std::string Sha256OfFile(const std::string& path) {
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())),
                     std::ios::binary);
    if (!in) return "";
    Sha256 hash;
    char buffer[16384];
    while (in) {
        in.read(buffer, sizeof buffer);
        hash.Update(buffer, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) return "";
    return hash.HexDigest();
}
