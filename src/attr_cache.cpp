#include "attr_cache.hpp"

#include <structmember.h>

namespace tessaline {
namespace cache_detail {

// What PyObject_GetAttr adds to an AttributeError that the type's own lookup
// raised: the object and the name, unless the error already carries either.
void attribute_error_context(PyObject* obj, PyObject* name) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && PyErr_GivenExceptionMatches(value, PyExc_AttributeError)) {
        auto* error = reinterpret_cast<PyAttributeErrorObject*>(value);
        if (error->name == nullptr && error->obj == nullptr) {
            if (PyObject_SetAttrString(value, "name", name) < 0 || PyObject_SetAttrString(value, "obj", obj) < 0) {
                Py_XDECREF(type);
                Py_XDECREF(value);
                Py_XDECREF(traceback);
                return;
            }
        }
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace cache_detail

namespace {

using cache_detail::tagged;

// Every class dictionary on the MRO has only str keys. _PyType_Lookup then
// compares strings only and runs no Python code, so resolving a name ahead
// of the read cannot be observed (with a non-str key its __eq__ would run
// once more than the interpreter runs it).
bool mro_str_keyed(PyTypeObject* type) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return false;
        PyObject* dict = reinterpret_cast<PyTypeObject*>(base)->tp_dict;
        if (dict == nullptr || !PyDict_Check(dict) || !str_keyed(dict)) return false;
    }
    return true;
}

// The position of `name` in the type's shared keys, or -1. Instances of a
// plain class keep their attributes as an array of values laid out by these
// keys; the keys only ever grow (a key is appended when some instance first
// sets it, never removed), so a position once found stays that name's for
// as long as the type keeps this keys object.
Py_ssize_t shared_key_index(PyTypeObject* type, PyObject* name) {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return -1;
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    if (keys == nullptr || keys->dk_kind != DICT_KEYS_SPLIT) return -1;
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i)
        if (entries[i].me_key == name) return i;
    // Shared keys are exact str; a key equal to the name but not the same
    // object (not interned) is the same attribute.
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
        PyObject* key = entries[i].me_key;
        if (key != nullptr && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0) return i;
    }
    return -1;
}

// A class attribute that is not a descriptor (a dataclass field's default:
// 0, 0.0, "", None, an enumeration member). With no __get__ the instance's
// own value comes first, as the interpreter's LOAD_ATTR_INSTANCE_VALUE
// specialisation, which it also applies here, reads it. A value of a built-in
// type can never gain a __get__ (its type is static, its __class__ fixed); a
// value of a class of its own could, without any change to the record's
// type, so that class and its tag are kept with the entry and checked at
// each read. A class left without a tag is never relied on.
bool plain_default(PyObject* descr, PyTypeObject** value_type) {
    PyTypeObject* t = Py_TYPE(descr);
    if (t->tp_descr_get != nullptr || t->tp_descr_set != nullptr) return false;
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        *value_type = nullptr;
        return true;
    }
    if (!tagged(t)) return false;
    *value_type = t;
    return true;
}

// Where `name` is in the entries of a str-keyed dict, compared by identity
// (the hinted read compares the same way), or no_hint.
uint32_t find_hint(PyObject* dict, PyObject* name) {
    if (dict == nullptr || !PyDict_CheckExact(dict) || !str_keyed(dict)) return no_hint;
    PyDictKeysObject* keys = reinterpret_cast<PyDictObject*>(dict)->ma_keys;
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries && i < static_cast<Py_ssize_t>(no_hint); ++i)
        if (entries[i].me_key == name) return static_cast<uint32_t>(i);
    return no_hint;
}

