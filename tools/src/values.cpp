// Plain values packed as msgpack at the moment of the call, so that what the
// capture keeps is what the module saw, whatever the SDK does to the objects
// afterwards. Exact built-in types are packed here; enumeration members once
// each, then by identity; anything else by the Python packer (fallback),
// also at the moment of the call.
#include "recorder.hpp"

#include "msgpack_out.hpp"

#include <cstring>

namespace capture {

namespace {
// Deeper nesting (or a list that contains itself) goes to the fallback,
// which keeps cycles and depth apart.
constexpr int max_depth = 32;
constexpr size_t max_members = 4096;
// Records hold flat lists: anything nested deeper is left to pack(), which
// keeps a list that contains itself from being walked over and over here.
constexpr int max_quiet_depth = 3;
}  // namespace

ValuePacker::ValuePacker(PyObject* fallback, PyObject* enum_base)
    : fallback_(Ref::borrow(fallback)), enum_base_(Ref::borrow(enum_base)) {}

ValuePacker::~ValuePacker() { clear(); }

const ValuePacker::PackedMember* ValuePacker::find_member(MemberMemo& memo, PyObject* v) {
    auto found = members_.find(v);
    if (found == members_.end()) return nullptr;
    memo = {v, &found->second};
    return &found->second;
}

void ValuePacker::clear() {
    for (MemberMemo& memo : memo_) memo = {};
    auto members = std::move(members_);
    members_.clear();
    for (auto& m : members) Py_DECREF(m.first);
    fallback_.clear();
    enum_base_.clear();
}

int ValuePacker::traverse(visitproc visit, void* arg) const {
    if (int r = fallback_.visit(visit, arg)) return r;
    return enum_base_.visit(visit, arg);
}

bool ValuePacker::pack(Buffer& out, PyObject* v, int depth, const Path* path) {
    if (pack_plain(out, v)) return true;
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyLong_Type) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) {
            msgpack::sint(out, x);
            return true;
        }
        if (overflow > 0) {
            const unsigned long long u = PyLong_AsUnsignedLongLong(v);
            if (!PyErr_Occurred()) {
                msgpack::uint(out, u);
                return true;
            }
            PyErr_Clear();
        }
        return pack_fallback(out, v);  // beyond 64 bits
    }
    if (t == &PyUnicode_Type) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(v, &n);
        if (s == nullptr) {
            PyErr_Clear();  // lone surrogates: the fallback keeps the text its own way
            return pack_fallback(out, v);
        }
        msgpack::str(out, std::string_view(s, static_cast<size_t>(n)));
        return true;
    }
    if (t == &PyList_Type || t == &PyTuple_Type) {
        if (depth >= max_depth || (path != nullptr && path->holds(v))) return pack_fallback(out, v);
    }
    if (t == &PyList_Type) return pack_sequence(out, v, depth, path);
    if (t == &PyTuple_Type) {
        const size_t at = msgpack::ext_begin(out, ext_tuple);
        if (!pack_sequence(out, v, depth, path)) return false;
        msgpack::ext_end(out, at);
        return true;
    }
    if (t == &PyBytes_Type) {
        msgpack::bin(out, std::string_view(PyBytes_AS_STRING(v), static_cast<size_t>(PyBytes_GET_SIZE(v))));
        return true;
    }
    return pack_other(out, v);
}

// Writing through a bare pointer, the buffer's capacity checked once for a
// stretch of values rather than once for each.
struct Cursor {
    explicit Cursor(Buffer& b) : buf(b), p(b.end()), lim(b.limit()) {}
    void need(size_t n) {
        if (static_cast<size_t>(lim - p) < n) [[unlikely]]
            grow(n);
    }
    [[gnu::noinline, gnu::cold]] void grow(size_t n) {
        buf.set_end(p);
        p = buf.room(n);
        lim = buf.limit();
    }
    Buffer& sync() {
        buf.set_end(p);
        return buf;
    }
    void resume() {
        p = buf.end();
        lim = buf.limit();
    }
    Buffer& buf;
    char* p;
    char* lim;
};

