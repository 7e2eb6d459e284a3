// The Recorder type: the Python face of the record store, used by the
// capture's Python side (the rarely called callbacks, the writer thread).
#include "recorder.hpp"

#include "msgpack_out.hpp"

#include <algorithm>
#include <new>

namespace capture {

bool register_thread(Recorder* r, unsigned long tid) {
    auto& known = *r->threads;
    if (std::find(known.begin(), known.end(), tid) != known.end()) {
        r->store->last_thread = tid;
        return true;
    }
    Ref tid_obj = Ref::steal(PyLong_FromUnsignedLong(tid));
    if (!tid_obj) return false;
    PyObject* argv[] = {nullptr, tid_obj.get()};
    Ref result = Ref::steal(PyObject_Vectorcall(r->thread_hook.get(), argv + 1,
                                                1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) return false;
    known.push_back(tid);
    r->store->last_thread = tid;
    return true;
}

void report_gap(Recorder* r) {
    HeldException held;  // an exception already being raised comes out of this as it went in
    Ref result = Ref::steal(PyObject_CallNoArgs(r->gap_hook.get()));
    if (!result) PyErr_WriteUnraisable(r->gap_hook.get());  // the callback goes on regardless
}

void report_filled(Recorder* r) {
    HeldException held;
    Ref result = Ref::steal(PyObject_CallNoArgs(r->filled_hook.get()));
    if (!result) PyErr_WriteUnraisable(r->filled_hook.get());
}

namespace {

// A taken segment's records, handed to the writer thread as they are: bytes-like
// (the buffer protocol, read-only) and sized, so compressing and checksumming
// read the store's memory in place, with no copy of every record.
// Once the writer is done with it, its memory goes back to the store that made it.
struct Chunk {
    PyObject_HEAD
    Buffer data;
    Ref owner;  // the Recorder
};

void chunk_dealloc(PyObject* o) {
    Chunk* c = reinterpret_cast<Chunk*>(o);
    if (c->owner) {
        Recorder* r = reinterpret_cast<Recorder*>(c->owner.get());
        if (r->store != nullptr) r->store->recycle(c->data);
    }
    c->data.~Buffer();
    c->owner.~Ref();
    Py_TYPE(o)->tp_free(o);
}

int chunk_getbuffer(PyObject* o, Py_buffer* view, int flags) {
    Buffer& b = reinterpret_cast<Chunk*>(o)->data;
    return PyBuffer_FillInfo(view, o, const_cast<char*>(b.data()), static_cast<Py_ssize_t>(b.size()), 1, flags);
}

Py_ssize_t chunk_length(PyObject* o) { return static_cast<Py_ssize_t>(reinterpret_cast<Chunk*>(o)->data.size()); }

PyObject* chunk_bytes(PyObject* o, PyObject*) {
    const Buffer& b = reinterpret_cast<Chunk*>(o)->data;
    return PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size()));
}

PyBufferProcs chunk_as_buffer = {chunk_getbuffer, nullptr};
PySequenceMethods chunk_as_sequence = {chunk_length, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr};
PyMethodDef chunk_methods[] = {
    {"__bytes__", chunk_bytes, METH_NOARGS, "the records as bytes (a copy)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject ChunkType = [] {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;  // a static type is never freed
    t.tp_name = "tessaline_tools._capture_native.Chunk";
    t.tp_basicsize = sizeof(Chunk);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "Records of one segment, read-only through the buffer protocol.";
    t.tp_dealloc = chunk_dealloc;
    t.tp_as_buffer = &chunk_as_buffer;
    t.tp_as_sequence = &chunk_as_sequence;
    t.tp_methods = chunk_methods;
    return t;
}();

namespace {

PyObject* new_chunk(Buffer&& data, PyObject* owner) {
    PyObject* o = ChunkType.tp_alloc(&ChunkType, 0);
    if (o == nullptr) return nullptr;
    new (&reinterpret_cast<Chunk*>(o)->data) Buffer(std::move(data));
    new (&reinterpret_cast<Chunk*>(o)->owner) Ref(Ref::borrow(owner));
    return o;
}

Recorder* self_of(PyObject* o) { return reinterpret_cast<Recorder*>(o); }

int recorder_init(PyObject* o, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"budget", "segment_bytes", "segment_records", "fallback", "missing_hook",
                                     "thread_hook", "gap_hook", "raised_hook", "enum_base", "filled_hook", nullptr};
    Py_ssize_t budget, segment_bytes, segment_records;
    PyObject *fallback, *missing, *thread, *gap, *raised, *enum_base, *filled = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "nnnOOOOOO|O", const_cast<char**>(keywords), &budget,
                                     &segment_bytes, &segment_records, &fallback, &missing, &thread, &gap, &raised,
                                     &enum_base, &filled))
        return -1;
    if (budget < 1 || segment_bytes < 1 || segment_records < 1) {
        PyErr_SetString(PyExc_ValueError, "budget and segment sizes must be positive");
        return -1;
    }
    Recorder* r = self_of(o);
    if (r->store != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "a Recorder is initialised once");
        return -1;
    }
    try {
        r->store = new Store(static_cast<size_t>(budget), static_cast<size_t>(segment_bytes),
                             static_cast<uint32_t>(std::min<Py_ssize_t>(segment_records, UINT32_MAX)));
        r->packer = new ValuePacker(fallback, enum_base);
        r->threads = new std::vector<unsigned long>();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    r->missing_hook = Ref::borrow(missing);
    r->thread_hook = Ref::borrow(thread);
    r->gap_hook = Ref::borrow(gap);
    r->raised_hook = Ref::borrow(raised);
    if (filled != Py_None) r->filled_hook = Ref::borrow(filled);
    return 0;
}

