// Records: the records of one decompressed chunk of a capture, read for a replay.
//
// Iterating a Records object gives the calls of the chunk in order. Nearly
// every record is a market-data call whose values are plain or enumeration
// members seen before; for those the reader's checks are made here and the
// call comes out ready for the replay, as the tuple
//     (position, callback name, wall ns, record, seq, mono ns, thread id)
// with the record built as its shape's tuple class, and the reader's
// bookkeeping (the position, the calls a later "raised" record may name) done.
// Every other record goes, as msgpack gives it, to the reader's Python checks
// (`take`), and what they hand on comes out; a record that does not decode goes
// to `failed` and ends the chunk's reading. A record scan() refuses is unpacked
// by the reader's Python unpacker (through `fallback`), so a file the plain
// reading does not cover meets exactly the rules and messages it always did.
// (Without `take`, the records themselves come out: what the tests compare.)
#include "replay_msgpack.hpp"
#include "replay_native.hpp"

#include <climits>
#include <cstring>
#include <new>
#include <utility>

namespace replay {
namespace {

constexpr long kind_call = 2;  // the first element of a call record

// Short values that recur in nearly every record (callback names, instrument codes,
// enumeration members) kept by their packed bytes, so that each is decoded, and its
// text hashed, once per chunk. A slot holds the latest value of its bytes' hash.
class Recurring {
public:
    static constexpr size_t max_bytes = 48;

    Recurring() = default;
    Recurring(const Recurring&) = delete;
    Recurring& operator=(const Recurring&) = delete;
    ~Recurring() { clear(); }

    // The value kept for these bytes (a new reference), or null.
    PyObject* find(int tag, const char* s, size_t n) const noexcept {
        if (n > max_bytes) return nullptr;
        const Slot& slot = slots_[hash(tag, s, n)];
        if (slot.value == nullptr || slot.tag != tag || slot.len != n || std::memcmp(slot.bytes, s, n) != 0)
            return nullptr;
        return Py_NewRef(slot.value);
    }

    void keep(int tag, const char* s, size_t n, PyObject* value) noexcept {
        if (n > max_bytes) return;
        Slot& slot = slots_[hash(tag, s, n)];
        PyObject* old = slot.value;
        slot.tag = tag;
        slot.len = static_cast<uint8_t>(n);
        std::memcpy(slot.bytes, s, n);
        slot.value = Py_NewRef(value);
        Py_XDECREF(old);
    }

    void clear() noexcept {
        for (Slot& slot : slots_) Py_CLEAR(slot.value);
    }

private:
    static constexpr size_t slot_count = 256;
    struct Slot {
        PyObject* value = nullptr;
        int tag = 0;
        uint8_t len = 0;
        char bytes[max_bytes];
    };

    static size_t hash(int tag, const char* s, size_t n) noexcept {
        uint32_t h = 2166136261u ^ static_cast<uint32_t>(tag);
        for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<uint8_t>(s[i])) * 16777619u;
        return (h ^ h >> 16) & (slot_count - 1);
    }

    Slot slots_[slot_count];
};

struct Records {
    Ref raw;          // the chunk's records (bytes), kept alive while read
    Ref ext_hook;     // decoder._ext(code, data)
    Ref enum_cache;   // the decoder's enumeration members by their packed bytes
    Ref callbacks;    // the strategy callbacks a call may name (frozenset)
    Ref fallback;     // fallback(offset) -> (record, next offset), or None at the end
    Ref seq_pos;      // seq -> position, for the calls a "raised" record may name
    Ref ring;         // the callback of each of the last positions
    Ref forget;       // drops the oldest entries of seq_pos
    Ref max_wall;     // the largest wall time a call may have, plus one
    Ref shapes;       // record shape -> (tuple class or None, count, builder); None: no call is taken here
    Ref take;         // take(records, record) -> what to hand on for a record not taken here (None: nothing)
    Ref failed;       // failed(records, exception) reports a record that does not decode
    long long position;
    Py_ssize_t index;  // records given out
    size_t at;         // where the next record starts
    int8_t enum_code;
    long long max_wall_ll;  // max_wall, where it fits in 64 bits (max_wall_small)
    bool max_wall_small;
    bool stopped = false;  // the reading of the chunk ended at a record that does not hold
    bool made = false;     // the last record came out as a call made here
    Recurring recurring;
    Py_ssize_t enum_cache_size = 0;  // the decoder's cache as last seen: smaller means it was cleared
};

constexpr int tag_text = -1000;  // apart from every extension code

struct RecordsObject {
    PyObject_HEAD
    Records* state;  // null once cleared
};

Records* state_of(PyObject* o) { return reinterpret_cast<RecordsObject*>(o)->state; }

// Extension values: an enumeration member already in the decoder's cache is
// taken from it; anything else goes to the decoder's hook, as msgpack would
// send it, and the record is then left to the Python code.
class Exts final : public ExtSource {
public:
    explicit Exts(Records& r) : r_(r) {}
    bool hooked = false;