namespace {

// A str of ASCII text written with its header (room for it known to be there).
inline char* ascii(char* p, PyObject* v, size_t n) {
    if (n < 32) {
        *p++ = static_cast<char>(0xa0 | n);
    } else if (n <= 0xff) {
        *p++ = static_cast<char>(0xd9);
        *p++ = static_cast<char>(n);
    } else {
        return nullptr;  // longer text: the general writer
    }
    return msgpack::small_copy(p, PyUnicode_DATA(v), n);
}

}  // namespace

bool ValuePacker::pack_quiet_slots(Buffer& out, const char* base, const int32_t* offsets, size_t n) {
    Cursor c(out);
    // room for every value as a scalar: only text, members and lists ask for more
    c.need(9 * n);
    // The write position and its limit stay in registers through the loop. The
    // cursor's own copies are written back only around the calls out: the
    // cursor's address goes to those calls, so the compiler would otherwise
    // have to store and load it again around every byte written.
    char* p = c.p;
    char* lim = c.lim;
    auto need = [&](size_t k) {
        if (static_cast<size_t>(lim - p) < k) [[unlikely]] {
            c.p = p;
            c.grow(k);
            p = c.p;
            lim = c.lim;
        }
    };
    for (size_t i = 0; i < n; ++i) {
        PyObject* v = *reinterpret_cast<PyObject* const*>(base + offsets[i]);
        if (v == nullptr) [[unlikely]]
            return false;
        if (char* end = msgpack::raw::scalar(p, v)) {
            p = end;
            continue;
        }
        const size_t left = 9 * (n - i - 1);  // the room the values after this one count on
        PyTypeObject* t = Py_TYPE(v);
        if (t == &PyList_Type) {
            // a book's prices or volumes: a short list of numbers written in
            // the record's own pass; a longer list, or any other item, goes
            // the general way below (nothing kept of what was begun here)
            const size_t len = static_cast<size_t>(PyList_GET_SIZE(v));
            if (len < 16) {
                need(1 + 9 * len + left);
                PyObject* const* items = reinterpret_cast<PyListObject*>(v)->ob_item;
                char* q = p;
                *q++ = static_cast<char>(0x90 | len);
                size_t j = 0;
                // prices or volumes: a run of floats, or of ints, in a loop of its
                // own (no test for the other kinds on each item), then whatever follows
                for (; j < len && Py_TYPE(items[j]) == &PyFloat_Type; ++j)
                    q = msgpack::raw::float64(q, items[j]);
                for (; j < len && Py_TYPE(items[j]) == &PyLong_Type; ++j) {
                    char* end = msgpack::raw::small_int(q, items[j]);
                    if (end == nullptr) break;
                    q = end;
                }
                for (; j < len; ++j) {
                    char* end = msgpack::raw::scalar(q, items[j]);
                    if (end == nullptr) break;
                    q = end;
                }
                if (j == len) [[likely]] {
                    p = q;
                    continue;
                }
            }
        } else if (t == &PyUnicode_Type) {
            if (PyUnicode_IS_COMPACT_ASCII(v)) {
                const size_t len = static_cast<size_t>(PyUnicode_GET_LENGTH(v));
                need(len + 2 + left);
                if (char* end = ascii(p, v, len)) {
                    p = end;
                    continue;
                }
            }
        } else if (t != &PyTuple_Type) {
            if (const PackedMember* member = known_member(v)) {
                need(member->room() + left);
                p = member->copy_to(p);
                continue;
            }
        }
        c.p = p;
        if (!pack_slot_other(c, v, left)) return false;
        p = c.p;
        lim = c.lim;
    }
    c.p = p;
    c.sync();
    return true;
}

// A slot's value of any other kind, out of the common path's code: through
// the cursor's buffer, then room again for the values after it.
bool ValuePacker::pack_slot_other(Cursor& c, PyObject* v, size_t left) {
    if (!pack_quiet(c.sync(), v)) return false;
    c.resume();
    c.need(left);
    return true;
}