// How obj.name reads for this type as it is now (descr: what _PyType_Lookup
// found for the name). Everything not listed takes the generic path.
ReadEntry classify_read(const FastPaths& fast, PyObject* obj, PyTypeObject* type, PyObject* name, PyObject* descr) {
    using namespace cache_detail;
    ReadEntry e;
    e.type_version = type->tp_version_tag;
    PyTypeObject* value_type = nullptr;
    if (descr == nullptr || plain_default(descr, &value_type)) {
        if (value_type != nullptr) {
            e.descr = descr;
            e.value_type = value_type;
            e.value_version = value_type->tp_version_tag;
        }
        // No class attribute of that name, or one that can never be a
        // descriptor: an instance value, when there is one, is what the read
        // gives; an instance without one takes the generic path, which finds
        // the class attribute (or raises).
        if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
            // LOAD_ATTR_INSTANCE_VALUE and LOAD_ATTR_WITH_HINT in one entry:
            // instances of one class may have inline values or a
            // materialised __dict__ (a split one sharing the type's keys,
            // or a combined one), each read its own way.
            const Py_ssize_t index = fast.instance_value ? shared_key_index(type, name) : -1;
            if (index >= 0) {
                e.index = static_cast<uint32_t>(index);
                e.data = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
            }
            if (fast.managed_dict) {
                e.hinted = true;
                e.hint = find_hint(*managed_dict_pointer(obj), name);
                if (e.hint == no_hint && index >= 0) e.hint = static_cast<uint32_t>(index);
            }
            if (e.data != nullptr || e.hinted) e.kind = ReadKind::instance_value;
        } else if (type->tp_dictoffset > 0 && fast.dict) {
            e.kind = ReadKind::dict;
            e.offset = type->tp_dictoffset;
            e.hint = find_hint(offset_dict(obj, e.offset), name);
        }
        return e;
    }
    PyTypeObject* descr_type = Py_TYPE(descr);
    // Only a data descriptor decides the read ahead of the instance, and only
    // one of a built-in descriptor type: a class's __get__ can be replaced
    // without any change to the record's type.
    if (descr_type->tp_descr_get == nullptr || descr_type->tp_descr_set == nullptr ||
        (descr_type->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return e;
    // A namedtuple field: exactly the interpreter's tuple-item descriptor (a
    // static type, so its __get__ is fixed), on a tuple subclass, for an item
    // that exists in a full-length instance. Its __get__ returns that item of
    // any tuple long enough; a subclass's property over the field is found
    // here instead and takes the data_descr path.
    if (descr_type == fast.tuplegetter && fast.tuple_item && PyType_IsSubtype(type, &PyTuple_Type)) {
        const Py_ssize_t index = reinterpret_cast<TupleGetterObject*>(descr)->index;
        if (index >= 0) {
            e.kind = ReadKind::tuple_item;
            e.offset = index;
            return e;
        }
    }
    // A member or getset of some other class's layout raises TypeError
    // through its own __get__; the direct calls below are only for the
    // record's own. (Only these two are PyDescrObjects with a d_type.)
    const bool member_or_getset = descr_type == &PyMemberDescr_Type || descr_type == &PyGetSetDescr_Type;
    const bool own = member_or_getset && PyType_IsSubtype(type, PyDescr_TYPE(descr)) != 0;
    if (descr_type == &PyMemberDescr_Type && own) {
        PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
        // An audited member raises an audit event on each read: its __get__ does that.
        if (!(member->flags & PY_AUDIT_READ)) {
            if (member->type == T_OBJECT_EX) {
                if (fast.slot) {
                    e.kind = ReadKind::slot;
                    e.offset = member->offset;
                }
                return e;
            }
            if (fast.member) {
                e.kind = ReadKind::member;
                e.data = member;
            }
            return e;
        }
    } else if (descr_type == &PyGetSetDescr_Type && own) {
        PyGetSetDef* def = reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset;
        // Without a getter the descriptor raises its own error.
        if (def->get != nullptr) {
            if (fast.getset) {
                e.kind = ReadKind::getset;
                e.descr = descr;
                e.get = def->get;
                e.closure = def->closure;
            }
            return e;
        }
    }
    if (fast.data_descr) {
        e.kind = ReadKind::data_descr;
        e.descr = descr;
    }
    return e;
}

// obj.name from the instance's __dict__ when the hint missed: only a dict
// that is exactly a dict and whose keys are all exact str is looked up here
// (the lookup then runs no Python code, so the generic path repeating it
// after a miss cannot be observed); where the name was found becomes the
// entry's hint, so that instances laid out alike read at it again.
Ref read_dict(ReadCache& cache, ReadEntry& e, PyObject* obj, PyObject* name, PyObject* dict) {
    if (dict != nullptr && PyDict_CheckExact(dict) && str_keyed(dict)) {
        if (PyObject* value = PyDict_GetItemWithError(dict, name)) {
            e.hint = find_hint(dict, name);
            cache.hot = e;
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) throw PythonError{};
    }
    return getattr(obj, name);
}

template <class Cache, class Entry>
void remember(Cache& cache, const Entry& entry) {
    constexpr int ways = sizeof(cache.entries) / sizeof(cache.entries[0]);
    for (int i = 0; i < ways; ++i) {
        Entry& e = cache.entries[i];
        if (e.type_version == entry.type_version || e.type_version == 0) {
            e = entry;
            cache.hot = entry;
            return;
        }
    }
    cache.entries[cache.next] = entry;
    cache.hot = entry;
    cache.next = static_cast<uint8_t>((cache.next + 1) % ways);
}

}  // namespace

