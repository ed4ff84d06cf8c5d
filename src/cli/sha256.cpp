#include "cli/sha256.h"

#include <openssl/evp.h>

namespace trunvex {

struct Sha256::State {
    EVP_MD_CTX* ctx = nullptr;
    bool ok = false;
};

Sha256::Sha256() : state(std::make_unique<State>()) {
    state->ctx = EVP_MD_CTX_new();
    state->ok = state->ctx != nullptr && EVP_DigestInit_ex(state->ctx, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(state->ctx);
}

void Sha256::update(std::span<const std::uint8_t> bytes) noexcept {
    if (state->ok && !bytes.empty()) {
        state->ok = EVP_DigestUpdate(state->ctx, bytes.data(), bytes.size()) == 1;
    }
}

std::string Sha256::hexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!state->ok || EVP_DigestFinal_ex(state->ctx, digest, &length) != 1) {
        state->ok = false;
        return {};
    }
    state->ok = false;
    static constexpr char HEX[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += HEX[digest[i] >> 4];
        text += HEX[digest[i] & 0x0F];
    }
    return text;
}

}  // namespace trunvex