bool ValuePacker::pack_quiet(Buffer& out, PyObject* v, int depth) {
    // lists first: a record's values that get this far are mostly its lists
    PyTypeObject* t = Py_TYPE(v);
    const bool list = t == &PyList_Type;
    if (list || t == &PyTuple_Type) {
        if (depth >= max_quiet_depth) return false;
        // nothing here runs code, so the items are read in place and the size cannot change
        const Py_ssize_t n = list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
        if (static_cast<size_t>(n) > msgpack::max_length) return false;
        PyObject* const* items = list ? reinterpret_cast<PyListObject*>(v)->ob_item
                                      : reinterpret_cast<PyTupleObject*>(v)->ob_item;
        const size_t at = list ? 0 : msgpack::ext_begin(out, ext_tuple);
        msgpack::array(out, static_cast<size_t>(n));
        // prices and volumes: room for all of them at once, then one tight loop
        Cursor c(out);
        c.need(9 * static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (char* end = msgpack::raw::scalar(c.p, items[i])) {
                c.p = end;
                continue;
            }
            if (!pack_quiet(c.sync(), items[i], depth + 1)) return false;
            c.resume();
            c.need(9 * static_cast<size_t>(n - i));
        }
        c.sync();
        if (!list) msgpack::ext_end(out, at);
        return true;
    }
    if (pack_plain(out, v)) return true;
    if (t == &PyLong_Type) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow != 0) return false;  // wider than 64 bits, signed: pack() sorts it out
        msgpack::sint(out, x);
        return true;
    }
    if (t == &PyUnicode_Type) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(v, &n);
        if (s == nullptr) {
            PyErr_Clear();
            return false;
        }
        msgpack::str(out, std::string_view(s, static_cast<size_t>(n)));
        return true;
    }
    if (t == &PyBytes_Type) {
        msgpack::bin(out, std::string_view(PyBytes_AS_STRING(v), static_cast<size_t>(PyBytes_GET_SIZE(v))));
        return true;
    }
    const PackedMember* member = known_member(v);
    if (member == nullptr) return false;
    out.append(member->view());
    return true;
}

bool ValuePacker::pack_sequence(Buffer& out, PyObject* seq, int depth, const Path* path) {
    const Path here{seq, path};
    // The size is read once: packing an item can run Python code (the fallback)
    // that changes a list; items it removed are packed as None, never read past.
    const bool list = PyList_Check(seq);
    const Py_ssize_t n = list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
    if (static_cast<size_t>(n) > msgpack::max_length) return pack_fallback(out, seq);
    msgpack::array(out, static_cast<size_t>(n));
    // A plain item runs no code: the items are read in place until one that is not
    // plain has been packed, after which a list is read again (it may have shrunk).
    PyObject** items = list ? reinterpret_cast<PyListObject*>(seq)->ob_item
                            : reinterpret_cast<PyTupleObject*>(seq)->ob_item;
    Py_ssize_t avail = n;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i >= avail) {
            msgpack::nil(out);
            continue;
        }
        PyObject* item = items[i];
        if (pack_plain(out, item)) continue;
        Ref hold = Ref::borrow(item);
        if (!pack(out, item, depth + 1, &here)) return false;
        if (list) {
            items = reinterpret_cast<PyListObject*>(seq)->ob_item;
            avail = PyList_GET_SIZE(seq);
        }
    }
    return true;
}

bool ValuePacker::pack_other(Buffer& out, PyObject* v) {
    if (const PackedMember* member = known_member(v)) {
        out.append(member->view());
        return true;
    }
    ++python_runs_;  // an instance check may run a metaclass's own code
    const int is_member = PyObject_IsInstance(v, enum_base_.get());
    if (is_member < 0) return false;
    if (!is_member || members_.size() >= max_members) return pack_fallback(out, v);
    Buffer packed;
    if (!pack_fallback(packed, v)) return false;
    Py_INCREF(v);
    members_.emplace(v, PackedMember(packed.view()));
    out.append(packed.view());
    return true;
}

bool ValuePacker::pack_fallback(Buffer& out, PyObject* v) {
    ++python_runs_;
    PyObject* argv[] = {nullptr, v};
    Ref packed = Ref::steal(PyObject_Vectorcall(fallback_.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
    if (!packed) return false;
    if (!PyBytes_Check(packed.get())) {
        PyErr_SetString(PyExc_TypeError, "the capture's value packer returned no bytes");
        return false;
    }
    out.append(std::string_view(PyBytes_AS_STRING(packed.get()), static_cast<size_t>(PyBytes_GET_SIZE(packed.get()))));
    return true;
}

}  // namespace capture
