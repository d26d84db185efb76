// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include "fleet/sha256.h"

namespace {

constexpr ULONG kDigestSize = 32;

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;

    State() {
        // The hash object's memory is left to the system (Windows 7 and later).
        failed = !Succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM,
                                                        nullptr, 0)) ||
                 !Succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    }
    ~State() {
        if (hash != nullptr) BCryptDestroyHash(hash);
        if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t size) {
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (!state_->failed && size > 0) {
        // BCryptHashData takes a ULONG count.
        const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (!Succeeded(BCryptHashData(state_->hash, bytes, piece, 0))) state_->failed = true;
        bytes += piece;
        size -= piece;
    }
}

std::string Sha256::HexDigest() {
    UCHAR digest[kDigestSize];
    if (state_->failed || !Succeeded(BCryptFinishHash(state_->hash, digest, kDigestSize, 0)))
        return "";
    state_->failed = true;  // finished: no further use
    return HexOfDigest(digest, kDigestSize);
}
