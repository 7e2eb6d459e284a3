// The bytes a comparison hashes and the hash itself. Values are written in
// little-endian order whatever the machine, and the hash takes no seed, so two
// processes, on any machines, give the same digest for the same outcome.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>
#include <algorithm>

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
// different sequences of values write the same bytes. Writes are unchecked
// stores into room made beforehand: this runs for every value of every call.
class Bytes {
public:
    void clear() noexcept { end_ = 0; }
    // Gives back the room a rare huge value took, once it is hashed.
    void trim() {
        if (buf_.size() > (size_t{1} << 20)) std::vector<unsigned char>().swap(buf_);
    }
    // Room for n more bytes.
    void room(size_t n) {
        if (end_ + n > buf_.size()) buf_.resize(std::max(buf_.size() * 2, end_ + n + 256));
    }
    void tag(char t) {
        room(1);
        buf_[end_++] = static_cast<unsigned char>(t);
    }
    void u64(uint64_t v) {
        room(8);
        v = to_little(v);
        std::memcpy(buf_.data() + end_, &v, 8);
        end_ += 8;
    }
    void tag_u64(char t, uint64_t v) {
        room(9);
        buf_[end_++] = static_cast<unsigned char>(t);
        v = to_little(v);
        std::memcpy(buf_.data() + end_, &v, 8);
        end_ += 8;
    }
    void raw(const void* p, size_t n) {
        room(n);
        std::memcpy(buf_.data() + end_, p, n);
        end_ += n;
    }
    void text(std::string_view t) {
        u64(t.size());
        raw(t.data(), t.size());
    }
    std::string str() const { return std::string(reinterpret_cast<const char*>(buf_.data()), end_); }
    uint64_t hash() const noexcept { return hash64(buf_.data(), end_); }

private:
    std::vector<unsigned char> buf_;
    size_t end_ = 0;
};

}  // namespace digest
