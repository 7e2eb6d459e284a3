// msgpack encoding of the plain values into a growing byte buffer, in the
// compact forms the Python msgpack packer writes, so both sides' records read
// alike. Every value is one capacity check and a few stores: these run for
// each value of every market-data call.
#pragma once

#include "pyref.hpp"  // Python.h, as every part of the capture includes it

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace capture {

class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          cap_(std::exchange(other.cap_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            cap_ = std::exchange(other.cap_, 0);
        }
        return *this;
    }
    ~Buffer() { std::free(data_); }

    const char* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return cap_; }
    bool empty() const noexcept { return size_ == 0; }
    std::string_view view() const noexcept { return {data_, size_}; }
    void clear() noexcept { size_ = 0; }
    // Forgets what was written after the first n bytes (a record given up half-way).
    void truncate(size_t n) noexcept {
        if (n < size_) size_ = n;
    }
    // Gives the memory back (a rare huge record does not keep it).
    void release() noexcept {
        std::free(std::exchange(data_, nullptr));
        size_ = cap_ = 0;
    }
    void reserve(size_t n) {
        if (n > cap_) grow_to(n);
    }

    // n writable bytes at the end; commit(n) keeps them.
    char* room(size_t n) {
        if (n > cap_ - size_) [[unlikely]]
            grow_to(size_ + n);
        return data_ + size_;
    }
    void commit(size_t n) noexcept { size_ += n; }
    // For several values written through a bare pointer into room(): the new end.
    void set_end(char* p) noexcept { size_ = static_cast<size_t>(p - data_); }
    void put(char c) {
        if (size_ == cap_) grow_to(size_ + 1);
        data_[size_++] = c;
    }
    void append(std::string_view s) {
        std::memcpy(room(s.size()), s.data(), s.size());
        size_ += s.size();
    }
    char& operator[](size_t i) noexcept { return data_[i]; }
    // The end of what is written and of the capacity, for writing through a bare
    // pointer between capacity checks (set_end keeps what was written).
    char* end() noexcept { return data_ + size_; }
    char* limit() noexcept { return data_ + cap_; }

