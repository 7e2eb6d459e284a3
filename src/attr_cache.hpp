// Attribute caches: how `obj.name` is read (and, for a few names, written)
// for each record type that has been seen with that name.
//
// Every entry is keyed on the type's version tag. CPython gives a type a new,
// globally unique tag whenever the type, any of its bases or its metaclass
// assignment changes (a class attribute set or deleted, __bases__ or
// __class__-relevant slots changed), so an entry can only be found for the
// very type state it was resolved against. Tag 0 (or a cleared "valid" flag)
// means the type has no tag, which happens once the interpreter's 2**32 tags
// are used up: such a type is never cached, since two tagless types would
// look alike.
//
// A name is read from several record types in turn (security_id from every
// market-data record, client_order_id from every order report), so each name
// keeps a few entries, one per type, instead of a single one that would be
// refilled at every change of record type.
#pragma once

#include <cstdint>

#include "cpython311.hpp"
#include "pyref.hpp"

#include <structmember.h>

namespace tessaline {

// How a read is done for one type version.
enum class ReadKind : uint8_t {
    generic,         // PyObject_GetAttr, nothing known about this type
    slot,            // a T_OBJECT_EX member (a __slots__ entry): the pointer at `offset`
    instance_value,  // a plain attribute kept in the instance's inline values, at `index`
    dict,            // a plain attribute kept in a __dict__ at tp_dictoffset
    member,          // another member descriptor kind: PyMember_GetOne
    getset,          // a getset descriptor: its getter and closure
    data_descr,      // another data descriptor of a built-in descriptor type: its __get__
};

struct ReadEntry {
    unsigned int type_version = 0;  // 0: unused
    ReadKind kind = ReadKind::generic;
    uint32_t index = 0;             // instance_value: position in the type's shared keys
    Py_ssize_t offset = 0;          // slot: offset of the pointer; dict: tp_dictoffset
    void* data = nullptr;           // instance_value: the shared keys; member: its PyMemberDef
    PyObject* descr = nullptr;      // getset, data_descr: the descriptor; instance_value, dict: the
                                    // class attribute of that name, if any (borrowed from the type)
    getter get = nullptr;           // getset
    void* closure = nullptr;        // getset
    // instance_value, dict with a class attribute of a class of its own (an
    // enumeration member as a field default): that class and its tag. Giving
    // the class a __get__ and __set__, or the value another class, would make
    // the attribute a data descriptor without any change to the record's type.
    PyTypeObject* value_type = nullptr;
    unsigned int value_version = 0;
};

// Room for every record type that shares a name in one stream.
inline constexpr int read_ways = 8;

struct ReadCache {
    ReadEntry hot;     // a copy of the entry that answered last, tried first
    ReadEntry entries[read_ways];
    uint8_t next = 0;  // the entry a new type replaces once all are in use
};

// How a write is done for one type version.
enum class StoreKind : uint8_t {
    generic,         // PyObject_SetAttr
    slot,            // a writable T_OBJECT_EX member: the pointer at `offset`
    instance_value,  // replace the existing inline value at `index`
};

struct StoreEntry {
    unsigned int type_version = 0;
    StoreKind kind = StoreKind::generic;
    uint32_t index = 0;
    Py_ssize_t offset = 0;
    void* keys = nullptr;
};

inline constexpr int store_ways = 4;

struct StoreCache {
    StoreEntry hot;
    StoreEntry entries[store_ways];
    uint8_t next = 0;
};

// Which fast paths are in use. All start off; the module switches each on at
// execution once it has given the same answers as the generic path on probe
// objects (check_fast_paths).
struct FastPaths {
    bool slot = false;
    bool instance_value = false;
    bool dict = false;
    bool member = false;
    bool getset = false;
    bool data_descr = false;
    bool store_slot = false;
    bool store_instance_value = false;
};

namespace cache_detail {

// The class attribute an instance value was resolved past is still what it
// was: of the same class, that class unchanged.
inline bool class_value_unchanged(const ReadEntry& e) noexcept {
    return e.value_type == nullptr ||
           (Py_TYPE(e.descr) == e.value_type && e.value_type->tp_version_tag == e.value_version &&
            (e.value_type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG));
}

// pycore_object.h's _PyObject_ValuesPointer and _PyObject_ManagedDictPointer
// (that header cannot be included from C++): an object of a type with
// Py_TPFLAGS_MANAGED_DICT keeps its inline-values pointer four words and its
// materialised __dict__ three words before the object header.
inline PyDictValues** values_pointer(PyObject* obj) noexcept { return reinterpret_cast<PyDictValues**>(obj) - 4; }
inline PyObject** managed_dict_pointer(PyObject* obj) noexcept { return reinterpret_cast<PyObject**>(obj) - 3; }

inline bool tagged(PyTypeObject* type) noexcept {
    return type->tp_version_tag != 0 && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG);
}

// A failed fast read leaves the error as PyObject_GetAttr would: an
// AttributeError gets the object and the name attached (what the interpreter
// uses for its "Did you mean" hint).
void attribute_error_context(PyObject* obj, PyObject* name);

inline Ref checked(PyObject* result, PyObject* obj, PyObject* name) {
    if (result == nullptr) {
        attribute_error_context(obj, name);
        throw PythonError{};
    }
    return Ref::steal(result);
}

}  // namespace cache_detail

