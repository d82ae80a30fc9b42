// SHA-256 (FIPS 180-4) in pure C++, for the per-row input hashes of results:
// one call per short message, no allocation, digests as lower-case hex.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dag::core {

/// The round constants (16-byte aligned, shared by both implementations).
extern const uint32_t SHA256_K[64];

/// The 32-byte digest of `len` bytes at `data`.
void sha256(const void* data, size_t len, uint8_t out[32]);

/// The 64-character hexadecimal digest with the CPU's SHA extensions; false
/// (nothing written) when the CPU has none.
bool sha256_hex_accelerated(const void* data, size_t len, char out[64]);

/// The 64-character lower-case hexadecimal digest (no terminator written);
/// the CPU's SHA extensions when it has them.
void sha256_hex(const void* data, size_t len, char out[64]);

}  // namespace dag::core