private:
    [[gnu::noinline, gnu::cold]] void grow_to(size_t need) {
        size_t cap = cap_ ? cap_ * 2 : 256;
        while (cap < need) cap *= 2;
        void* p = std::realloc(data_, cap);
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        cap_ = cap;
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

namespace msgpack {

// Packed bytes written again and again (a call's name, a record shape's
// opening, an enumeration member), kept zero-padded to whole 16-byte blocks so
// that they are copied a block at a time, with no call out for a few dozen
// bytes. Up to 48 bytes are kept in the object itself, beside what its owner
// reads with them, rather than in a block of their own elsewhere.
class PaddedBytes {
public:
    explicit PaddedBytes(std::string_view packed = {})
        : size_(static_cast<uint32_t>(packed.size())), room_(static_cast<uint32_t>((packed.size() + 15) / 16 * 16)) {
        if (room_ > sizeof(inline_)) heap_.reset(new char[room_]());
        std::memcpy(bytes(), packed.data(), packed.size());
    }
    PaddedBytes(const PaddedBytes& o) : PaddedBytes(o.view()) {}
    PaddedBytes& operator=(const PaddedBytes& o) {
        if (this != &o) *this = PaddedBytes(o.view());
        return *this;
    }
    PaddedBytes(PaddedBytes&& o) noexcept { take(o); }
    PaddedBytes& operator=(PaddedBytes&& o) noexcept {
        if (this != &o) take(o);
        return *this;
    }
    std::string_view view() const { return {bytes(), size_}; }
    // The room copy_to needs.
    size_t room() const { return room_; }
    // Writes the bytes at p (room() there); the end of what was written.
    char* copy_to(char* p) const {
        const char* from = bytes();  // read once: the stores below may alias anything
        const size_t n = room_;
        for (size_t i = 0; i < n; i += 16) std::memcpy(p + i, from + i, 16);
        return p + size_;
    }

private:
    const char* bytes() const { return heap_ ? heap_.get() : inline_; }
    char* bytes() { return heap_ ? heap_.get() : inline_; }
    // the other's bytes, leaving it empty
    void take(PaddedBytes& o) noexcept {
        size_ = std::exchange(o.size_, 0);
        room_ = std::exchange(o.room_, 0);
        std::memcpy(inline_, o.inline_, sizeof(inline_));
        heap_ = std::move(o.heap_);
    }

    uint32_t size_ = 0;
    uint32_t room_ = 0;
    char inline_[48] = {};
    std::unique_ptr<char[]> heap_;  // bytes longer than inline_ holds
};

// Copies n bytes with no call out when n is small (a code, a security id).
inline char* small_copy(char* p, const void* src, size_t n) {
    const char* s = static_cast<const char*>(src);
    uint64_t a, b;
    if (n >= 8 && n <= 16) {
        std::memcpy(&a, s, 8);
        std::memcpy(&b, s + n - 8, 8);
        std::memcpy(p, &a, 8);
        std::memcpy(p + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t c, d;
        std::memcpy(&c, s, 4);
        std::memcpy(&d, s + n - 4, 4);
        std::memcpy(p, &c, 4);
        std::memcpy(p + n - 4, &d, 4);
    } else if (n < 4) {
        for (size_t i = 0; i < n; ++i) p[i] = s[i];
    } else {
        std::memcpy(p, s, n);
    }
    return p + n;
}

// Streaming stores of whole 64-byte lines from src to the line-aligned dst:
// lines written once and read next by another thread need not pass through
// this core's caches, where they would push out what this thread uses next.
// They are ordered only by a fence or a locked instruction (see stream_fence).
inline void stream_lines(char* dst, const char* src, size_t lines) {
#if defined(__SSE2__)
    for (size_t i = 0; i < lines * 64; i += 16)
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
#else
    std::memcpy(dst, src, lines * 64);
#endif
}

// Orders the streaming stores made so far before any later store.
inline void stream_fence() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// A marker byte, then the low `bytes` bytes of v, most significant first.
inline void put_be(Buffer& out, uint8_t marker, uint64_t v, int bytes) {
    char* p = out.room(9);
    p[0] = static_cast<char>(marker);
    const uint64_t top = v << (8 * (8 - bytes));
    const uint64_t be = std::endian::native == std::endian::big ? top : __builtin_bswap64(top);
    std::memcpy(p + 1, &be, 8);  // always 8: the bytes past `bytes` are scratch, not committed
    out.commit(1 + static_cast<size_t>(bytes));
}

inline void nil(Buffer& out) { out.put(static_cast<char>(0xc0)); }
inline void boolean(Buffer& out, bool v) { out.put(static_cast<char>(v ? 0xc3 : 0xc2)); }

inline void uint(Buffer& out, uint64_t v) {
    if (v < 0x80) out.put(static_cast<char>(v));
    else if (v <= 0xff) put_be(out, 0xcc, v, 1);
    else if (v <= 0xffff) put_be(out, 0xcd, v, 2);
    else if (v <= 0xffffffffu) put_be(out, 0xce, v, 4);
    else put_be(out, 0xcf, v, 8);
}

inline void sint(Buffer& out, int64_t v) {
    if (v >= 0) return uint(out, static_cast<uint64_t>(v));
    if (v >= -32) out.put(static_cast<char>(v));
    else if (v >= INT8_MIN) put_be(out, 0xd0, static_cast<uint64_t>(v), 1);
    else if (v >= INT16_MIN) put_be(out, 0xd1, static_cast<uint64_t>(v), 2);
    else if (v >= INT32_MIN) put_be(out, 0xd2, static_cast<uint64_t>(v), 4);
    else put_be(out, 0xd3, static_cast<uint64_t>(v), 8);
}

inline void float64(Buffer& out, double v) { put_be(out, 0xcb, std::bit_cast<uint64_t>(v), 8); }

inline void str(Buffer& out, std::string_view s) {
    const size_t n = s.size();
    if (n < 32) out.put(static_cast<char>(0xa0 | n));
    else if (n <= 0xff) put_be(out, 0xd9, n, 1);
    else if (n <= 0xffff) put_be(out, 0xda, n, 2);
    else put_be(out, 0xdb, n, 4);
    out.append(s);
}

inline void bin(Buffer& out, std::string_view s) {
    const size_t n = s.size();
    if (n <= 0xff) put_be(out, 0xc4, n, 1);
    else if (n <= 0xffff) put_be(out, 0xc5, n, 2);
    else put_be(out, 0xc6, n, 4);
    out.append(s);
}

inline void array(Buffer& out, size_t n) {
    if (n < 16) out.put(static_cast<char>(0x90 | n));
    else if (n <= 0xffff) put_be(out, 0xdc, n, 2);
    else put_be(out, 0xdd, n, 4);
}

// An extension value whose length is known only once its contents are
// written: the widest header now, its length filled in by ext_end.
inline size_t ext_begin(Buffer& out, int8_t type) {
    const size_t at = out.size();
    char* p = out.room(6);
    p[0] = static_cast<char>(0xc9);
    std::memset(p + 1, 0, 4);
    p[5] = static_cast<char>(type);
    out.commit(6);
    return at;
}

inline void ext_end(Buffer& out, size_t at) {
    const uint64_t n = out.size() - at - 6;
    for (int i = 0; i < 4; ++i) out[at + 1 + static_cast<size_t>(i)] = static_cast<char>(n >> (8 * (3 - i)));
}

// The same forms written through a bare pointer with room known to be there (9
// bytes at least: the big-endian store writes 8 after the marker whatever the
// width); each returns the new end.
namespace raw {

inline char* put_be(char* p, uint8_t marker, uint64_t v, int bytes) {
    p[0] = static_cast<char>(marker);
    const uint64_t top = v << (8 * (8 - bytes));
    const uint64_t be = std::endian::native == std::endian::big ? top : __builtin_bswap64(top);
    std::memcpy(p + 1, &be, 8);
    return p + 1 + bytes;
}

// An unsigned int of at least 0x80 in the narrowest of uint8/16/32/64, its
// width found from its highest set bit rather than by a chain of comparisons.
inline char* uint_wide(char* p, uint64_t v) {
    // per index of the highest byte in use: the marker, then the width in bytes
    static constexpr uint16_t forms[8] = {0x01cc, 0x02cd, 0x04ce, 0x04ce, 0x08cf, 0x08cf, 0x08cf, 0x08cf};
    const uint16_t form = forms[(63 - __builtin_clzll(v)) >> 3];
    const int bytes = form >> 8;
    p[0] = static_cast<char>(form);
    const uint64_t top = v << (64 - 8 * bytes);
    const uint64_t be = std::endian::native == std::endian::big ? top : __builtin_bswap64(top);
    std::memcpy(p + 1, &be, 8);
    return p + 1 + bytes;
}

inline char* uint(char* p, uint64_t v) {
    if (v < 0x80) {
        *p = static_cast<char>(v);
        return p + 1;
    }
    return uint_wide(p, v);
}

inline char* sint(char* p, int64_t v) {
    if (v >= 0) return uint(p, static_cast<uint64_t>(v));
    if (v >= -32) {
        *p = static_cast<char>(v);
        return p + 1;
    }
    if (v >= INT8_MIN) return put_be(p, 0xd0, static_cast<uint64_t>(v), 1);
    if (v >= INT16_MIN) return put_be(p, 0xd1, static_cast<uint64_t>(v), 2);
    if (v >= INT32_MIN) return put_be(p, 0xd2, static_cast<uint64_t>(v), 4);
    return put_be(p, 0xd3, static_cast<uint64_t>(v), 8);
}

// An int that is almost always 2**32 or more (a time in nanoseconds, a
// thread ident), in its narrowest form.
inline char* wide(char* p, int64_t v) {
    if (v > 0xffffffffLL) return put_be(p, 0xcf, static_cast<uint64_t>(v), 8);
    return sint(p, v);
}

// A negative int of one or two digits (rare in records: kept out of the
// common path's code); null for a wider int.
[[gnu::noinline, gnu::cold]] inline char* small_negative(char* p, Py_ssize_t size, const digit* d) {
    if (size != -1 && size != -2) return nullptr;  // wider than 60 bits
    uint64_t mag = d[0];
    if (size == -2) mag |= static_cast<uint64_t>(d[1]) << PyLong_SHIFT;
    return sint(p, -static_cast<int64_t>(mag));
}

// An int of up to 60 bits (one or two digits, read in place: time stamps,
// volumes, codes); the new end, or null (nothing written) for a wider one.
// Below 2**7 it is a fixint, below 2**16 a uint16; up to 2**30 always a
// uint32 and up to 2**60 always a uint64, whatever the narrowest width: every
// reader takes any width, and finding the narrowest would cost more than the
// bytes it saves.
[[gnu::always_inline]] inline char* small_int(char* p, PyObject* v) {
    const Py_ssize_t size = Py_SIZE(v);
    const digit* d = reinterpret_cast<PyLongObject*>(v)->ob_digit;
    if (size == 1) {  // most of them
        const uint32_t x = d[0];
        if (x < 0x80) {
            *p = static_cast<char>(x);
            return p + 1;
        }
        if (x <= 0xffff) {  // volumes, mostly: two bytes saved for one comparison
            p[0] = static_cast<char>(0xcd);
            const uint16_t be = std::endian::native == std::endian::big ? static_cast<uint16_t>(x)
                                                                          : __builtin_bswap16(static_cast<uint16_t>(x));
            std::memcpy(p + 1, &be, 2);
            return p + 3;
        }
        p[0] = static_cast<char>(0xce);
        const uint32_t be = std::endian::native == std::endian::big ? x : __builtin_bswap32(x);
        std::memcpy(p + 1, &be, 4);
        return p + 5;
    }
    if (size == 2) return put_be(p, 0xcf, d[0] | static_cast<uint64_t>(d[1]) << PyLong_SHIFT, 8);
    if (size == 0) {
        *p = 0;
        return p + 1;
    }
    return small_negative(p, size, d);
}

// A float (known to be one), in 9 bytes at p.
[[gnu::always_inline]] inline char* float64(char* p, PyObject* v) {
    return put_be(p, 0xcb, std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(v)), 8);
}

// A float, an int of up to 60 bits, None or a bool, in at most 9 bytes at p
// (room for 9 known to be there); the new end, or null (nothing written) for
// any other value.
[[gnu::always_inline]] inline char* scalar(char* p, PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyFloat_Type) return float64(p, v);
    if (t == &PyLong_Type) return small_int(p, v);
    if (v == Py_None) {
        *p = static_cast<char>(0xc0);
        return p + 1;
    }
    if (t == &PyBool_Type) {
        *p = static_cast<char>(v == Py_True ? 0xc3 : 0xc2);
        return p + 1;
    }
    return nullptr;
}

}  // namespace raw

// msgpack limits a string, a binary or an array to 2**32 - 1 items.
inline constexpr size_t max_length = 0xffffffffu;

}  // namespace msgpack
}  // namespace capture