// Every other entry of the cache, then (no entry for the type) the
// resolution of obj.name for Py_TYPE(obj), remembered when that is safe,
// and the read or write through the generic path.
Ref read_slow(ReadCache& cache, const FastPaths& fast, PyObject* obj, PyObject* name);
void store_slow(StoreCache& cache, const FastPaths& fast, PyObject* obj, PyObject* name, PyObject* value);

// A writable slot: the old value goes only once the new one is in place
// (its finalizer may read the attribute again).
inline void replace_slot(PyObject* obj, const StoreEntry& e, PyObject* value) noexcept {
    PyObject** addr = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + e.offset);
    PyObject* old = *addr;
    *addr = Py_NewRef(value);
    Py_XDECREF(old);
}

// An inline value, only if there is one to replace: adding a value would
// also record the key's insertion order, which is the generic path's job.
// False: nothing was stored (the values became a dict, or the slot is empty).
inline bool replace_value(PyObject* obj, const StoreEntry& e, PyObject* value) noexcept {
    PyDictValues* values = *cache_detail::values_pointer(obj);
    if (values == nullptr || reinterpret_cast<PyHeapTypeObject*>(Py_TYPE(obj))->ht_cached_keys != e.keys)
        return false;
    PyObject* old = values->values[e.index];
    if (old == nullptr) return false;
    values->values[e.index] = Py_NewRef(value);
    Py_DECREF(old);
    return true;
}

// obj.name, exactly as PyObject_GetAttr(obj, name) gives it. The entry that
// answered last is tried first, inline, for the two layouts a record most
// often has; everything else is read_slow's.
inline Ref cached_read(ReadCache& cache, const FastPaths& fast, PyObject* obj, PyObject* name) {
    using namespace cache_detail;
    PyTypeObject* type = Py_TYPE(obj);
    const ReadEntry& e = cache.hot;
    // A type whose tag is valid has a non-zero one, so an unused entry (0)
    // never matches.
    if (e.type_version == type->tp_version_tag && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) {
        if (e.kind == ReadKind::slot) {
            PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + e.offset);
            if (value != nullptr) return Ref::steal(Py_NewRef(value));
        } else if (e.kind == ReadKind::instance_value) {
            PyDictValues* values = *values_pointer(obj);
            if (values != nullptr && reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys == e.data &&
                class_value_unchanged(e)) {
                PyObject* value = values->values[e.index];
                if (value != nullptr) return Ref::steal(Py_NewRef(value));
            }
        }
    }
    return read_slow(cache, fast, obj, name);
}

// obj.name = value, exactly as PyObject_SetAttr(obj, name, value) does it.
// The last entry used is tried inline; the rest is store_slow's.
inline void cached_store(StoreCache& cache, const FastPaths& fast, PyObject* obj, PyObject* name, PyObject* value) {
    using namespace cache_detail;
    PyTypeObject* type = Py_TYPE(obj);
    const StoreEntry& e = cache.hot;
    if (e.type_version == type->tp_version_tag && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) {
        if (e.kind == StoreKind::instance_value) {
            if (replace_value(obj, e, value)) return;
        } else if (e.kind == StoreKind::slot) {
            replace_slot(obj, e, value);
            return;
        }
    }
    store_slow(cache, fast, obj, name, value);
}

// Tries every fast path on probe objects against the generic path and
// switches on those that agree. Throws PythonError only when a probe cannot
// be built (an allocation failed).
void check_fast_paths(FastPaths& fast);

}  // namespace tessaline
