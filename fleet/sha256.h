// SHA-256 from the system's own cryptography (libcrypto on POSIX, BCrypt on
// Windows), for the service log's record of which files went where.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, std::size_t size);
    // The digest of everything given, as 64 lowercase hex digits; empty when
    // the library failed at any step. Call it once.
    std::string HexDigest();

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// The digest of a file's contents (the path in UTF-8); empty when the file
// cannot be read.
std::string Sha256OfFile(const std::string& path);

// 32 digest bytes as lowercase hex.
std::string HexOfDigest(const unsigned char* digest, std::size_t size);