Ref read_descriptor(const ReadEntry& e, PyObject* obj, PyObject* name) {
    using namespace cache_detail;
    if (e.kind == ReadKind::member)
        return checked(PyMember_GetOne(reinterpret_cast<const char*>(obj), static_cast<PyMemberDef*>(e.data)), obj,
                       name);
    // The getter may run code that changes the type and drops the descriptor,
    // or reads this name again and overwrites the entry: keep the descriptor
    // alive for the call, as the generic path does, and take nothing from the
    // entry once the call has begun.
    Ref keep = Ref::borrow(e.descr);
    if (e.kind == ReadKind::getset) {
        const getter get = e.get;
        return checked(get(obj, e.closure), obj, name);
    }
    PyObject* descr = e.descr;
    return checked(Py_TYPE(descr)->tp_descr_get(descr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))), obj, name);
}

Ref read_slow(ReadCache& cache, const FastPaths& fast, PyObject* obj, PyObject* name) {
    using namespace cache_detail;
    PyTypeObject* type = Py_TYPE(obj);
    if (!tagged(type)) return getattr(obj, name);
    const unsigned int tag = type->tp_version_tag;
    for (int i = 0; i < read_ways; ++i) {
        ReadEntry& e = cache.entries[i];
        if (e.type_version != tag) continue;
        cache.hot = e;
        switch (e.kind) {
            case ReadKind::slot: {
                // An empty slot raises AttributeError: the generic path says so.
                PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + e.offset);
                if (value != nullptr) return Ref::borrow(value);
                return getattr(obj, name);
            }
            case ReadKind::instance_value: {
                // NULL values: the object's attributes were moved into a real
                // dict (vars(obj), obj.__dict__, too many attributes, a
                // __class__ assignment); an empty slot: deleted or never set.
                // Both go the generic way, which also raises the error.
                if (!class_value_unchanged(e)) break;  // resolved again below
                PyDictValues* values = *values_pointer(obj);
                if (values != nullptr) {
                    if (e.data != nullptr && reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys == e.data) {
                        PyObject* value = values->values[e.index];
                        if (value != nullptr) return Ref::borrow(value);
                    }
                    return getattr(obj, name);
                }
                if (!e.hinted) return getattr(obj, name);
                return read_dict(cache, e, obj, name, *managed_dict_pointer(obj));
            }
            case ReadKind::dict: {
                if (!class_value_unchanged(e)) break;
                return read_dict(cache, e, obj, name, offset_dict(obj, e.offset));
            }
            case ReadKind::tuple_item:
                if (e.offset < Py_SIZE(obj)) return Ref::borrow(PyTuple_GET_ITEM(obj, e.offset));
                return getattr(obj, name);
            case ReadKind::member:
            case ReadKind::getset:
            case ReadKind::data_descr:
                return read_descriptor(e, obj, name);
            case ReadKind::generic:
                return getattr(obj, name);
        }
    }
    // A type with its own __getattribute__ or __getattr__ (a slot wrapper in
    // tp_getattro) decides every read itself, whatever the tag says.
    if (type->tp_getattro != PyObject_GenericGetAttr || !mro_str_keyed(type)) return getattr(obj, name);
    // _PyType_Lookup gives the type a tag if it has none yet; a type left
    // without one (tags used up) is never cached.
    PyObject* descr = _PyType_Lookup(type, name);
    if (!tagged(type)) return getattr(obj, name);
    const ReadEntry entry = classify_read(fast, obj, type, name, descr);
    Ref value = getattr(obj, name);
    // The read may have run code (a property, a finalizer) that changed the
    // type and freed the descriptor: the entry is kept only if the type is
    // still in the state it was resolved against.
    if (tagged(type) && type->tp_version_tag == entry.type_version) remember(cache, entry);
    return value;
}

