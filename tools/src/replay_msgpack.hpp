// Reading one msgpack value of a capture's records, in two passes: scan() walks
// it without building anything and says whether it lies wholly within what is
// read here (the plain kinds, extension values of non-negative codes, nesting
// at most max_depth, text that is valid UTF-8, map keys of hashable plain
// kinds, every byte present); only then does build() make the objects. A value
// scan() refuses is left to the Python unpacker, whose rules and messages then
// apply unchanged: nothing is built, and no extension hook runs, twice.
#pragma once

#include "pyref.hpp"

#include <cstdint>
#include <cstring>

namespace replay {

using capture::Ref;

inline constexpr int max_depth = 32;

struct Cursor {
    const uint8_t* p;
    const uint8_t* end;

    size_t left() const noexcept { return static_cast<size_t>(end - p); }
    bool has(size_t n) const noexcept { return left() >= n; }
};

inline uint16_t be16(const uint8_t* p) noexcept { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t be32(const uint8_t* p) noexcept {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
inline uint64_t be64(const uint8_t* p) noexcept { return uint64_t{be32(p)} << 32 | be32(p + 4); }

// Strict UTF-8, as the interpreter's own decoder takes it: no overlong forms, no
// surrogates, nothing beyond U+10FFFF.
inline bool valid_utf8(const uint8_t* s, size_t n) noexcept {
    size_t i = 0;
    while (i < n) {
        const uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint8_t lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n - i < len) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (size_t k = 2; k < len; ++k)
            if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
        i += len;
    }
    return true;
}

// The length that follows a marker of 1, 2 or 4 bytes; false when the bytes are not there.
inline bool length(Cursor& c, int width, size_t& n) noexcept {
    if (!c.has(width)) return false;
    n = width == 1 ? c.p[0] : width == 2 ? be16(c.p) : be32(c.p);
    c.p += width;
    return true;
}

// The width of the length field of a str, bin, array, map or ext marker (0: a fixed form).
struct Shape {
    enum Kind : uint8_t { plain, str, bin, array, map, ext, bad } kind;
    int width;       // bytes of the length field
    size_t fixed;    // the length itself, for the fix forms and fixext
};

inline Shape shape_of(uint8_t m) noexcept {
    if (m <= 0x7F || m >= 0xE0) return {Shape::plain, 0, 0};
    if (m <= 0x8F) return {Shape::map, 0, size_t(m & 0x0F)};
    if (m <= 0x9F) return {Shape::array, 0, size_t(m & 0x0F)};
    if (m <= 0xBF) return {Shape::str, 0, size_t(m & 0x1F)};
    switch (m) {
        case 0xC0: case 0xC2: case 0xC3: return {Shape::plain, 0, 0};
        case 0xC4: return {Shape::bin, 1, 0};
        case 0xC5: return {Shape::bin, 2, 0};
        case 0xC6: return {Shape::bin, 4, 0};
        case 0xC7: return {Shape::ext, 1, 0};
        case 0xC8: return {Shape::ext, 2, 0};
        case 0xC9: return {Shape::ext, 4, 0};
        case 0xCA: return {Shape::plain, 4, 0};
        case 0xCB: return {Shape::plain, 8, 0};
        case 0xCC: return {Shape::plain, 1, 0};
        case 0xCD: return {Shape::plain, 2, 0};
        case 0xCE: return {Shape::plain, 4, 0};
        case 0xCF: return {Shape::plain, 8, 0};
        case 0xD0: return {Shape::plain, 1, 0};
        case 0xD1: return {Shape::plain, 2, 0};
        case 0xD2: return {Shape::plain, 4, 0};
        case 0xD3: return {Shape::plain, 8, 0};
        case 0xD4: return {Shape::ext, 0, 1};
        case 0xD5: return {Shape::ext, 0, 2};
        case 0xD6: return {Shape::ext, 0, 4};
        case 0xD7: return {Shape::ext, 0, 8};
        case 0xD8: return {Shape::ext, 0, 16};
        case 0xD9: return {Shape::str, 1, 0};
        case 0xDA: return {Shape::str, 2, 0};
        case 0xDB: return {Shape::str, 4, 0};
        case 0xDC: return {Shape::array, 2, 0};
        case 0xDD: return {Shape::array, 4, 0};
        case 0xDE: return {Shape::map, 2, 0};
        case 0xDF: return {Shape::map, 4, 0};
        default: return {Shape::bad, 0, 0};  // 0xC1, never used
    }
}

inline bool scan(Cursor& c, int depth, bool as_key = false) noexcept {
    if (!c.has(1)) return false;
    const uint8_t m = *c.p++;
    const Shape s = shape_of(m);
    size_t n = s.fixed;
    switch (s.kind) {
        case Shape::plain:
            if (!c.has(s.width)) return false;
            c.p += s.width;
            return true;
        case Shape::str:
            if (s.width && !length(c, s.width, n)) return false;
            if (!c.has(n) || !valid_utf8(c.p, n)) return false;
            c.p += n;
            return true;
        case Shape::bin:
            if (!length(c, s.width, n) || !c.has(n)) return false;
            c.p += n;
            return true;
        case Shape::ext:
            if (as_key) return false;
            if (s.width && !length(c, s.width, n)) return false;
            if (!c.has(n + 1) || static_cast<int8_t>(c.p[0]) < 0) return false;  // negative codes: the unpacker's own
            c.p += n + 1;
            return true;
        case Shape::array:
        case Shape::map:
            if (as_key || depth >= max_depth) return false;
            if (s.width && !length(c, s.width, n)) return false;
            // every element takes a byte at least: a count beyond the bytes left is not there
            if (n > c.left()) return false;
            for (size_t i = 0; i < n; ++i) {
                if (s.kind == Shape::map && !scan(c, depth + 1, true)) return false;
                if (!scan(c, depth + 1)) return false;
            }
            return true;
        case Shape::bad:
            return false;
    }
    return false;
}

// What build() calls for an extension value (code, data) -> object, and for text
// (valid UTF-8 already: scan() checked it).
class ExtSource {
public:
    virtual ~ExtSource() = default;
    virtual Ref ext(int8_t code, const uint8_t* data, size_t n) = 0;
    virtual Ref text(const char* s, size_t n) {
        return Ref::steal(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "strict"));
    }
};

// Builds the value scan() accepted at c (the same bytes); null with an exception set on failure.
inline Ref build(Cursor& c, ExtSource& exts) {
    const uint8_t m = *c.p++;
    if (m <= 0x7F) return Ref::steal(PyLong_FromLong(m));
    if (m >= 0xE0) return Ref::steal(PyLong_FromLong(static_cast<int8_t>(m)));
    const Shape s = shape_of(m);
    size_t n = s.fixed;
    switch (s.kind) {
        case Shape::plain: {
            const uint8_t* p = c.p;
            c.p += s.width;
            switch (m) {
                case 0xC0: return Ref::borrow(Py_None);
                case 0xC2: return Ref::borrow(Py_False);
                case 0xC3: return Ref::borrow(Py_True);
                case 0xCA: {
                    const uint32_t bits = be32(p);
                    float f;
                    std::memcpy(&f, &bits, sizeof f);
                    return Ref::steal(PyFloat_FromDouble(f));
                }
                case 0xCB: {
                    const uint64_t bits = be64(p);
                    double d;
                    std::memcpy(&d, &bits, sizeof d);
                    return Ref::steal(PyFloat_FromDouble(d));
                }
                case 0xCC: return Ref::steal(PyLong_FromLong(p[0]));
                case 0xCD: return Ref::steal(PyLong_FromLong(be16(p)));
                case 0xCE: return Ref::steal(PyLong_FromUnsignedLong(be32(p)));
                case 0xCF: return Ref::steal(PyLong_FromUnsignedLongLong(be64(p)));
                case 0xD0: return Ref::steal(PyLong_FromLong(static_cast<int8_t>(p[0])));
                case 0xD1: return Ref::steal(PyLong_FromLong(static_cast<int16_t>(be16(p))));
                case 0xD2: return Ref::steal(PyLong_FromLong(static_cast<int32_t>(be32(p))));
                default: return Ref::steal(PyLong_FromLongLong(static_cast<int64_t>(be64(p))));
            }
        }
        case Shape::str: {
            if (s.width) length(c, s.width, n);
            const char* p = reinterpret_cast<const char*>(c.p);
            c.p += n;
            return exts.text(p, n);
        }
        case Shape::bin: {
            length(c, s.width, n);
            const char* p = reinterpret_cast<const char*>(c.p);
            c.p += n;
            return Ref::steal(PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(n)));
        }
        case Shape::ext: {
            if (s.width) length(c, s.width, n);
            const int8_t code = static_cast<int8_t>(c.p[0]);
            const uint8_t* data = c.p + 1;
            c.p += n + 1;
            return exts.ext(code, data, n);
        }
        case Shape::array: {
            if (s.width) length(c, s.width, n);
            Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
            if (!list) return list;
            for (size_t i = 0; i < n; ++i) {
                Ref item = build(c, exts);
                if (!item) return item;
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
            }
            return list;
        }
        case Shape::map: {
            if (s.width) length(c, s.width, n);
            Ref dict = Ref::steal(PyDict_New());
            if (!dict) return dict;
            for (size_t i = 0; i < n; ++i) {
                Ref key = build(c, exts);
                if (!key) return key;
                Ref value = build(c, exts);
                if (!value) return value;
                if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return Ref();
            }
            return dict;
        }
        case Shape::bad:
            break;
    }
    PyErr_SetString(PyExc_ValueError, "a msgpack value that was not scanned");  // never: scan() refuses it
    return Ref();
}

}  // namespace replay
