// TESSEL-32: the 32-bit provenance value, its layout and the pure operations
// on it. Plain C++ (no Python); docs/tessel32.md describes every bit.
//
//   bit 31      T  taint: the value derives from protected data
//   bits 28-30  D  derivation depth, saturating at 7
//   bits 26-27  M  mode: how bits 0-25 hold the sources
//   mode 0 SINGLE  bits 14-25 pair id (0 = no source), 6-13 entity, 0-5 chain
//   mode 1 PAIR    bits 20-25 higher pair id, 14-19 lower pair id,
//                  6-13 entity, 0-5 chain
//   mode 2 SET     bits 6-25 bitmap of pair ids 1..20, 0-5 chain
//   mode 3 BLOOM   bits 6-25 Bloom filter of the pair ids (k = 2), 0-5 chain
//
// The value 0 means "no provenance" and is kept by every operation:
// combine(0, 0) == 0 and update_chain(0) == 0; combine(0, p) ==
// update_chain(p).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace tessel32 {

// ---- layout ----------------------------------------------------------------

/// Bits set in x, without a library call on targets built without popcnt.
constexpr int popcount64(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return (int) ((x * 0x0101010101010101ull) >> 56);
}

inline constexpr uint32_t TAINT_BIT = 1u << 31;
inline constexpr int DEPTH_SHIFT = 28;
inline constexpr uint32_t DEPTH_MAX = 7;
inline constexpr uint32_t DEPTH_MASK = DEPTH_MAX << DEPTH_SHIFT;
inline constexpr int MODE_SHIFT = 26;
inline constexpr uint32_t MODE_MASK = 3u << MODE_SHIFT;
inline constexpr uint32_t PAYLOAD_MASK = (1u << MODE_SHIFT) - 1;  // bits 0-25

inline constexpr uint32_t MODE_SINGLE = 0;
inline constexpr uint32_t MODE_PAIR = 1;
inline constexpr uint32_t MODE_SET = 2;
inline constexpr uint32_t MODE_BLOOM = 3;

inline constexpr int CHAIN_BITS = 6;
inline constexpr uint32_t CHAIN_MASK = (1u << CHAIN_BITS) - 1;
inline constexpr int ENTITY_SHIFT = 6;
inline constexpr int ENTITY_BITS = 8;
inline constexpr uint32_t ENTITY_MAX = (1u << ENTITY_BITS) - 1;
inline constexpr int PAIRS_SHIFT = 14;                 // modes 0 and 1
inline constexpr uint32_t SINGLE_ID_MAX = (1u << 12) - 1;  // 4095
inline constexpr int SLOT_BITS = 6;                    // mode 1 slots
inline constexpr uint32_t SLOT_ID_MAX = (1u << SLOT_BITS) - 1;  // 63
inline constexpr int FIELD_SHIFT = 6;                  // modes 2 and 3
inline constexpr int FIELD_BITS = 20;
inline constexpr uint32_t FIELD_MASK = (1u << FIELD_BITS) - 1;
inline constexpr uint32_t SET_ID_MAX = FIELD_BITS;     // mode 2 holds ids 1..20
/// The largest number of sources a value holds exactly (mode 2).
inline constexpr int MAX_PAIRS = FIELD_BITS;

constexpr uint32_t mode_of(uint32_t p) { return (p & MODE_MASK) >> MODE_SHIFT; }
constexpr uint32_t depth_of(uint32_t p) { return (p & DEPTH_MASK) >> DEPTH_SHIFT; }
constexpr bool taint_of(uint32_t p) { return (p & TAINT_BIT) != 0; }
constexpr uint32_t chain_of(uint32_t p) { return p & CHAIN_MASK; }
/// Entity tag (modes 0 and 1 only; 0 in modes 2 and 3).
constexpr uint32_t entity_of(uint32_t p) {
  return mode_of(p) <= MODE_PAIR ? (p >> ENTITY_SHIFT) & ENTITY_MAX : 0;
}
constexpr uint32_t header(bool taint, uint32_t depth, uint32_t mode) {
  return (taint ? TAINT_BIT : 0) | ((depth > DEPTH_MAX ? DEPTH_MAX : depth) << DEPTH_SHIFT) |
         (mode << MODE_SHIFT);
}

// ---- mixing ----------------------------------------------------------------

