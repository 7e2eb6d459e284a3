// A market-data callback of a captured strategy class. Called as a method
// (it is a method descriptor, so a call through the instance binds nothing),
// it packs the record attributes the module reads, with the call's moments
// and thread, into the capture's store, then calls the strategy's own method.
// A record type whose attributes are plain slots is read straight from its
// slots while the type is unchanged (its version tag holds); any other type,
// or an unset slot, goes through the ordinary attribute lookup.
#include "recorder.hpp"

#include "msgpack_out.hpp"

#include <structmember.h>

#include <algorithm>
#include <new>

namespace capture {

namespace {

// A record of more attributes than this is packed the careful way (the
// callbacks' records have at most 21).
constexpr size_t max_in_place = 32;

struct TypeEntry {
    Ref type;
    long sid = -1;
    unsigned int version = 0;  // 0: no valid version tag, every attribute looked up
    std::vector<Py_ssize_t> offsets;  // per attribute: slot offset, or -1
    bool all_slots = false;            // every attribute a slot, read in place while the version holds
    msgpack::PaddedBytes lead;         // the shape id and the attributes' array header
};

// The record type whose calls are packed in place, with all that packing one
// reads, held inline so that a call reads a few adjacent cache lines rather
// than a chain of blocks.
struct InPlaceShape {
    PyTypeObject* type = nullptr;  // borrowed: its TypeEntry holds it; null: none yet
    unsigned int version = 0;      // the type's version tag when its slots were found
    uint32_t n = 0;
    msgpack::PaddedBytes lead;
    int32_t offsets[max_in_place] = {};
};

struct HotImpl {
    // what every call reads, first: the recorder's store and packer reached
    // straight from here (a call goes from this object to the store, with no
    // stop at the recorder); null once the references are cleared
    Store* store = nullptr;
    ValuePacker* packer = nullptr;
    Ref recorder;  // owns the store and the packer
    Ref base;
    msgpack::PaddedBytes name_packed;
    InPlaceShape shape;
    // the rest
    Ref name;
    Ref attrs;  // tuple of str
    Ref generic;  // the callback with any other arguments: the generic recording
    Ref schema_hook;  // type -> shape id (registers the shape; its record goes in first)
    std::vector<TypeEntry> types;
    Buffer scratch;
    bool scratch_busy = false;
};

// The state is held in the object itself: a call reads it right after the
// object's head, rather than one pointer further on.
struct HotMethod {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    bool constructed;  // impl is built (tp_alloc leaves it zeroed, not constructed)
    HotImpl impl;
};

HotMethod* self_of(PyObject* o) { return reinterpret_cast<HotMethod*>(o); }

unsigned int version_of(PyTypeObject* t) {
    return (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? t->tp_version_tag : 0;
}

void find_slots(HotImpl& m, TypeEntry& e, PyTypeObject* t) {
    const Py_ssize_t n = PyTuple_GET_SIZE(m.attrs.get());
    e.offsets.assign(static_cast<size_t>(n), -1);
    e.all_slots = false;
    if (t->tp_getattro != PyObject_GenericGetAttr) {
        e.version = 0;
        return;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* d = _PyType_Lookup(t, PyTuple_GET_ITEM(m.attrs.get(), i));
        if (d == nullptr || Py_TYPE(d) != &PyMemberDescr_Type) continue;
        PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(d)->d_member;
        if (member->type == T_OBJECT_EX && !(member->flags & READ_RESTRICTED))
            e.offsets[static_cast<size_t>(i)] = member->offset;
    }
    e.version = version_of(t);
    e.all_slots = e.version != 0 && e.offsets.size() <= max_in_place &&
                  std::find(e.offsets.begin(), e.offsets.end(), -1) == e.offsets.end();
}

// Makes the entry's type (every attribute a slot) the one packed in place.
void use_in_place(HotImpl& m, const TypeEntry& e) {
    InPlaceShape& s = m.shape;
    s.type = reinterpret_cast<PyTypeObject*>(e.type.get());
    s.version = e.version;
    s.n = static_cast<uint32_t>(e.offsets.size());
    s.lead = e.lead;
    for (size_t i = 0; i < e.offsets.size(); ++i) s.offsets[i] = static_cast<int32_t>(e.offsets[i]);
}

TypeEntry* entry_for(HotImpl& m, PyTypeObject* t) {
    for (TypeEntry& e : m.types) {
        if (e.type.get() != reinterpret_cast<PyObject*>(t)) continue;
        if (e.version != 0 && e.version != version_of(t)) find_slots(m, e, t);
        return &e;
    }
    PyObject* argv[] = {nullptr, reinterpret_cast<PyObject*>(t)};
    Ref sid = Ref::steal(PyObject_Vectorcall(m.schema_hook.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr));
    if (!sid) return nullptr;
    const long id = PyLong_AsLong(sid.get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    TypeEntry e;
    e.type = Ref::borrow(reinterpret_cast<PyObject*>(t));
    e.sid = id;
    Buffer lead;
    msgpack::uint(lead, static_cast<uint64_t>(id));
    msgpack::array(lead, static_cast<size_t>(PyTuple_GET_SIZE(m.attrs.get())));
    e.lead = msgpack::PaddedBytes(lead.view());
    find_slots(m, e, t);
    m.types.push_back(std::move(e));
    return &m.types.back();
}

bool pack_missing(Recorder* r, Buffer& out) {
    Ref packed;
    {
        HeldException held;
        PyObject* argv[] = {nullptr, held.value()};
        packed = Ref::steal(PyObject_Vectorcall(r->missing_hook.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
        if (!packed) {
            PyErr_WriteUnraisable(r->missing_hook.get());
        }
    }
    PyErr_Clear();  // the lookup's own exception: kept in the record, not raised
    if (!packed || !PyBytes_Check(packed.get())) {
        msgpack::nil(out);
        return true;
    }
    out.append(std::string_view(PyBytes_AS_STRING(packed.get()), static_cast<size_t>(PyBytes_GET_SIZE(packed.get()))));
    return true;
}

// The common call, packed in place: a record type of plain slots, every one
// set, holding values that run no Python code while they are packed. Nothing
// else can reach the store between the record's head and its end, so it is
// packed into the store's staging buffer, which stays in the cache, and
// streamed into the current segment when it is whole. Any other call (or one
// made while a gap is open: the gap's record goes first) comes back as 0, no
// exception set and nothing kept, for the careful way.
uint64_t record_in_place(HotImpl& m, PyObject* rec, int64_t wall, int64_t mono, unsigned long tid) {
    Store& store = *m.store;
    if (store.gap_calls() != 0) return 0;
    // a record given up half-way, or cut by a failed allocation, leaves nothing behind
    struct Rewind {
        Store& store;
        size_t start;
        bool done = false;
        ~Rewind() {
            if (!done) store.rewind(start);
        }
    } rewind{store, store.begin_call(kind_call, m.name_packed, wall, mono, tid, 2, m.shape.lead)};
    if (!m.packer->pack_quiet_slots(store.current(), reinterpret_cast<const char*>(rec), m.shape.offsets, m.shape.n))
        return 0;
    rewind.done = true;
    return store.commit_begun(rewind.start);
}

// Packs and stores one call the careful way (any call record() does not keep
// in place): its sequence number, or 0 with an exception set. Out of line and
// cold, so the common call's code stays in a few cache lines.
// `tried` tells that the call was just tried in place, as it stands.
[[gnu::noinline, gnu::cold]] uint64_t record_careful(HotImpl& m, Recorder* r, PyObject* rec, int64_t wall,
                                                     int64_t mono, unsigned long tid, bool tried) {
    // the thread first: registering it runs Python code, which may add a type
    // entry (moving the others) or change this record's type
    if (!ensure_thread(r, tid)) return 0;
    TypeEntry* e = entry_for(m, Py_TYPE(rec));
    if (e == nullptr) return 0;
    if (e->all_slots && !tried) {
        use_in_place(m, *e);
        if (const uint64_t seq = record_in_place(m, rec, wall, mono, tid)) return seq;
    }
    const long sid = e->sid;
    Scratch scratch(m.scratch, m.scratch_busy);
    Buffer& out = scratch.buf();
    msgpack::uint(out, static_cast<uint64_t>(sid));
    PyObject* attrs = m.attrs.get();
    const Py_ssize_t n = PyTuple_GET_SIZE(attrs);
    msgpack::array(out, static_cast<size_t>(n));
    // the slot offsets while the type is unchanged (null: every attribute looked up); any
    // step that may run Python code looks the entry up again
    const Py_ssize_t* offsets = e->version != 0 ? e->offsets.data() : nullptr;
    char* const base = reinterpret_cast<char*>(rec);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = nullptr;
        if (offsets != nullptr && offsets[i] >= 0) {
            v = *reinterpret_cast<PyObject**>(base + offsets[i]);
            // a plain value runs no code while it is packed: read in place, no reference taken
            if (v != nullptr && ValuePacker::pack_plain(out, v)) continue;
            Py_XINCREF(v);
        }
        if (v == nullptr) {
            v = PyObject_GetAttr(rec, PyTuple_GET_ITEM(attrs, i));
            if (v == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) return 0;
                if (!pack_missing(r, out)) return 0;
                if (!(e = entry_for(m, Py_TYPE(rec)))) return 0;
                offsets = e->version != 0 ? e->offsets.data() : nullptr;
                continue;
            }
            // the lookup may have run Python code: the entry may have moved, the type changed
            e = entry_for(m, Py_TYPE(rec));
            if (e == nullptr) {
                Py_DECREF(v);
                return 0;
            }
            offsets = e->version != 0 ? e->offsets.data() : nullptr;
        }
        Ref hold = Ref::steal(v);
        const uint64_t runs = r->packer->python_runs();
        if (!r->packer->pack(out, v)) return 0;
        if (r->packer->python_runs() != runs) {
            if (!(e = entry_for(m, Py_TYPE(rec)))) return 0;
            offsets = e->version != 0 ? e->offsets.data() : nullptr;
        }
    }
    return r->store->commit_call(kind_call, m.name_packed.view(), wall, mono, tid, out.view(), 2);
}

// Packs and stores one call; its sequence number, or 0 with an exception set.
// The common call (the thread that called last, the record type packed in
// place last time and unchanged since, every slot set to a value packed in
// place) is kept here; any other goes the careful way.
uint64_t record(HotImpl& m, Recorder* r, PyObject* rec, int64_t wall, int64_t mono) {
    const unsigned long tid = PyThread_get_thread_ident();
    PyTypeObject* t = Py_TYPE(rec);
    // shape.version is never 0, so a type with no valid version tag never matches
    if (tid == m.store->last_thread && t == m.shape.type && m.shape.version == version_of(t)) [[likely]] {
        if (const uint64_t seq = record_in_place(m, rec, wall, mono, tid)) [[likely]]
            return seq;
        return record_careful(m, r, rec, wall, mono, tid, true);
    }
    return record_careful(m, r, rec, wall, mono, tid, false);
}

[[gnu::noinline, gnu::cold]] void report_raised(Recorder* r, uint64_t seq) {
    HeldException held;
    Ref seq_obj = Ref::steal(PyLong_FromUnsignedLongLong(seq));
    if (!seq_obj) {
        PyErr_WriteUnraisable(r->raised_hook.get());
        return;
    }
    PyObject* argv[] = {nullptr, seq_obj.get(), held.value()};
    Ref result = Ref::steal(PyObject_Vectorcall(r->raised_hook.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
    if (!result) PyErr_WriteUnraisable(r->raised_hook.get());
}

// A call that could not be recorded: true if the callback goes on (the
// failure, the capture's own, is reported and costs only this call's record);
// false for KeyboardInterrupt and the like, which go on up.
[[gnu::noinline, gnu::cold]] bool drop_failed_call(PyObject* callable, Store& store) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_WriteUnraisable(callable);
    ++store.dropped;
    return true;
}

[[gnu::noinline, gnu::cold]] PyObject* cleared_error() {
    PyErr_SetString(PyExc_RuntimeError, "the captured method is cleared");
    return nullptr;
}

[[gnu::noinline, gnu::cold]] PyObject* call_generic(HotImpl& m, PyObject* const* args, size_t nargsf,
                                                    PyObject* kwnames) {
    return PyObject_Vectorcall(m.generic.get(), args, nargsf, kwnames);
}

PyObject* hot_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    HotImpl& m = self_of(callable)->impl;
    Store* store = m.store;
    if (store == nullptr) [[unlikely]]
        return cleared_error();  // (a finalizer run while a cycle is collected may still call it)
    if (PyVectorcall_NARGS(nargsf) != 2 || kwnames != nullptr) [[unlikely]]
        return call_generic(m, args, nargsf, kwnames);
    Recorder* r = reinterpret_cast<Recorder*>(m.recorder.get());  // for the rare paths: not read on the common one
    int64_t wall, mono;
    store->clock.now(wall, mono);
    bool gap_started = false;
    uint64_t seq = 0;
    if (store->admit(wall, gap_started)) [[likely]] {
        try {
            seq = record(m, r, args[1], wall, mono);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
        if (seq == 0) [[unlikely]] {
            if (!drop_failed_call(callable, *store)) return nullptr;
        } else if (store->take_filled()) [[unlikely]] {
            wake_writer(r);
        }
    } else if (gap_started) {
        report_gap(r);
    }
    // the strategy's own method through its vectorcall entry: the caller of
    // this one checks the result as it would have checked that method's
    PyObject* base = m.base.get();
    vectorcallfunc call = PyVectorcall_Function(base);
    PyObject* result = call != nullptr ? call(base, args, nargsf, nullptr) : PyObject_Vectorcall(base, args, nargsf, nullptr);
    if (result == nullptr && seq != 0) [[unlikely]]
        report_raised(r, seq);
    return result;
}

PyObject* hot_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"recorder", "name", "attrs", "base", "generic", "schema_hook", nullptr};
    PyObject *recorder, *name, *attrs, *base, *generic, *schema;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!UO!OOO", const_cast<char**>(keywords), &RecorderType, &recorder,
                                     &name, &PyTuple_Type, &attrs, &base, &generic, &schema))
        return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(attrs); ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(attrs, i))) {
            PyErr_SetString(PyExc_TypeError, "attribute names are str");
            return nullptr;
        }
    }
    Recorder* r = reinterpret_cast<Recorder*>(recorder);
    if (r->store == nullptr || r->packer == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the Recorder is not initialised");
        return nullptr;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name, &n);
    if (s == nullptr) return nullptr;
    Ref o = Ref::steal(type->tp_alloc(type, 0));
    if (!o) return nullptr;
    HotMethod* self = self_of(o.get());
    new (&self->impl) HotImpl();  // (builds nothing on the heap: cannot throw)
    self->constructed = true;
    HotImpl& m = self->impl;
    try {
        Buffer packed;
        msgpack::str(packed, std::string_view(s, static_cast<size_t>(n)));
        m.name_packed = msgpack::PaddedBytes(packed.view());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    m.store = r->store;
    m.packer = r->packer;
    m.recorder = Ref::borrow(recorder);
    m.name = Ref::borrow(name);
    m.attrs = Ref::borrow(attrs);
    m.base = Ref::borrow(base);
    m.generic = Ref::borrow(generic);
    m.schema_hook = Ref::borrow(schema);
    self->vectorcall = hot_vectorcall;
    return o.release();
}

