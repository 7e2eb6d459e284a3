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
    instance_value,  // a plain attribute of a type with a managed dict: the instance's inline
                     // values at `index`, or once its __dict__ is materialised that dict at `hint`
    dict,            // a plain attribute kept in a __dict__ at tp_dictoffset, at `hint`
    tuple_item,      // a namedtuple field (the interpreter's own tuple-item descriptor): item `offset`
    // the descriptor kinds, each a call (read_descriptor)
    member,          // another member descriptor kind: PyMember_GetOne
    getset,          // a getset descriptor: its getter and closure
    data_descr,      // another data descriptor of a built-in descriptor type: its __get__
};

// A dict entry position not known (yet): the next read looks the name up and
// remembers where it found it.
inline constexpr uint32_t no_hint = UINT32_MAX;

struct ReadEntry {
    unsigned int type_version = 0;  // 0: unused
    ReadKind kind = ReadKind::generic;
    uint32_t index = 0;             // instance_value: position in the type's shared keys
    uint32_t hint = no_hint;        // instance_value (materialised __dict__), dict: where in the dict's
                                    // entries the name was last found
    bool hinted = false;            // instance_value: a materialised __dict__ is read at `hint`
    Py_ssize_t offset = 0;          // slot: offset of the pointer; dict: tp_dictoffset; tuple_item: index
    void* data = nullptr;           // instance_value: the shared keys (null: inline values are not read);
                                    // member: its PyMemberDef
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
    instance_value,  // replace the existing inline value at `index`, or (once the instance's
                     // __dict__ is materialised) store into that dict
    dict,            // store into the __dict__ at tp_dictoffset (`offset`)
};

struct StoreEntry {
    unsigned int type_version = 0;
    StoreKind kind = StoreKind::generic;
    bool to_dict = false;    // instance_value: a materialised __dict__ takes the store
    uint32_t index = 0;
    Py_ssize_t offset = 0;
    void* keys = nullptr;    // instance_value: the shared keys (null: inline values are not stored)
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
    bool managed_dict = false;  // a materialised __dict__ of a managed-dict type, read at a hint
    bool dict = false;
    bool member = false;
    bool getset = false;
    bool data_descr = false;
    bool tuple_item = false;
    bool store_slot = false;
    bool store_instance_value = false;
    bool store_dict = false;    // stores into a materialised or tp_dictoffset __dict__
    // The type of a namedtuple's field descriptors (collections._tuplegetter),
    // a static type of the interpreter; null when it could not be found.
    PyTypeObject* tuplegetter = nullptr;
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

// The value of `name` in `dict` read where it was last found, or null: any
// doubt and the caller looks it up. The interpreter's LOAD_ATTR_WITH_HINT:
//  - the dict is exactly a dict (a subclass is left to the generic path);
//  - its keys are all exact str (a str-keyed table: not DICT_KEYS_GENERAL), so
//    no two keys are equal and the key found below is the only one a lookup
//    could find; with other keys a lookup runs their __eq__, which is not
//    skipped here;
//  - the hint is inside the entries in use;
//  - the key there is the very (interned) name object;
//  - the value is there: a split table keeps it in ma_values, a combined one
//    in the entry; a null value (a split table's key that this instance has
//    not set, a deleted one) sends the read the slow way.
inline PyObject* hinted_value(PyObject* dict, PyObject* name, uint32_t hint) noexcept {
    if (dict == nullptr || !PyDict_CheckExact(dict)) return nullptr;
    PyDictObject* d = reinterpret_cast<PyDictObject*>(dict);
    PyDictKeysObject* keys = d->ma_keys;
    if (keys->dk_kind == DICT_KEYS_GENERAL || static_cast<Py_ssize_t>(hint) >= keys->dk_nentries) return nullptr;
    PyDictUnicodeEntry* entry = DK_UNICODE_ENTRIES(keys) + hint;
    if (entry->me_key != name) return nullptr;
    return d->ma_values != nullptr ? d->ma_values->values[hint] : entry->me_value;
}

// The __dict__ at tp_dictoffset (positive offsets only: a variable-size
// object's dict sits past its items).
inline PyObject* offset_dict(PyObject* obj, Py_ssize_t offset) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// The layout of collections._tuplegetter's instances (Modules/_collectionsmodule.c),
// checked on a probe namedtuple when the module executes.
struct TupleGetterObject {
    PyObject_HEAD
    Py_ssize_t index;
    PyObject* doc;
};

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
// obj.name through the descriptor an entry of kind member, getset or
// data_descr holds, for an object of the entry's type version.
Ref read_descriptor(const ReadEntry& e, PyObject* obj, PyObject* name);
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
    // (A managed-dict type always has its shared keys, so an entry without
    // them, e.keys null, never matches.)
    if (values == nullptr || reinterpret_cast<PyHeapTypeObject*>(Py_TYPE(obj))->ht_cached_keys != e.keys)
        return false;
    PyObject* old = values->values[e.index];
    if (old == nullptr) return false;
    values->values[e.index] = Py_NewRef(value);
    Py_DECREF(old);
    return true;
}

