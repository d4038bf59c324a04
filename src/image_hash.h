// SHA-256 from the platform's well-kept implementation (Nettle on POSIX,
// BCrypt on Windows), fed in pieces.
#ifndef SEGSPLICE_IMAGE_HASH_H
#define SEGSPLICE_IMAGE_HASH_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

struct sha256_state;
struct sha256_state_free {
    void operator()(sha256_state* state) const;
};
using sha256_hash = std::unique_ptr<sha256_state, sha256_state_free>;
using sha256_value = std::array<std::uint8_t, 32>;

// A fresh hash; null only when the platform refuses to provide one.
sha256_hash sha256_start();

// Adds n bytes. REQUIRES: hash is not null.
void sha256_add(sha256_hash& hash, const std::uint8_t* data, std::size_t n);

// The digest of everything added; false when the platform failed. The hash
// is spent afterwards.
bool sha256_finish(sha256_hash& hash, sha256_value& digest);

#endif