    Ref ext(int8_t code, const uint8_t* data, size_t n) override {
        const char* s = reinterpret_cast<const char*>(data);
        if (code == r_.enum_code) {
            // a member stays what the decoder's cache says while the cache keeps it
            const Py_ssize_t size = PyDict_GET_SIZE(r_.enum_cache.get());
            if (size < r_.enum_cache_size) r_.recurring.clear();
            r_.enum_cache_size = size;
            if (PyObject* member = r_.recurring.find(code, s, n)) return Ref::steal(member);
        }
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(s, Py_ssize_t(n)));
        if (!bytes) return bytes;
        if (code == r_.enum_code) {
            PyObject* member = PyDict_GetItemWithError(r_.enum_cache.get(), bytes.get());
            if (member != nullptr && member != Py_None) {
                r_.recurring.keep(code, s, n, member);
                return Ref::borrow(member);
            }
            if (PyErr_Occurred()) return Ref();
        }
        hooked = true;
        Ref code_obj = Ref::steal(PyLong_FromLong(code));
        if (!code_obj) return code_obj;
        PyObject* args[2] = {code_obj.get(), bytes.get()};
        return Ref::steal(PyObject_Vectorcall(r_.ext_hook.get(), args, 2, nullptr));
    }

    Ref text(const char* s, size_t n) override {
        if (PyObject* kept = r_.recurring.find(tag_text, s, n)) return Ref::steal(kept);
        Ref value = ExtSource::text(s, n);
        if (value && n <= 16) r_.recurring.keep(tag_text, s, n, value.get());
        return value;
    }

private:
    Records& r_;
};

bool exact_int(PyObject* v) { return PyLong_CheckExact(v); }

// An exact int within 64 bits, as the reader takes a call's sequence number, monotonic time
// and thread.
bool int64(PyObject* v) {
    if (!PyLong_CheckExact(v)) return false;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(v, &overflow);
    return overflow == 0;
}

// 0 <= wall < max_wall, for an exact int.
int wall_in_range(Records& r, PyObject* wall) {
    int overflow = 0;
    const long long w = PyLong_AsLongLongAndOverflow(wall, &overflow);
    if (overflow < 0 || (overflow == 0 && w < 0)) return 0;
    if (overflow == 0 && r.max_wall_small) return w < r.max_wall_ll;
    if (overflow == 0) return 1;  // the limit is beyond 64 bits
    return PyObject_RichCompareBool(wall, r.max_wall.get(), Py_LT);
}

// The tuple class of a call's record when the call may be taken here: a call of a strategy
// callback, of a known shape with its tuple class, with `count` values and fields of the
// right types. Borrowed; null (no exception) when it may not, null with one on failure.
PyTypeObject* call_class(Records& r, PyObject* seq, PyObject* name, PyObject* wall, PyObject* mono, PyObject* tid,
                         PyObject* sid, Py_ssize_t count) {
    if (!exact_int(sid) || !PyUnicode_CheckExact(name) || !int64(seq) || !exact_int(wall) || !int64(mono) ||
        !int64(tid))
        return nullptr;
    PyObject* shape = PyDict_GetItemWithError(r.shapes.get(), sid);
    if (shape == nullptr || !PyTuple_CheckExact(shape) || PyTuple_GET_SIZE(shape) != 3) return nullptr;
    PyObject* cls = PyTuple_GET_ITEM(shape, 0);
    PyObject* n = PyTuple_GET_ITEM(shape, 1);
    if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), &PyTuple_Type) ||
        !exact_int(n) || PyLong_AsSsize_t(n) != count)
        return nullptr;
    if (PySet_Contains(r.callbacks.get(), name) <= 0 || wall_in_range(r, wall) <= 0) return nullptr;
    return reinterpret_cast<PyTypeObject*>(cls);
}

