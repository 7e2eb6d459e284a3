#include "fixed_dict.hpp"

#include "cpython311.hpp"

namespace tessaline {

Ref filled_dict(const Ctx& c, Shape shape, PyObject* const* values, Py_ssize_t count) {
    Ref dict = c.fresh_dict(shape);
    auto* d = reinterpret_cast<PyDictObject*>(dict.get());
    PyDictKeysObject* keys = d->ma_keys;
    // The copy of a str-keyed template is a combined table whose entries are
    // the template's, in order; anything else is filled key by key.
    const bool in_place = PyDict_CheckExact(dict.get()) && d->ma_values == nullptr &&
                          keys->dk_kind == DICT_KEYS_UNICODE && keys->dk_nentries == count && d->ma_used == count;
    if (!in_place) {
        Ref ordered = require(PyDict_Keys(dict.get()));
        for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(ordered.get()); ++i)
            require_status(PyDict_SetItem(dict.get(), PyList_GET_ITEM(ordered.get(), i), values[i]));
        return dict;
    }
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    bool track = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = values[i];
        PyObject* old = entries[i].me_value;
        entries[i].me_value = Py_NewRef(value);
        Py_XDECREF(old);
        // What PyDict_SetItem does for each value: a dict holding something
        // the collector may have to follow is tracked by it.
        if (PyObject_IS_GC(value) && (!PyTuple_CheckExact(value) || PyObject_GC_IsTracked(value))) track = true;
    }
    if (track && !PyObject_GC_IsTracked(dict.get())) PyObject_GC_Track(dict.get());
    return dict;
}

}  // namespace tessaline
