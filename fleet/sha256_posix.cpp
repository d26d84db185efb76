#include <openssl/evp.h>

#include "fleet/sha256.h"

struct Sha256::State {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool failed = false;

    State() {
        failed = context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1;
    }
    ~State() { EVP_MD_CTX_free(context); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t size) {
    if (state_->failed || size == 0) return;
    if (EVP_DigestUpdate(state_->context, data, size) != 1) state_->failed = true;
}

std::string Sha256::HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (state_->failed || EVP_DigestFinal_ex(state_->context, digest, &length) != 1) return "";
    state_->failed = true;  // finished: no further use
    return HexOfDigest(digest, length);
}
