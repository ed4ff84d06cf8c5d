// SHA-256 through Windows' own cryptography (BCrypt): OpenSSL is no part of the system there.
#include <windows.h>
// Needs the types windows.h declares.
#include <bcrypt.h>

#include "cli/sha256.h"

namespace trunvex {

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;
};

Sha256::Sha256() : state(std::make_unique<State>()) {
    state->ok =
        BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
        BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0) == 0;
}

Sha256::~Sha256() {
    if (state->hash != nullptr) {
        BCryptDestroyHash(state->hash);
    }
    if (state->algorithm != nullptr) {
        BCryptCloseAlgorithmProvider(state->algorithm, 0);
    }
}

void Sha256::update(std::span<const std::uint8_t> bytes) noexcept {
    if (state->ok && !bytes.empty()) {
        state->ok = BCryptHashData(state->hash, const_cast<PUCHAR>(bytes.data()),
                                   static_cast<ULONG>(bytes.size()), 0) == 0;
    }
}

std::string Sha256::hexDigest() {
    UCHAR digest[32];
    if (!state->ok || BCryptFinishHash(state->hash, digest, sizeof digest, 0) != 0) {
        state->ok = false;
        return {};
    }
    state->ok = false;
    static constexpr char HEX[] = "0123456789abcdef";
    std::string text;
    for (const UCHAR byte : digest) {
        text += HEX[byte >> 4];
        text += HEX[byte & 0x0F];
    }
    return text;
}

}  // namespace trunvex