/// MurmurHash3's 32-bit finaliser.
constexpr uint32_t fmix32(uint32_t x) {
  x ^= x >> 16;
  x *= 0x85EBCA6Bu;
  x ^= x >> 13;
  x *= 0xC2B2AE35u;
  x ^= x >> 16;
  return x;
}
constexpr uint32_t op_key(uint32_t op) { return fmix32(op + 0x9E3779B9u); }
constexpr uint32_t chain_unary(uint32_t c, uint32_t op) {
  return fmix32(op_key(op) ^ c ^ 0x100u) & CHAIN_MASK;
}
constexpr uint32_t chain_binary(uint32_t ca, uint32_t cb, uint32_t op) {
  return fmix32(op_key(op) ^ (ca | (cb << CHAIN_BITS)) ^ 0x2000u) & CHAIN_MASK;
}
/// Entity tag of a value derived from two tagged values.
constexpr uint32_t entity_mix(uint32_t ea, uint32_t eb) {
  if (ea == eb || eb == 0) return ea;
  if (ea == 0) return eb;
  uint32_t lo = ea < eb ? ea : eb, hi = ea < eb ? eb : ea;
  return fmix32(lo | (hi << 8) | 0x10000u) & ENTITY_MAX;
}

/// The two Bloom-filter bits (of the 20-bit field) of a pair id.
constexpr uint32_t bloom_bits(uint32_t id) {
  uint32_t h = fmix32(id * 0x9E3779B1u);
  uint32_t p1 = h % FIELD_BITS;
  uint32_t p2 = (h >> 16) % FIELD_BITS;
  if (p2 == p1) p2 = (p1 + 1) % FIELD_BITS;
  return (1u << p1) | (1u << p2);
}
inline constexpr std::array<uint32_t, 64> BLOOM_SMALL = [] {
  std::array<uint32_t, 64> t{};
  for (uint32_t i = 1; i < 64; ++i) t[i] = bloom_bits(i);
  return t;
}();

// ---- source sets -------------------------------------------------------------

/// The sources of a value: ids 1..63 as a bitmap plus at most two larger ids
/// (only mode 0 holds a larger id, so a union of two values has at most two),
/// or a Bloom field once exactness is lost.
struct Sources {
  uint64_t small = 0;  // bit i set: pair id i (1..63)
  uint32_t big[2] = {0, 0};
  int nbig = 0;
  bool bloom = false;
  uint32_t field = 0;  // Bloom bits when bloom
};

inline void add_big(Sources& s, uint32_t id) {
  for (int i = 0; i < s.nbig; ++i)
    if (s.big[i] == id) return;
  if (s.nbig < 2) {
    s.big[s.nbig++] = id;
  } else {  // cannot happen for two decoded values; degrade, never drop
    s.bloom = true;
    s.field |= bloom_bits(id);
  }
}

inline Sources sources_of(uint32_t p) {
  Sources s;
  uint32_t m = mode_of(p);
  if (m == MODE_SINGLE) {
    uint32_t id = (p >> PAIRS_SHIFT) & SINGLE_ID_MAX;
    if (id && id <= SLOT_ID_MAX) s.small = 1ull << id;
    else if (id) add_big(s, id);
  } else if (m == MODE_PAIR) {
    uint32_t lo = (p >> PAIRS_SHIFT) & SLOT_ID_MAX;
    uint32_t hi = (p >> (PAIRS_SHIFT + SLOT_BITS)) & SLOT_ID_MAX;
    if (lo) s.small |= 1ull << lo;
    if (hi) s.small |= 1ull << hi;
  } else if (m == MODE_SET) {
    s.small = (uint64_t) ((p >> FIELD_SHIFT) & FIELD_MASK) << 1;
  } else {
    s.bloom = true;
    s.field = (p >> FIELD_SHIFT) & FIELD_MASK;
  }
  return s;
}

inline uint32_t bloom_field(const Sources& s) {
  uint32_t f = s.field;
  for (uint64_t b = s.small; b; b &= b - 1) f |= BLOOM_SMALL[std::countr_zero(b)];
  for (int i = 0; i < s.nbig; ++i) f |= bloom_bits(s.big[i]);
  return f;
}

inline Sources unite(const Sources& a, const Sources& b) {
  Sources r = a;
  r.small |= b.small;
  for (int i = 0; i < b.nbig; ++i) add_big(r, b.big[i]);
  if (b.bloom) {
    r.bloom = true;
    r.field |= b.field;
  }
  return r;
}

/// Bits 0-25 (without chain) and mode of the canonical form of a source set;
/// `entity` is stored where the mode has room for it.
inline uint32_t pack_sources(const Sources& s, uint32_t entity, uint32_t& mode) {
  if (!s.bloom) {
    int count = popcount64(s.small) + s.nbig;
    if (count == 0) {
      mode = MODE_SINGLE;
      return entity << ENTITY_SHIFT;
    }
    if (count == 1) {
      uint32_t id = s.nbig ? s.big[0] : (uint32_t) std::countr_zero(s.small);
      if (id <= SINGLE_ID_MAX) {
        mode = MODE_SINGLE;
        return (id << PAIRS_SHIFT) | (entity << ENTITY_SHIFT);
      }
    } else if (count == 2 && s.nbig == 0) {
      uint32_t lo = (uint32_t) std::countr_zero(s.small);
      uint32_t hi = 63u - (uint32_t) std::countl_zero(s.small);
      mode = MODE_PAIR;
      return (hi << (PAIRS_SHIFT + SLOT_BITS)) | (lo << PAIRS_SHIFT) | (entity << ENTITY_SHIFT);
    } else if (s.nbig == 0 && (s.small >> (SET_ID_MAX + 1)) == 0) {
      mode = MODE_SET;
      return (uint32_t) (s.small >> 1) << FIELD_SHIFT;
    }
  }
  mode = MODE_BLOOM;
  return bloom_field(s) << FIELD_SHIFT;
}