// The call as the replay takes it, with the reader's bookkeeping done.
Ref ready_call(Records& r, PyObject* record, PyObject* seq, PyObject* name, PyObject* wall, PyObject* mono,
               PyObject* tid) {
    Ref position = Ref::steal(PyLong_FromLongLong(r.position));
    if (!position) return position;
    Ref call = Ref::steal(PyTuple_Pack(7, position.get(), name, wall, record, seq, mono, tid));
    if (!call) return call;
    if (PyDict_SetItem(r.seq_pos.get(), seq, position.get()) < 0) return Ref();
    const Py_ssize_t ring = PyList_GET_SIZE(r.ring.get());
    Py_INCREF(name);
    if (PyList_SetItem(r.ring.get(), Py_ssize_t(r.position & (ring - 1)), name) < 0) return Ref();
    ++r.position;
    if (!(r.position & 0xFFF) && PyDict_Size(r.seq_pos.get()) > ring / 2) {
        Ref done = Ref::steal(PyObject_CallNoArgs(r.forget.get()));
        if (!done) return done;
    }
    return call;
}

// The call ready for the replay, from a record msgpack gave; null as call_class().
Ref take_call(Records& r, PyObject* rec) {
    if (!PyList_CheckExact(rec) || PyList_GET_SIZE(rec) != 8) return Ref();
    PyObject* const* f = reinterpret_cast<PyListObject*>(rec)->ob_item;
    PyObject *kind = f[0], *seq = f[1], *name = f[2], *wall = f[3], *mono = f[4], *tid = f[5], *sid = f[6],
             *vals = f[7];
    if (!exact_int(kind) || PyLong_AsLong(kind) != kind_call || !PyList_CheckExact(vals)) return Ref();
    const Py_ssize_t n = PyList_GET_SIZE(vals);
    PyTypeObject* type = call_class(r, seq, name, wall, mono, tid, sid, n);
    if (type == nullptr) return Ref();
    // the record as its shape's tuple class, as tuple.__new__(cls, values) makes it
    Ref record = Ref::steal(type->tp_alloc(type, n));
    if (!record) return record;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyList_GET_ITEM(vals, i);
        PyTuple_SET_ITEM(record.get(), i, Py_NewRef(v));
    }
    return ready_call(r, record.get(), seq, name, wall, mono, tid);
}

// One value of a market-data call, read in a single pass: the plain kinds, arrays of them
// and enumeration members the decoder's cache holds. Anything else (or bytes that do not
// hold) gives null without an exception, having run no Python code: the record then takes
// the general way, scan() and build().
Ref quick_value(Records& r, Cursor& c, int depth) {
    if (!c.has(1)) return Ref();
    const uint8_t m = *c.p;
    if (m <= 0x7F) {
        ++c.p;
        return Ref::steal(PyLong_FromLong(m));
    }
    if (m == 0xCB) {
        if (!c.has(9)) return Ref();
        const uint64_t bits = be64(c.p + 1);
        c.p += 9;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return Ref::steal(PyFloat_FromDouble(d));
    }
    const Shape s = shape_of(m);
    size_t n = s.fixed;
    switch (s.kind) {
        case Shape::plain: {
            Cursor probe = c;
            if (!c.has(1 + size_t(s.width))) return Ref();
            c.p += 1 + s.width;
            Exts none(r);
            return build(probe, none);  // a number, nil or a bool: no extension, no text
        }
        case Shape::str: {
            Cursor at = c;
            ++at.p;
            if (s.width && !length(at, s.width, n)) return Ref();
            if (!at.has(n)) return Ref();
            const char* text = reinterpret_cast<const char*>(at.p);
            if (PyObject* kept = r.recurring.find(tag_text, text, n)) {
                c.p = at.p + n;
                return Ref::steal(kept);
            }
            if (!valid_utf8(at.p, n)) return Ref();
            c.p = at.p + n;
            Ref value = Ref::steal(PyUnicode_DecodeUTF8(text, Py_ssize_t(n), "strict"));
            if (value && n <= 16) r.recurring.keep(tag_text, text, n, value.get());
            return value;
        }
        case Shape::array: {
            if (depth >= max_depth) return Ref();
            Cursor at = c;
            ++at.p;
            if (s.width && !length(at, s.width, n)) return Ref();
            if (n > at.left()) return Ref();
            Ref list = Ref::steal(PyList_New(Py_ssize_t(n)));
            if (!list) return list;
            for (size_t i = 0; i < n; ++i) {
                Ref item = quick_value(r, at, depth + 1);
                if (!item) return item;
                PyList_SET_ITEM(list.get(), Py_ssize_t(i), item.release());
            }
            c = at;
            return list;
        }
        case Shape::ext: {
            Cursor at = c;
            ++at.p;
            if (s.width && !length(at, s.width, n)) return Ref();
            if (!at.has(n + 1) || static_cast<int8_t>(at.p[0]) != r.enum_code) return Ref();
            const char* data = reinterpret_cast<const char*>(at.p + 1);
            PyObject* member = r.recurring.find(r.enum_code, data, n);
            if (member == nullptr) {
                Ref bytes = Ref::steal(PyBytes_FromStringAndSize(data, Py_ssize_t(n)));
                if (!bytes) return bytes;
                PyObject* cached = PyDict_GetItemWithError(r.enum_cache.get(), bytes.get());
                if (cached == nullptr || cached == Py_None) return Ref();  // the decoder's hook resolves it
                r.recurring.keep(r.enum_code, data, n, cached);
                member = Py_NewRef(cached);
            }
            c.p = at.p + 1 + n;
            return Ref::steal(member);
        }
        default:
            return Ref();
    }
}