void store_slow(StoreCache& cache, const FastPaths& fast, PyObject* obj, PyObject* name, PyObject* value) {
    using namespace cache_detail;
    PyTypeObject* type = Py_TYPE(obj);
    if (!tagged(type)) return setattr(obj, name, value);
    const unsigned int tag = type->tp_version_tag;
    for (int i = 0; i < store_ways; ++i) {
        const StoreEntry& e = cache.entries[i];
        if (e.type_version != tag) continue;
        cache.hot = e;
        if (e.kind == StoreKind::slot) return replace_slot(obj, e, value);
        if (e.kind == StoreKind::instance_value) {
            if (replace_value(obj, e, value)) return;
            if (e.to_dict && *values_pointer(obj) == nullptr &&
                store_into_dict(*managed_dict_pointer(obj), name, value))
                return;
        }
        if (e.kind == StoreKind::dict && store_into_dict(offset_dict(obj, e.offset), name, value)) return;
        return setattr(obj, name, value);
    }
    // A __setattr__ in a class body decides every write itself.
    if (type->tp_setattro != PyObject_GenericSetAttr || !mro_str_keyed(type)) return setattr(obj, name, value);
    PyObject* descr = _PyType_Lookup(type, name);
    if (!tagged(type)) return setattr(obj, name, value);
    StoreEntry entry;
    entry.type_version = type->tp_version_tag;
    if (descr == nullptr) {
        // No class attribute or descriptor of the name: the write can only
        // go to the instance, exactly where the shared keys put it.
        if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
            const Py_ssize_t index = fast.store_instance_value ? shared_key_index(type, name) : -1;
            if (index >= 0) {
                entry.kind = StoreKind::instance_value;
                entry.index = static_cast<uint32_t>(index);
                entry.keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
            }
            if (fast.store_dict) {
                entry.kind = StoreKind::instance_value;
                entry.to_dict = true;
            }
        } else if (type->tp_dictoffset > 0 && fast.store_dict) {
            entry.kind = StoreKind::dict;
            entry.offset = type->tp_dictoffset;
        }
    } else if (Py_IS_TYPE(descr, &PyMemberDescr_Type) && fast.store_slot) {
        // A writable __slots__ entry of the record's own layout: its __set__
        // swaps the pointer (read-only members and other kinds keep theirs).
        PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
        if (member->type == T_OBJECT_EX && !(member->flags & READONLY) &&
            PyType_IsSubtype(type, PyDescr_TYPE(descr))) {
            entry.kind = StoreKind::slot;
            entry.offset = member->offset;
        }
    }
    setattr(obj, name, value);
    if (tagged(type) && type->tp_version_tag == entry.type_version) remember(cache, entry);
}

