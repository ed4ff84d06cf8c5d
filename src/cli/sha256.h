#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace trunvex {

// SHA-256 fed piece by piece, from the system's own library (OpenSSL's EVP interface on Linux,
// BCrypt on Windows).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::span<const std::uint8_t> bytes) noexcept;
    // The digest in lower-case hex; empty when the library failed. Ends this hash.
    [[nodiscard]] std::string hexDigest();

private:
    struct State;
    std::unique_ptr<State> state;
};

// The SHA-256 of a whole file in lower-case hex; empty, with `failure` set, when it could
// not be read.
[[nodiscard]] std::string sha256OfFile(const std::string& path, std::string& failure);

}  // namespace trunvex