// A market-data call read straight from its bytes into the replay's tuple, the record's
// values going into the record's tuple class as they are read. Null without an exception
// when the record is anything else; the reading then starts over the general way.
Ref quick_call(Records& r, Cursor c, size_t& end) {
    if (!c.has(2) || c.p[0] != 0x98 || c.p[1] != kind_call) return Ref();
    c.p += 2;
    Ref fields[6];  // seq, name, wall, mono, tid, sid
    for (Ref& f : fields) {
        f = quick_value(r, c, 1);
        if (!f) return Ref();
    }
    if (!c.has(1)) return Ref();
    const uint8_t m = *c.p;
    size_t n = 0;
    if (m >= 0x90 && m <= 0x9F) {
        n = m & 0x0F;
        ++c.p;
    } else if (m == 0xDC) {
        ++c.p;
        if (!length(c, 2, n)) return Ref();
    } else {
        return Ref();
    }
    PyObject *seq = fields[0].get(), *name = fields[1].get(), *wall = fields[2].get(), *mono = fields[3].get(),
             *tid = fields[4].get(), *sid = fields[5].get();
    PyTypeObject* type = call_class(r, seq, name, wall, mono, tid, sid, Py_ssize_t(n));
    if (type == nullptr || n > c.left()) return Ref();
    Ref record = Ref::steal(type->tp_alloc(type, Py_ssize_t(n)));
    if (!record) return record;
    for (size_t i = 0; i < n; ++i) {
        Ref v = quick_value(r, c, 2);
        if (!v) return v;  // the slots not filled yet are null, which a tuple's deallocation allows
        PyTuple_SET_ITEM(record.get(), Py_ssize_t(i), v.release());
    }
    Ref call = ready_call(r, record.get(), seq, name, wall, mono, tid);
    if (call) end = size_t(c.end - c.p);
    return call;
}

// The next record: a market-data call ready for the replay (an exact tuple), or the record
// as msgpack gives it; null at the end (no exception) or on failure.
Ref next_record(Records& r) {
    r.made = false;
    const auto* begin = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(r.raw.get()));
    const size_t size = size_t(PyBytes_GET_SIZE(r.raw.get()));
    if (r.at >= size) return Ref();
    if (r.shapes.get() != Py_None) {
        size_t left = 0;
        Ref call = quick_call(r, Cursor{begin + r.at, begin + size}, left);
        if (call) {
            r.at = size - left;
            ++r.index;
            r.made = true;
            return call;
        }
        if (PyErr_Occurred()) return Ref();
    }
    Cursor scanned{begin + r.at, begin + size};
    Ref rec;
    bool hooked = true;
    if (scan(scanned, 0)) {
        Cursor c{begin + r.at, begin + size};
        Exts exts(r);
        rec = build(c, exts);
        if (!rec) return Ref();
        r.at = size_t(c.p - begin);
        hooked = exts.hooked;
    } else {
        Ref offset = Ref::steal(PyLong_FromSize_t(r.at));
        if (!offset) return Ref();
        Ref got = Ref::steal(PyObject_CallOneArg(r.fallback.get(), offset.get()));
        if (!got) return Ref();
        if (got.get() == Py_None) {  // no whole record left: the chunk's records end here
            r.at = size;
            return Ref();
        }
        size_t next = 0;
        if (!PyTuple_CheckExact(got.get()) || PyTuple_GET_SIZE(got.get()) != 2 ||
            !exact_int(PyTuple_GET_ITEM(got.get(), 1)) ||
            (next = PyLong_AsSize_t(PyTuple_GET_ITEM(got.get(), 1)), PyErr_Occurred()) || next <= r.at ||
            next > size) {
            PyErr_Clear();
            PyErr_SetString(PyExc_SystemError, "the fallback reader did not move on within the chunk");
            return Ref();
        }
        rec = Ref::borrow(PyTuple_GET_ITEM(got.get(), 0));
        r.at = next;
    }
    ++r.index;
    if (!hooked && r.shapes.get() != Py_None) {
        Ref call = take_call(r, rec.get());
        r.made = bool(call);
        if (call) return call;
        if (PyErr_Occurred()) return Ref();
    }
    return rec;
}