// ---- the operations ----------------------------------------------------------

constexpr uint32_t update_chain(uint32_t p, uint32_t op) {
  if (p == 0) return 0;
  uint32_t d = depth_of(p);
  if (d < DEPTH_MAX) ++d;
  return (p & ~(DEPTH_MASK | CHAIN_MASK)) | (d << DEPTH_SHIFT) | chain_unary(chain_of(p), op);
}

inline uint32_t combine(uint32_t pa, uint32_t pb, uint32_t op) {
  if (pa == 0) return update_chain(pb, op);
  if (pb == 0) return update_chain(pa, op);
  uint32_t da = depth_of(pa), db = depth_of(pb);
  uint32_t d = (da > db ? da : db);
  if (d < DEPTH_MAX) ++d;
  bool taint = taint_of(pa) || taint_of(pb);
  uint32_t chain = chain_binary(chain_of(pa), chain_of(pb), op);
  uint32_t ma = mode_of(pa), mb = mode_of(pb);
  // Fast path: one source each (the common case of element-wise arithmetic).
  if (ma == MODE_SINGLE && mb == MODE_SINGLE) {
    uint32_t ia = (pa >> PAIRS_SHIFT) & SINGLE_ID_MAX, ib = (pb >> PAIRS_SHIFT) & SINGLE_ID_MAX;
    uint32_t e = entity_mix(entity_of(pa), entity_of(pb));
    if (ia == ib || ib == 0 || ia == 0) {
      uint32_t id = ia ? ia : ib;
      return header(taint, d, MODE_SINGLE) | (id << PAIRS_SHIFT) | (e << ENTITY_SHIFT) | chain;
    }
    // Two distinct small ids: a pair, lower id in the lower slot (what
    // pack_sources makes of the union, without building it).
    if (ia <= SLOT_ID_MAX && ib <= SLOT_ID_MAX) {
      uint32_t lo = ia < ib ? ia : ib, hi = ia < ib ? ib : ia;
      return header(taint, d, MODE_PAIR) | (hi << (PAIRS_SHIFT + SLOT_BITS)) | (lo << PAIRS_SHIFT) |
             (e << ENTITY_SHIFT) | chain;
    }
  }
  Sources s = unite(sources_of(pa), sources_of(pb));
  uint32_t mode;
  uint32_t body = pack_sources(s, entity_mix(entity_of(pa), entity_of(pb)), mode);
  return header(taint, d, mode) | body | chain;
}

constexpr bool is_tainted(uint32_t p) { return taint_of(p); }
constexpr double risk_score(uint32_t p) {
  return taint_of(p) ? 1.0 / (1.0 + (double) depth_of(p)) : 0.0;
}

/// Whether a value's sources may include `id` (exact in modes 0-2).
inline bool may_contain(uint32_t p, uint32_t id) {
  Sources s = sources_of(p);
  if (s.bloom) {
    uint32_t b = bloom_bits(id);
    return (s.field & b) == b;
  }
  if (id >= 1 && id <= 63) return (s.small >> id) & 1;
  for (int i = 0; i < s.nbig; ++i)
    if (s.big[i] == id) return true;
  return false;
}

/// Build a value from a set of pair ids (each >= 1) and header fields.
/// entity <= ENTITY_MAX, chain <= CHAIN_MASK (checked by the caller); depth
/// saturates.
inline uint32_t encode(const uint32_t* ids, size_t n, uint32_t entity, uint32_t chain, bool taint,
                       uint32_t depth) {
  Sources s;
  for (size_t i = 0; i < n; ++i) {
    uint32_t id = ids[i];
    if (id <= 63) s.small |= 1ull << id;
    else if (s.nbig < 2) add_big(s, id);
    else {
      s.bloom = true;
      s.field |= bloom_bits(id);
    }
  }
  uint32_t mode;
  uint32_t body = pack_sources(s, entity, mode);
  return header(taint, depth, mode) | body | chain;
}

/// FNV-1a (32 bits) followed by fmix32: the stable hash of row labels.
inline uint32_t hash_bytes(const unsigned char* data, size_t n) {
  uint32_t h = 0x811C9DC5u;
  for (size_t i = 0; i < n; ++i) {
    h ^= data[i];
    h *= 0x01000193u;
  }
  return fmix32(h);
}

}  // namespace tessel32