PyObject* recorder_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (o == nullptr) return nullptr;
    Recorder* r = self_of(o);
    new (&r->missing_hook) Ref();
    new (&r->thread_hook) Ref();
    new (&r->gap_hook) Ref();
    new (&r->raised_hook) Ref();
    new (&r->filled_hook) Ref();
    r->store = nullptr;
    r->packer = nullptr;
    r->threads = nullptr;
    return o;
}

int recorder_traverse(PyObject* o, visitproc visit, void* arg) {
    Recorder* r = self_of(o);
    for (const Ref* h : {&r->missing_hook, &r->thread_hook, &r->gap_hook, &r->raised_hook, &r->filled_hook})
        if (int v = h->visit(visit, arg)) return v;
    if (r->packer != nullptr) return r->packer->traverse(visit, arg);
    return 0;
}

int recorder_clear(PyObject* o) {
    Recorder* r = self_of(o);
    r->missing_hook.clear();
    r->thread_hook.clear();
    r->gap_hook.clear();
    r->raised_hook.clear();
    r->filled_hook.clear();
    if (r->packer != nullptr) r->packer->clear();
    return 0;
}

void recorder_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    Recorder* r = self_of(o);
    recorder_clear(o);
    delete r->packer;
    delete r->store;
    delete r->threads;
    r->missing_hook.~Ref();
    r->thread_hook.~Ref();
    r->gap_hook.~Ref();
    r->raised_hook.~Ref();
    r->filled_hook.~Ref();
    Py_TYPE(o)->tp_free(o);
}

bool ready(Recorder* r) {
    if (r->store != nullptr && r->packer != nullptr && r->gap_hook) return true;
    PyErr_SetString(PyExc_RuntimeError, "the Recorder is not initialised");
    return false;
}

PyObject* r_next_seq(PyObject* o, PyObject*) {
    if (!ready(self_of(o))) return nullptr;
    return PyLong_FromUnsignedLongLong(self_of(o)->store->next_seq());
}

PyObject* r_admit(PyObject* o, PyObject* arg) {
    Recorder* r = self_of(o);
    if (!ready(r)) return nullptr;
    const long long wall = PyLong_AsLongLong(arg);
    if (wall == -1 && PyErr_Occurred()) return nullptr;
    bool gap_started = false;
    const bool kept = r->store->admit(wall, gap_started);
    if (gap_started) report_gap(r);
    return PyBool_FromLong(kept);
}