PyObject* records_next(PyObject* self) {
    if (state_of(self) == nullptr) return nullptr;
    Records& r = *state_of(self);
    for (;;) {
        Ref item = next_record(r);
        if (!item) {
            if (!PyErr_Occurred() || r.failed.get() == Py_None || !PyErr_ExceptionMatches(PyExc_Exception))
                return nullptr;
            // a record that does not decode: the reader reports it, and the chunk's reading ends there
            Ref exc = capture::take_exception();
            PyObject* args[2] = {self, exc.get()};
            Ref done = Ref::steal(PyObject_Vectorcall(r.failed.get(), args, 2, nullptr));
            if (!done) return nullptr;
            r.at = size_t(PyBytes_GET_SIZE(r.raw.get()));
            r.stopped = true;
            return nullptr;
        }
        // only the calls made here come out as they are: a record (whatever its decoded
        // value) goes to the reader's checks
        if (r.take.get() == Py_None || r.made)
            return item.release();
        PyObject* args[2] = {self, item.get()};
        Ref taken = Ref::steal(PyObject_Vectorcall(r.take.get(), args, 2, nullptr));
        if (!taken) return nullptr;
        if (taken.get() != Py_None) return taken.release();
    }
}

int records_traverse(PyObject* self, visitproc visit, void* arg) {
    Records* r = state_of(self);
    if (r == nullptr) return 0;
    for (const Ref* ref : {&r->raw, &r->ext_hook, &r->enum_cache, &r->callbacks, &r->fallback, &r->seq_pos,
                           &r->ring, &r->forget, &r->max_wall, &r->shapes, &r->take, &r->failed})
        if (int e = ref->visit(visit, arg)) return e;
    return 0;
}

int records_clear(PyObject* self) {
    // every reference goes before any is released: a finalizer it runs may reach this object
    Records* gone = std::exchange(reinterpret_cast<RecordsObject*>(self)->state, nullptr);
    delete gone;
    return 0;
}

void records_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    records_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* records_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject *raw, *hook, *enum_cache, *callbacks, *fallback, *seq_pos, *ring, *forget, *max_wall, *shapes;
    PyObject *take = Py_None, *failed = Py_None;
    long long position;
    int enum_code;
    static const char* names[] = {"raw", "ext_hook", "enum_code", "enum_cache", "callbacks", "fallback",
                                  "seq_pos", "ring", "forget", "max_wall", "position", "shapes", "take", "failed",
                                  nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!OiO!O!OO!O!OO!LO|OO:Records", const_cast<char**>(names),
                                     &PyBytes_Type, &raw, &hook, &enum_code, &PyDict_Type, &enum_cache,
                                     &PyFrozenSet_Type, &callbacks, &fallback, &PyDict_Type, &seq_pos, &PyList_Type,
                                     &ring, &forget, &PyLong_Type, &max_wall, &position, &shapes, &take, &failed))
        return nullptr;
    const Py_ssize_t ring_size = PyList_GET_SIZE(ring);
    if (ring_size < 2 || (ring_size & (ring_size - 1)) || enum_code < -128 || enum_code > 127 || position < 0 ||
        (shapes != Py_None && !PyDict_Check(shapes))) {
        PyErr_SetString(PyExc_ValueError, "Records: a ring of a power of two, an extension code, a position "
                                          "of 0 or more, and shapes as a dict or None");
        return nullptr;
    }
    Ref o = Ref::steal(type->tp_alloc(type, 0));
    if (!o) return nullptr;
    Records* r = new (std::nothrow) Records();
    if (r == nullptr) return PyErr_NoMemory();
    reinterpret_cast<RecordsObject*>(o.get())->state = r;
    r->raw = Ref::borrow(raw);
    r->ext_hook = Ref::borrow(hook);
    r->enum_cache = Ref::borrow(enum_cache);
    r->callbacks = Ref::borrow(callbacks);
    r->fallback = Ref::borrow(fallback);
    r->seq_pos = Ref::borrow(seq_pos);
    r->ring = Ref::borrow(ring);
    r->forget = Ref::borrow(forget);
    r->max_wall = Ref::borrow(max_wall);
    r->shapes = Ref::borrow(shapes);
    r->take = Ref::borrow(take);
    r->failed = Ref::borrow(failed);
    r->position = position;
    r->index = 0;
    r->at = 0;
    r->enum_code = static_cast<int8_t>(enum_code);
    int overflow = 0;
    r->max_wall_ll = PyLong_AsLongLongAndOverflow(max_wall, &overflow);
    r->max_wall_small = overflow == 0;
    if (overflow < 0) r->max_wall_ll = 0, r->max_wall_small = true;  // nothing is below it
    return o.release();
}

