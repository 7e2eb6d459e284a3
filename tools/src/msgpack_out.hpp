// msgpack encoding of the plain values into a byte string, in the compact
// forms the Python msgpack packer writes, so both sides' records read alike.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace capture::msgpack {

// A marker byte, then the low `bytes` bytes of v, most significant first.
inline void put_be(std::string& out, uint8_t marker, uint64_t v, int bytes) {
    char b[9];
    b[0] = static_cast<char>(marker);
    const uint64_t top = v << (8 * (8 - bytes));
    const uint64_t be = std::endian::native == std::endian::big ? top : __builtin_bswap64(top);
    std::memcpy(b + 1, &be, 8);
    out.append(b, 1 + static_cast<size_t>(bytes));
}

inline void nil(std::string& out) { out.push_back(static_cast<char>(0xc0)); }
inline void boolean(std::string& out, bool v) { out.push_back(static_cast<char>(v ? 0xc3 : 0xc2)); }

inline void uint(std::string& out, uint64_t v) {
    if (v < 0x80) out.push_back(static_cast<char>(v));
    else if (v <= 0xff) put_be(out, 0xcc, v, 1);
    else if (v <= 0xffff) put_be(out, 0xcd, v, 2);
    else if (v <= 0xffffffffu) put_be(out, 0xce, v, 4);
    else put_be(out, 0xcf, v, 8);
}

inline void sint(std::string& out, int64_t v) {
    if (v >= 0) return uint(out, static_cast<uint64_t>(v));
    if (v >= -32) out.push_back(static_cast<char>(v));
    else if (v >= INT8_MIN) put_be(out, 0xd0, static_cast<uint64_t>(v), 1);
    else if (v >= INT16_MIN) put_be(out, 0xd1, static_cast<uint64_t>(v), 2);
    else if (v >= INT32_MIN) put_be(out, 0xd2, static_cast<uint64_t>(v), 4);
    else put_be(out, 0xd3, static_cast<uint64_t>(v), 8);
}

inline void float64(std::string& out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_be(out, 0xcb, bits, 8);
}

inline void str(std::string& out, std::string_view s) {
    const size_t n = s.size();
    if (n < 32) out.push_back(static_cast<char>(0xa0 | n));
    else if (n <= 0xff) put_be(out, 0xd9, n, 1);
    else if (n <= 0xffff) put_be(out, 0xda, n, 2);
    else put_be(out, 0xdb, n, 4);
    out.append(s);
}

inline void bin(std::string& out, std::string_view s) {
    const size_t n = s.size();
    if (n <= 0xff) put_be(out, 0xc4, n, 1);
    else if (n <= 0xffff) put_be(out, 0xc5, n, 2);
    else put_be(out, 0xc6, n, 4);
    out.append(s);
}

inline void array(std::string& out, size_t n) {
    if (n < 16) out.push_back(static_cast<char>(0x90 | n));
    else if (n <= 0xffff) put_be(out, 0xdc, n, 2);
    else put_be(out, 0xdd, n, 4);
}

// An extension value whose length is known only once its contents are
// written: the widest header now, its length filled in by ext_end.
inline size_t ext_begin(std::string& out, int8_t type) {
    const size_t at = out.size();
    const char head[6] = {static_cast<char>(0xc9), 0, 0, 0, 0, static_cast<char>(type)};
    out.append(head, sizeof head);
    return at;
}

inline void ext_end(std::string& out, size_t at) {
    const uint64_t n = out.size() - at - 6;
    for (int i = 0; i < 4; ++i) out[at + 1 + i] = static_cast<char>(n >> (8 * (3 - i)));
}

// msgpack limits a string, a binary or an array to 2**32 - 1 items.
inline constexpr size_t max_length = 0xffffffffu;

}  // namespace capture::msgpack