// record_call(name, wall, mono, tid, args, kwargs, pre): the three last are packed values.
PyObject* r_record_call(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    Recorder* r = self_of(o);
    if (!ready(r)) return nullptr;
    if (nargs != 7 || !PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "record_call(name, wall, mono, tid, args, kwargs, pre)");
        return nullptr;
    }
    long long wall = PyLong_AsLongLong(args[1]);
    long long mono = PyLong_AsLongLong(args[2]);
    unsigned long long tid = PyLong_AsUnsignedLongLong(args[3]);
    if (PyErr_Occurred()) return nullptr;
    try {
        Buffer name;
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(args[0], &n);
        if (s == nullptr) return nullptr;
        msgpack::str(name, std::string_view(s, static_cast<size_t>(n)));
        Buffer tail;
        for (int i = 4; i < 7; ++i) {
            if (!PyBytes_Check(args[i])) {
                PyErr_SetString(PyExc_TypeError, "record_call: packed values are bytes");
                return nullptr;
            }
            tail.append(std::string_view(PyBytes_AS_STRING(args[i]), static_cast<size_t>(PyBytes_GET_SIZE(args[i]))));
        }
        return PyLong_FromUnsignedLongLong(r->store->commit_call(kind_gcall, name.view(), wall, mono, tid, tail.view(), 3));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// append(records, n): records packed elsewhere (shapes, threads, context calls, exceptions).
PyObject* r_append(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    Recorder* r = self_of(o);
    if (!ready(r)) return nullptr;
    if (nargs != 2 || !PyBytes_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "append(records: bytes, n: int)");
        return nullptr;
    }
    const long n = PyLong_AsLong(args[1]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (r->store->disabled()) Py_RETURN_FALSE;
    try {
        r->store->append(std::string_view(PyBytes_AS_STRING(args[0]), static_cast<size_t>(PyBytes_GET_SIZE(args[0]))),
                         static_cast<uint32_t>(n));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_TRUE;
}

// take(force): the oldest full segment (with force also a partial one) as
// (records, number of records, calls, new day), or None. The records are a
// Chunk: the segment's own memory, read through the buffer protocol, never copied.
PyObject* r_take(PyObject* o, PyObject* arg) {
    Recorder* r = self_of(o);
    if (!ready(r)) return nullptr;
    const int force = PyObject_IsTrue(arg);
    if (force < 0) return nullptr;
    if (!r->store->has_sealed()) {
        if (!force || !r->store->has_current()) Py_RETURN_NONE;
        r->store->seal();
    }
    Segment s = r->store->take();
    const size_t size = s.data.size();
    Ref data = Ref::steal(new_chunk(std::move(s.data), o));
    if (!data) {
        r->store->release(size);
        return nullptr;
    }
    return Py_BuildValue("(NIIO)", data.release(), s.records, s.calls, s.new_day ? Py_True : Py_False);
}

PyObject* r_release(PyObject* o, PyObject* arg) {
    Recorder* r = self_of(o);
    if (!ready(r)) return nullptr;
    const Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    r->store->release(n < 0 ? 0 : static_cast<size_t>(n));
    Py_RETURN_NONE;
}

PyObject* r_discard(PyObject* o, PyObject*) {
    Recorder* r = self_of(o);
    if (!ready(r)) return nullptr;
    return PyLong_FromUnsignedLongLong(r->store->discard());
}

PyObject* r_close_gap(PyObject* o, PyObject*) {
    Recorder* r = self_of(o);
    if (!ready(r)) return nullptr;
    try {
        r->store->close_gap();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* r_disable(PyObject* o, PyObject*) {
    Recorder* r = self_of(o);
    if (!ready(r)) return nullptr;
    r->store->disable();
    Py_RETURN_NONE;
}

// pack(value): a value as this recorder packs it in a market-data record.
PyObject* r_pack(PyObject* o, PyObject* arg) {
    Recorder* r = self_of(o);
    if (!ready(r)) return nullptr;
    try {
        Buffer out;
        if (!r->packer->pack(out, arg)) return nullptr;
        return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// pack_in_place(value): the value as a market-data record packed in place holds
// it, or None when that packing leaves it to pack() (it may run Python code).
PyObject* r_pack_in_place(PyObject* o, PyObject* arg) {
    Recorder* r = self_of(o);
    if (!ready(r)) return nullptr;
    try {
        Buffer out;
        if (!r->packer->pack_quiet(out, arg)) Py_RETURN_NONE;
        return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef recorder_methods[] = {
    {"next_seq", r_next_seq, METH_NOARGS, "reserves a sequence number"},
    {"admit", r_admit, METH_O, "admit(wall_ns): whether a call at that moment is kept (False: dropped)"},
    {"record_call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(r_record_call)), METH_FASTCALL,
     "record_call(name, wall, mono, tid, args, kwargs, pre) -> seq: appends a call record"},
    {"append", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(r_append)), METH_FASTCALL,
     "append(records, n): appends packed records; False once the capture has stopped"},
    {"take", r_take, METH_O, "take(force): the next segment for the writer, or None"},
    {"release", r_release, METH_O, "release(n): the writer is done with n bytes"},
    {"discard", r_discard, METH_NOARGS, "forgets every waiting record; returns the calls among them"},
    {"close_gap", r_close_gap, METH_NOARGS, "writes the gap still open, as the capture ends inside it"},
    {"disable", r_disable, METH_NOARGS, "stops recording: every later call is counted as dropped"},
    {"pack", r_pack, METH_O, "pack(value) -> bytes"},
    {"pack_in_place", r_pack_in_place, METH_O, "pack_in_place(value) -> bytes, or None if left to pack()"},
    {nullptr, nullptr, 0, nullptr},
};

template <class T>
PyObject* to_py(T v) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
}

PyObject* get_pending(PyObject* o, void*) { return ready(self_of(o)) ? to_py(self_of(o)->store->pending()) : nullptr; }
PyObject* get_in_flight(PyObject* o, void*) {
    return ready(self_of(o)) ? to_py(self_of(o)->store->in_flight()) : nullptr;
}
PyObject* get_peak(PyObject* o, void*) { return ready(self_of(o)) ? to_py(self_of(o)->store->peak()) : nullptr; }
PyObject* get_dropped(PyObject* o, void*) { return ready(self_of(o)) ? to_py(self_of(o)->store->dropped) : nullptr; }
PyObject* get_gaps(PyObject* o, void*) { return ready(self_of(o)) ? to_py(self_of(o)->store->gaps) : nullptr; }
PyObject* get_gap_calls(PyObject* o, void*) {
    return ready(self_of(o)) ? to_py(self_of(o)->store->gap_calls()) : nullptr;
}
PyObject* get_last_seq(PyObject* o, void*) {
    return ready(self_of(o)) ? to_py(self_of(o)->store->last_seq()) : nullptr;
}
PyObject* get_budget(PyObject* o, void*) { return ready(self_of(o)) ? to_py(self_of(o)->store->budget) : nullptr; }

int set_budget(PyObject* o, PyObject* v, void*) {
    if (!ready(self_of(o))) return -1;
    const Py_ssize_t n = v ? PyLong_AsSsize_t(v) : -1;
    if (n < 1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "the budget is a positive number of bytes");
        return -1;
    }
    self_of(o)->store->budget = static_cast<size_t>(n);
    return 0;
}

PyObject* get_day_end(PyObject* o, void*) {
    return ready(self_of(o)) ? PyLong_FromLongLong(self_of(o)->store->day_end_ns) : nullptr;
}

int set_day_end(PyObject* o, PyObject* v, void*) {
    if (!ready(self_of(o))) return -1;
    if (v == nullptr || v == Py_None) {
        self_of(o)->store->day_end_ns = INT64_MAX;
        return 0;
    }
    const long long n = PyLong_AsLongLong(v);
    if (n == -1 && PyErr_Occurred()) return -1;
    self_of(o)->store->day_end_ns = n;
    return 0;
}

PyGetSetDef recorder_getset[] = {
    {"pending", get_pending, nullptr, "bytes of records waiting for the writer", nullptr},
    {"in_flight", get_in_flight, nullptr, "bytes the writer holds and has not yet written", nullptr},
    {"peak", get_peak, nullptr, "the most bytes waiting and held at once", nullptr},
    {"dropped", get_dropped, nullptr, "calls not recorded (budget full, or the capture stopped)", nullptr},
    {"gaps", get_gaps, nullptr, "runs of dropped calls", nullptr},
    {"gap_calls", get_gap_calls, nullptr, "calls dropped in the gap still open", nullptr},
    {"last_seq", get_last_seq, nullptr, "the last sequence number given", nullptr},
    {"budget", get_budget, set_budget, "bytes that may wait before calls are dropped", nullptr},
    {"day_end_ns", get_day_end, set_day_end, "wall time at which the next local day begins", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject RecorderType = [] {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;  // a static type is never freed
    t.tp_name = "tessaline_tools._capture_native.Recorder";
    t.tp_basicsize = sizeof(Recorder);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "Records of one capture, encoded at call time, waiting for its writer (bounded by a budget).";
    t.tp_new = recorder_new;
    t.tp_init = recorder_init;
    t.tp_dealloc = recorder_dealloc;
    t.tp_traverse = recorder_traverse;
    t.tp_clear = recorder_clear;
    t.tp_methods = recorder_methods;
    t.tp_getset = recorder_getset;
    return t;
}();

}  // namespace capture
