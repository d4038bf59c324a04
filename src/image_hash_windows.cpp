#include "image_hash.h"

#include <windows.h>

#include <bcrypt.h>

struct sha256_state {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
};

void sha256_state_free::operator()(sha256_state* state) const {
    if (state->hash) BCryptDestroyHash(state->hash);
    if (state->algorithm) BCryptCloseAlgorithmProvider(state->algorithm, 0);
    delete state;
}

sha256_hash sha256_start() {
    sha256_hash hash(new sha256_state);
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&hash->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(BCryptCreateHash(hash->algorithm, &hash->hash, nullptr, 0, nullptr, 0, 0)))
        return nullptr;
    return hash;
}

void sha256_add(sha256_hash& hash, const std::uint8_t* data, std::size_t n) {
    // BCrypt counts in 32 bits.
    constexpr std::size_t PIECE = 1u << 30;
    while (n > 0 && !hash->failed) {
        std::size_t piece = n < PIECE ? n : PIECE;
        if (!BCRYPT_SUCCESS(BCryptHashData(hash->hash, const_cast<PUCHAR>(data), static_cast<ULONG>(piece), 0)))
            hash->failed = true;
        data += piece;
        n -= piece;
    }
}

bool sha256_finish(sha256_hash& hash, sha256_value& digest) {
    return !hash->failed &&
           BCRYPT_SUCCESS(BCryptFinishHash(hash->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
}