// A str-keyed __dict__ takes a store: PyDict_SetItem, as the generic path
// ends in. The dict is kept alive across the store: the value it replaces is
// released inside, and its finalizer may replace the instance's __dict__.
// False: not such a dict, nothing stored.
inline bool store_into_dict(PyObject* dict, PyObject* name, PyObject* value) {
    if (dict == nullptr || !PyDict_CheckExact(dict) || !str_keyed(dict)) return false;
    Ref keep = Ref::borrow(dict);
    require_status(PyDict_SetItem(dict, name, value));
    return true;
}

// obj.name, exactly as PyObject_GetAttr(obj, name) gives it. The entry that
// answered last is tried first, inline, for the layouts a record most often
// has; everything else is read_slow's.
//
// Every inline read rests on the type's tag: the entry was resolved for this
// very type state (no class attribute of the name that could take over the
// read, see classify_read), and nothing runs between the checks and the new
// reference to the value.
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
            // Inline values (the instance has no materialised __dict__) laid
            // out by the very keys the index was found in; or the
            // materialised __dict__, at the hint. Either way a class default
            // of the name still cannot be a descriptor. (Inline values exist
            // only with the type's shared keys, so an entry without them,
            // e.data null, never reads values.)
            PyDictValues* values = *values_pointer(obj);
            if (values != nullptr) {
                if (reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys == e.data && class_value_unchanged(e)) {
                    PyObject* value = values->values[e.index];
                    if (value != nullptr) return Ref::steal(Py_NewRef(value));
                }
            } else if (e.hinted && class_value_unchanged(e)) {
                if (PyObject* value = hinted_value(*managed_dict_pointer(obj), name, e.hint))
                    return Ref::steal(Py_NewRef(value));
            }
        } else if (e.kind >= ReadKind::member) {
            return read_descriptor(e, obj, name);
        } else if (e.kind == ReadKind::dict) {
            if (class_value_unchanged(e))
                if (PyObject* value = hinted_value(offset_dict(obj, e.offset), name, e.hint))
                    return Ref::steal(Py_NewRef(value));
        } else if (e.kind == ReadKind::tuple_item) {
            // The type is a tuple subclass whose class attribute of the name
            // is the interpreter's own tuple-item descriptor for item
            // `offset` (its index cannot change); an instance made shorter
            // (tuple.__new__) gets the descriptor's IndexError the slow way.
            if (e.offset < Py_SIZE(obj))
                return Ref::steal(Py_NewRef(PyTuple_GET_ITEM(obj, e.offset)));
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
    // As for reads, the tag says there is no class attribute of the name: the
    // generic path would store into the instance, where these do.
    if (e.type_version == type->tp_version_tag && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) {
        if (e.kind == StoreKind::instance_value) {
            if (replace_value(obj, e, value)) return;
            // no inline values: the generic path stores into the materialised __dict__
            if (e.to_dict && *values_pointer(obj) == nullptr &&
                store_into_dict(*managed_dict_pointer(obj), name, value))
                return;
        } else if (e.kind == StoreKind::slot) {
            replace_slot(obj, e, value);
            return;
        } else if (e.kind == StoreKind::dict) {
            if (store_into_dict(offset_dict(obj, e.offset), name, value)) return;
        }
    }
    store_slow(cache, fast, obj, name, value);
}

// Tries every fast path on probe objects against the generic path and
// switches on those that agree. Throws PythonError only when a probe cannot
// be built (an allocation failed).
void check_fast_paths(FastPaths& fast);

}  // namespace tessaline
