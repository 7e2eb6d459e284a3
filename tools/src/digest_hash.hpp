// The bytes a comparison hashes and the hash itself. Values are written in
// little-endian order whatever the machine, and the hash takes no seed, so two
// processes, on any machines, give the same digest for the same outcome.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace digest {

inline uint64_t to_little(uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(v);
    return v;
}

inline uint64_t load64(const unsigned char* p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return to_little(v);
}

// 64-bit hash in the manner of the well-known multiply-rotate rounds: each
// round is a bijection of its input word for a given state, so two inputs that
// differ in one word never meet; a final avalanche spreads every bit.
inline uint64_t hash64(const unsigned char* p, size_t n) noexcept {
    constexpr uint64_t k1 = 0x9E3779B185EBCA87ULL;
    constexpr uint64_t k2 = 0xC2B2AE3D27D4EB4FULL;
    constexpr uint64_t k3 = 0x165667B19E3779F9ULL;
    uint64_t h = k3 ^ (static_cast<uint64_t>(n) * k1);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        h ^= std::rotl(load64(p + i) * k2, 31) * k1;
        h = std::rotl(h, 27) * k1 + k3;
    }
    uint64_t tail = 0;
    for (size_t j = 0; i + j < n; ++j) tail |= static_cast<uint64_t>(p[i + j]) << (8 * j);
    h ^= std::rotl(tail * k2, 31) * k1;
    h = std::rotl(h, 27) * k1 + k3;
    h ^= h >> 33;
    h *= k2;
    h ^= h >> 29;
    h *= k3;
    h ^= h >> 32;
    return h;
}

// What a digest is made of: tagged values, lengths before contents, so no two
// different sequences of values write the same bytes.
class Bytes {
public:
    void clear() noexcept { s_.clear(); }
    void tag(char t) { s_.push_back(t); }
    void u64(uint64_t v) {
        v = to_little(v);
        s_.append(reinterpret_cast<const char*>(&v), 8);
    }
    void raw(const void* p, size_t n) { s_.append(static_cast<const char*>(p), n); }
    void text(std::string_view t) {
        u64(t.size());
        s_.append(t);
    }
    const std::string& str() const noexcept { return s_; }
    uint64_t hash() const noexcept { return hash64(reinterpret_cast<const unsigned char*>(s_.data()), s_.size()); }

private:
    std::string s_;
};

}  // namespace digest