namespace {

const ReadEntry* read_entry(const ReadCache& cache, PyObject* obj) {
    for (const ReadEntry& e : cache.entries)
        if (e.type_version != 0 && e.type_version == Py_TYPE(obj)->tp_version_tag) return &e;
    return nullptr;
}

const StoreEntry* store_entry(const StoreCache& cache, PyObject* obj) {
    for (const StoreEntry& e : cache.entries)
        if (e.type_version != 0 && e.type_version == Py_TYPE(obj)->tp_version_tag) return &e;
    return nullptr;
}

// Reads obj.name through a fresh cache twice (the first read resolves it,
// the second takes the fast path) with only the path under test switched
// on, and compares both with the generic read.
bool read_agrees(const FastPaths& only, PyObject* obj, const char* attribute, ReadKind expected) {
    Ref name = require(PyUnicode_InternFromString(attribute));
    Ref generic = getattr(obj, name.get());
    ReadCache cache;
    Ref first = cached_read(cache, only, obj, name.get());
    const ReadEntry* entry = read_entry(cache, obj);
    if (entry == nullptr || entry->kind != expected) return false;
    Ref fast = cached_read(cache, only, obj, name.get());
    return first.get() == generic.get() && fast.get() == generic.get();
}

// Writes obj.name twice through a fresh cache: the second write must replace
// the first value, release it once and leave what the generic read gives.
bool store_agrees(const FastPaths& only, PyObject* obj, const char* attribute, StoreKind expected) {
    Ref name = require(PyUnicode_InternFromString(attribute));
    StoreCache cache;
    Ref first = require(PyList_New(0));
    cached_store(cache, only, obj, name.get(), first.get());
    const StoreEntry* entry = store_entry(cache, obj);
    if (entry == nullptr || entry->kind != expected) return false;
    Ref second = require(PyList_New(0));
    const Py_ssize_t held = Py_REFCNT(first.get());
    cached_store(cache, only, obj, name.get(), second.get());
    if (Py_REFCNT(first.get()) != held - 1) return false;
    return getattr(obj, name.get()).get() == second.get();
}

// A class made as a class statement would make it: type(name, (object,), namespace).
Ref probe_class(PyObject* ns) {
    Ref bases = require(PyTuple_New(0));
    Ref name = require(PyUnicode_FromString("_tessaline_probe"));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), name, bases, ns);
}

}  // namespace

