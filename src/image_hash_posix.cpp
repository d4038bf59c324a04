#include "image_hash.h"

#include <nettle/sha2.h>

struct sha256_state {
    sha256_ctx ctx;
};

void sha256_state_free::operator()(sha256_state* state) const { delete state; }

sha256_hash sha256_start() {
    sha256_hash hash(new sha256_state);
    sha256_init(&hash->ctx);
    return hash;
}

void sha256_add(sha256_hash& hash, const std::uint8_t* data, std::size_t n) {
    sha256_update(&hash->ctx, n, data);
}

bool sha256_finish(sha256_hash& hash, sha256_value& digest) {
    sha256_digest(&hash->ctx, digest.size(), digest.data());
    return true;
}