bool usable(PyObject* self) {
    if (state_of(self) != nullptr) return true;
    PyErr_SetString(PyExc_RuntimeError, "the records are cleared");
    return false;
}

PyObject* get_position(PyObject* self, void*) {
    return usable(self) ? PyLong_FromLongLong(state_of(self)->position) : nullptr;
}

int set_position(PyObject* self, PyObject* value, void*) {
    if (!usable(self)) return -1;
    if (value == nullptr || !PyLong_CheckExact(value)) {
        PyErr_SetString(PyExc_TypeError, "the position is an int");
        return -1;
    }
    const long long p = PyLong_AsLongLong(value);
    if (p == -1 && PyErr_Occurred()) return -1;
    if (p < 0) {
        PyErr_SetString(PyExc_ValueError, "the position is 0 or more");
        return -1;
    }
    state_of(self)->position = p;
    return 0;
}

PyObject* get_index(PyObject* self, void*) {
    return usable(self) ? PyLong_FromSsize_t(state_of(self)->index) : nullptr;
}

PyObject* get_shapes(PyObject* self, void*) {
    return usable(self) ? Py_NewRef(state_of(self)->shapes.get()) : nullptr;
}

int set_shapes(PyObject* self, PyObject* value, void*) {
    if (!usable(self)) return -1;
    if (value == nullptr || (value != Py_None && !PyDict_Check(value))) {
        PyErr_SetString(PyExc_TypeError, "the shapes are a dict or None");
        return -1;
    }
    Ref old = std::exchange(state_of(self)->shapes, Ref::borrow(value));
    return 0;
}

PyObject* get_stopped(PyObject* self, void*) {
    return usable(self) ? PyBool_FromLong(state_of(self)->stopped) : nullptr;
}

PyObject* records_stop(PyObject* self, PyObject*) {
    if (!usable(self)) return nullptr;
    Records& r = *state_of(self);
    r.at = size_t(PyBytes_GET_SIZE(r.raw.get()));
    r.stopped = true;
    Py_RETURN_NONE;
}

PyMethodDef records_methods[] = {
    {"stop", records_stop, METH_NOARGS, "ends the reading of the chunk here (a record that does not hold)"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef records_getset[] = {
    {"position", get_position, set_position, "the position the next call gets", nullptr},
    {"index", get_index, nullptr, "the records read so far", nullptr},
    {"stopped", get_stopped, nullptr, "whether the reading ended at a record that does not hold", nullptr},
    {"shapes", get_shapes, set_shapes, "the record shapes calls are taken for here (None: none)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};



}  // namespace

PyTypeObject RecordsType = [] {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;  // a static type is never freed
    t.tp_name = "tessaline_tools._replay_native.Records";
    t.tp_basicsize = sizeof(RecordsObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "The records of one decompressed chunk of a capture, market-data calls ready for the replay.";
    t.tp_new = records_new;
    t.tp_dealloc = records_dealloc;
    t.tp_traverse = records_traverse;
    t.tp_clear = records_clear;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = records_next;
    t.tp_getset = records_getset;
    t.tp_methods = records_methods;
    return t;
}();

}  // namespace replay