void check_fast_paths(FastPaths& fast) {
    fast = FastPaths{};
    Ref value = require(PyList_New(0));

    {  // plain attributes in inline values
        Ref ns = require(PyDict_New());
        Ref cls = probe_class(ns.get());
        Ref obj = call(cls.get());
        setattr(obj.get(), Ref(require(PyUnicode_InternFromString("alpha"))).get(), value.get());
        FastPaths only;
        only.instance_value = true;
        fast.instance_value = read_agrees(only, obj.get(), "alpha", ReadKind::instance_value);
        only = FastPaths{};
        only.store_instance_value = true;
        fast.store_instance_value = store_agrees(only, obj.get(), "alpha", StoreKind::instance_value);
    }
    {  // __slots__
        Ref slots = require(Py_BuildValue("(s)", "alpha"));
        Ref ns = require(PyDict_New());
        require_status(PyDict_SetItemString(ns.get(), "__slots__", slots.get()));
        Ref cls = probe_class(ns.get());
        Ref obj = call(cls.get());
        setattr(obj.get(), Ref(require(PyUnicode_InternFromString("alpha"))).get(), value.get());
        FastPaths only;
        only.slot = true;
        fast.slot = read_agrees(only, obj.get(), "alpha", ReadKind::slot);
        only = FastPaths{};
        only.store_slot = true;
        fast.store_slot = store_agrees(only, obj.get(), "alpha", StoreKind::slot);
    }
    {  // a materialised __dict__: the split one that reading __dict__ makes, and a combined
       // one (a new dict assigned to __dict__, with another key ahead of the name)
        Ref alpha = require(PyUnicode_InternFromString("alpha"));
        Ref ns = require(PyDict_New());
        Ref cls = probe_class(ns.get());
        Ref split = call(cls.get());
        setattr(split.get(), alpha.get(), value.get());
        getattr(split.get(), Ref(require(PyUnicode_InternFromString("__dict__"))).get());
        Ref combined = call(cls.get());
        Ref dict = require(PyDict_New());
        require_status(PyDict_SetItemString(dict.get(), "beta", Py_None));
        require_status(PyDict_SetItem(dict.get(), alpha.get(), value.get()));
        setattr(combined.get(), Ref(require(PyUnicode_InternFromString("__dict__"))).get(), dict.get());
        FastPaths only;
        only.managed_dict = true;
        fast.managed_dict = read_agrees(only, split.get(), "alpha", ReadKind::instance_value) &&
                            read_agrees(only, combined.get(), "alpha", ReadKind::instance_value);
        only = FastPaths{};
        only.store_dict = true;
        fast.store_dict = store_agrees(only, split.get(), "alpha", StoreKind::instance_value) &&
                          store_agrees(only, combined.get(), "alpha", StoreKind::instance_value);
    }
    // a __dict__ at a fixed offset: types.SimpleNamespace, the type of sys.implementation
    if (PyObject* implementation = PySys_GetObject("implementation")) {
        Ref kwargs = require(PyDict_New());
        require_status(PyDict_SetItemString(kwargs.get(), "beta", Py_None));
        require_status(PyDict_SetItemString(kwargs.get(), "alpha", value.get()));
        Ref args = require(PyTuple_New(0));
        Ref obj = require(PyObject_Call(reinterpret_cast<PyObject*>(Py_TYPE(implementation)), args.get(),
                                        kwargs.get()));
        FastPaths only;
        only.dict = true;
        fast.dict = read_agrees(only, obj.get(), "alpha", ReadKind::dict);
        if (fast.store_dict) {
            only = FastPaths{};
            only.store_dict = true;
            fast.store_dict = store_agrees(only, obj.get(), "alpha", StoreKind::dict);
        }
    }
    {  // a namedtuple field: a tuple subclass with collections' tuple-item descriptor for item 1
        Ref module = require(PyImport_ImportModule("_collections"));
        PyObject* found = nullptr;
        require_status(_PyObject_LookupAttr(module.get(), Ref(require(PyUnicode_FromString("_tuplegetter"))).get(),
                                            &found));
        Ref getter_type = Ref::steal(found);
        if (getter_type && PyType_Check(getter_type.get()) &&
            !(reinterpret_cast<PyTypeObject*>(getter_type.get())->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
            Ref index = require(PyLong_FromLong(1));
            Ref descr = call(getter_type.get(), index, Py_None);
            Ref ns = require(PyDict_New());
            require_status(PyDict_SetItemString(ns.get(), "alpha", descr.get()));
            Ref slots = require(PyTuple_New(0));
            require_status(PyDict_SetItemString(ns.get(), "__slots__", slots.get()));
            Ref bases = require(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyTuple_Type)));
            Ref name = require(PyUnicode_FromString("_tessaline_probe"));
            Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), name, bases, ns);
            Ref first = require(PyList_New(0));
            Ref items = require(PyTuple_Pack(3, first.get(), value.get(), Py_None));
            Ref obj = call(cls.get(), items);
            FastPaths only;
            only.tuple_item = true;
            only.tuplegetter = reinterpret_cast<PyTypeObject*>(getter_type.get());
            if (read_agrees(only, obj.get(), "alpha", ReadKind::tuple_item)) {
                fast.tuple_item = true;
                // a static type of a built-in module: it lives as long as the interpreter
                fast.tuplegetter = only.tuplegetter;
            }
        }
    }
    {  // a T_OBJECT member (slice.start) and a getset (int.real, which gives an exact int itself)
        Ref obj = require(PySlice_New(value.get(), Py_None, Py_None));
        FastPaths only;
        only.member = true;
        fast.member = read_agrees(only, obj.get(), "start", ReadKind::member);
        Ref number = require(PyLong_FromString("123456789012345678901234567890", nullptr, 10));
        only = FastPaths{};
        only.getset = true;
        fast.getset = read_agrees(only, number.get(), "real", ReadKind::getset);
    }
    {  // a property (what pybind11 makes of a bound field): property(type) gives the probe's class
        Ref fget = require(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type),
                                               reinterpret_cast<PyObject*>(&PyType_Type)));
        Ref ns = require(PyDict_New());
        require_status(PyDict_SetItemString(ns.get(), "alpha", fget.get()));
        Ref cls = probe_class(ns.get());
        Ref obj = call(cls.get());
        FastPaths only;
        only.data_descr = true;
        fast.data_descr = read_agrees(only, obj.get(), "alpha", ReadKind::data_descr);
    }
}

}  // namespace tessaline
