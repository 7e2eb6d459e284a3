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

inline uint32_t load32(const unsigned char* p) noexcept {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

// A 64-bit hash of the well-known four-lane multiply-rotate design: 32 bytes a
// round in four independent lanes, each round a bijection of its input word
// for a given lane, and a final avalanche that spreads every bit.
inline uint64_t hash64(const unsigned char* p, size_t n) noexcept {
    constexpr uint64_t p1 = 0x9E3779B185EBCA87ULL;
    constexpr uint64_t p2 = 0xC2B2AE3D27D4EB4FULL;
    constexpr uint64_t p3 = 0x165667B19E3779F9ULL;
    constexpr uint64_t p4 = 0x85EBCA77C2B2AE63ULL;
    constexpr uint64_t p5 = 0x27D4EB2F165667C5ULL;
    auto round = [](uint64_t acc, uint64_t input) { return std::rotl(acc + input * p2, 31) * p1; };
    auto merge = [&](uint64_t acc, uint64_t lane) { return (acc ^ round(0, lane)) * p1 + p4; };
    const unsigned char* const end = p + n;
    uint64_t h;
    if (n >= 32) {
        uint64_t v1 = p1 + p2, v2 = p2, v3 = 0, v4 = 0 - p1;
        for (; p + 32 <= end; p += 32) {
            v1 = round(v1, load64(p));
            v2 = round(v2, load64(p + 8));
            v3 = round(v3, load64(p + 16));
            v4 = round(v4, load64(p + 24));
        }
        h = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
        h = merge(merge(merge(merge(h, v1), v2), v3), v4);
    } else {
        h = p5;
    }
    h += static_cast<uint64_t>(n);
    for (; p + 8 <= end; p += 8) h = std::rotl(h ^ round(0, load64(p)), 27) * p1 + p4;
    if (p + 4 <= end) {
        h = std::rotl(h ^ (static_cast<uint64_t>(load32(p)) * p1), 23) * p2 + p3;
        p += 4;
    }
    for (; p < end; ++p) h = std::rotl(h ^ (*p * p5), 11) * p1;
    h ^= h >> 33;
    h *= p2;
    h ^= h >> 29;
    h *= p3;
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