int hot_traverse(PyObject* o, visitproc visit, void* arg) {
    if (!self_of(o)->constructed) return 0;
    HotImpl* m = &self_of(o)->impl;
    for (const Ref* r : {&m->recorder, &m->name, &m->attrs, &m->base, &m->generic, &m->schema_hook})
        if (int v = r->visit(visit, arg)) return v;
    for (const TypeEntry& e : m->types)
        if (int v = e.type.visit(visit, arg)) return v;
    return 0;
}

int hot_clear(PyObject* o) {
    if (!self_of(o)->constructed) return 0;
    HotImpl* m = &self_of(o)->impl;
    // every reference goes before any is released: a finalizer it runs may reach
    // this object, and a call then finds no store
    m->store = nullptr;
    m->packer = nullptr;
    HotImpl gone;
    std::swap(gone.recorder, m->recorder);
    std::swap(gone.name, m->name);
    std::swap(gone.attrs, m->attrs);
    std::swap(gone.base, m->base);
    std::swap(gone.generic, m->generic);
    std::swap(gone.schema_hook, m->schema_hook);
    std::swap(gone.types, m->types);
    m->shape.type = nullptr;  // its entry goes with the others
    return 0;
}

void hot_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    hot_clear(o);
    if (self_of(o)->constructed) self_of(o)->impl.~HotImpl();
    Py_TYPE(o)->tp_free(o);
}

