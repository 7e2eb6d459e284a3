#include "convert.hpp"

#include <cmath>

namespace tessaline {

namespace {

// a + b; two exact strings are joined directly, as the interpreter's own
// specialised addition does.
Ref concat(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return require(PyUnicode_Concat(a, b));
    return require(PyNumber_Add(a, b));
}

// The double nearest to n / 1000 (ties to even), exactly what int / int
// gives: the quotient is taken with 55 to 56 significant bits plus a sticky
// bit for a non-zero remainder, then rounded once to 53 bits.
double thousandth(long long n) {
    const bool negative = n < 0;
    const unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(n)
                                                  : static_cast<unsigned long long>(n);
    double result;
    if (magnitude <= (1ULL << 53)) {
        // Both operands are exact doubles: one IEEE division rounds correctly.
        result = static_cast<double>(magnitude) / 1000.0;
    } else {
        const int bits = 64 - __builtin_clzll(magnitude);       // 54 .. 64
        const int shift = 65 - bits;                           // 1 .. 11
        const unsigned __int128 scaled = static_cast<unsigned __int128>(magnitude) << shift;  // 65 bits
        unsigned long long q = static_cast<unsigned long long>(scaled / 1000);            // 55 or 56 bits
        const bool inexact = scaled % 1000 != 0;
        const int extra = (64 - __builtin_clzll(q)) - 53;      // 2 or 3
        const unsigned long long half = 1ULL << (extra - 1);
        const unsigned long long low = q & ((half << 1) - 1);
        q >>= extra;
        if (low > half || (low == half && (inexact || (q & 1)))) ++q;
        result = std::ldexp(static_cast<double>(q), extra - shift);
    }
    return negative ? -result : result;
}

}  // namespace

Ref stamp_seconds(PyObject* stamp, PyObject* thousand) {
    // An exact int stamp of 64 bits: int / 1000 computed directly.
    if (PyLong_CheckExact(stamp)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(stamp, &overflow);
        if (overflow == 0 && !(n == -1 && PyErr_Occurred())) return require(PyFloat_FromDouble(thousandth(n)));
        PyErr_Clear();
    }
    return require(PyNumber_TrueDivide(stamp, thousand));
}

Ref instrument_code(const Ctx& c, PyObject* record, Name market_attr) {
    Ref security_id = c.attr(record, Name::security_id);
    if (PyUnicode_CheckExact(security_id.get())) {
        // str + "." cannot fail or run code: for a str suffix too, the three
        // pieces are joined in one string.
        Ref to_suffix = c.global(Name::get_exchane_from_vorn_mdtype);
        Ref suffix = call(to_suffix.get(), c.attr(record, market_attr));
        if (PyUnicode_CheckExact(suffix.get())) {
            PyObject* pieces[] = {security_id.get(), c.n(Name::dot), suffix.get()};
            return join_text(c, pieces, 3);
        }
        Ref prefix = concat(security_id.get(), c.n(Name::dot));
        return concat(prefix.get(), suffix.get());
    }
    Ref prefix = concat(security_id.get(), c.n(Name::dot));
    Ref to_suffix = c.global(Name::get_exchane_from_vorn_mdtype);
    Ref suffix = call(to_suffix.get(), c.attr(record, market_attr));
    return concat(prefix.get(), suffix.get());
}

Ref record_time(const Ctx& c, PyObject* record, Name stamp_attr) {
    Ref convert = c.global(Name::convert_int_to_datetime);
    Ref stamp = c.attr(record, stamp_attr);
    Ref seconds = stamp_seconds(stamp.get(), c.integer(Int::thousand));
    return call(convert.get(), seconds);
}

Ref attribute_or_absent(const Ctx& c, PyObject* obj, Name name) {
    PyObject* value = PyObject_GetAttr(obj, c.n(name));
    if (value == nullptr) PyErr_Clear();
    return Ref::steal(value);
}

// The second half of `from <module> import <name>`: the attribute, else a
// submodule already imported under that name, else ImportError.
Ref import_from(PyObject* module, PyObject* name) {
    PyObject* value = nullptr;
    if (_PyObject_LookupAttr(module, name, &value) != 0) {
        if (value == nullptr) throw PythonError{};
        return Ref::steal(value);
    }
    Ref package = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (package && !PyUnicode_Check(package.get())) package = Ref();
    if (package) {
        Ref full_name = require(PyUnicode_FromFormat("%U.%U", package.get(), name));
        PyObject* submodule = PyImport_GetModule(full_name.get());
        if (submodule != nullptr) return Ref::steal(submodule);
        if (PyErr_Occurred()) throw PythonError{};
    }
    Ref shown = package ? Ref::borrow(package.get()) : require(PyUnicode_FromString("<unknown module name>"));
    Ref path = Ref::steal(PyModule_GetFilenameObject(module));
    if (!path || !PyUnicode_Check(path.get())) {
        PyErr_Clear();
        Ref message = require(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                                   shown.get()));
        PyErr_SetImportError(message.get(), package.get(), nullptr);
        throw PythonError{};
    }
    Ref spec = Ref::steal(PyObject_GetAttrString(module, "__spec__"));
    const bool initializing = _PyModuleSpec_IsInitializing(spec.get()) != 0;
    PyErr_Clear();
    Ref message = require(PyUnicode_FromFormat(
        initializing ? "cannot import name %R from partially initialized module %R "
                       "(most likely due to a circular import) (%S)"
                     : "cannot import name %R from %R (%S)",
        name, shown.get(), path.get()));
    PyErr_SetImportError(message.get(), package.get(), path.get());
    throw PythonError{};
}

Ref import_statement(PyObject* globals, PyObject* locals, PyObject* name, PyObject* fromlist) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* import = builtins ? PyDict_GetItemWithError(builtins, Ref(require(PyUnicode_FromString("__import__"))).get())
                                : nullptr;
    if (import == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw PythonError{};
    }
    Ref hook = Ref::borrow(import);
    Ref level = require(PyLong_FromLong(0));
    return call(hook.get(), name, globals, locals ? locals : Py_None, fromlist ? fromlist : Py_None, level);
}

Pair unpack_pair(PyObject* value) {
    if (Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        throw PythonError{};
    }
    Ref iterator = require(PyObject_GetIter(value));
    Ref items[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
            throw PythonError{};
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw PythonError{};
    }
    if (PyErr_Occurred()) throw PythonError{};
    return Pair{std::move(items[0]), std::move(items[1])};
}

}  // namespace tessaline