PyObject* hot_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

bool usable(HotMethod* self) {
    if (self->constructed && self->impl.store != nullptr) return true;
    cleared_error();
    return false;
}

PyObject* hot_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!usable(self_of(self))) return nullptr;
    return PyVectorcall_Call(self, args, kwargs);
}

PyObject* get_name(PyObject* o, void*) {
    return usable(self_of(o)) ? Py_NewRef(self_of(o)->impl.name.get()) : nullptr;
}

PyObject* get_wrapped(PyObject* o, void*) {
    return usable(self_of(o)) ? Py_NewRef(self_of(o)->impl.base.get()) : nullptr;
}

PyGetSetDef hot_getset[] = {
    {"__name__", get_name, nullptr, "the callback's name", nullptr},
    {"__wrapped__", get_wrapped, nullptr, "the strategy's own method", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject HotMethodType = [] {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;  // a static type is never freed
    t.tp_name = "tessaline_tools._capture_native.HotMethod";
    t.tp_basicsize = sizeof(HotMethod);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A market-data callback that records each call, then makes it.";
    t.tp_vectorcall_offset = offsetof(HotMethod, vectorcall);
    t.tp_new = hot_new;
    t.tp_call = hot_call;
    t.tp_dealloc = hot_dealloc;
    t.tp_traverse = hot_traverse;
    t.tp_clear = hot_clear;
    t.tp_descr_get = hot_descr_get;
    t.tp_getset = hot_getset;
    return t;
}();

}  // namespace capture
