#include "digest_walk.hpp"

#include <datetime.h>
#include <structmember.h>

#include <cmath>
#include <limits>

namespace digest {

namespace {
// A deeper value is told by its class alone. The full observation reads ten
// levels below each event, argument or attribute; the walk starts two levels
// further out (the outcome's parts, the lists they are in) and so reads at
// least as deep: what the observation would show, the digest shows.
constexpr int max_depth = 12;
// Values read for one digest before the slow path takes over: a call handing
// out a huge structure is digested the slow way rather than held up here.
constexpr size_t max_nodes = size_t{1} << 20;
// The history entries a dict is looked for among (the ticks kept per instrument).
constexpr Py_ssize_t history_window = 60;
// Enumeration members remembered by identity; more are read each time.
constexpr size_t max_members = size_t{1} << 16;

uint64_t text_hash(const char* s, size_t n) { return hash64(reinterpret_cast<const unsigned char*>(s), n); }

bool plain_scalar(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    return v == Py_None || t == &PyBool_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyUnicode_Type;
}

Ref interned(const char* s) { return Ref::steal(PyUnicode_InternFromString(s)); }
}  // namespace

bool import_datetime() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

// ---------------------------------------------------------------- memo

void Memo::resize(size_t capacity) {
    std::vector<PyObject*> old_keys = std::move(keys_);
    std::vector<uint32_t> old_values = std::move(values_);
    keys_.assign(capacity, nullptr);
    values_.assign(capacity, 0);
    shift_ = 64 - std::countr_zero(capacity);
    std::vector<uint32_t> old_used = std::move(used_);
    used_.clear();
    for (uint32_t i : old_used) {
        size_t s = slot(old_keys[i]);
        while (keys_[s] != nullptr) s = (s + 1) & (capacity - 1);
        keys_[s] = old_keys[i];
        values_[s] = old_values[i];
        used_.push_back(static_cast<uint32_t>(s));
    }
}

int64_t Memo::seen_or_add(PyObject* v) {
    if ((used_.size() + 1) * 2 > keys_.size()) resize(keys_.size() * 2);
    const size_t mask = keys_.size() - 1;
    size_t s = slot(v);
    while (keys_[s] != nullptr) {
        if (keys_[s] == v) return values_[s];
        s = (s + 1) & mask;
    }
    keys_[s] = v;
    values_[s] = count_++;
    used_.push_back(static_cast<uint32_t>(s));
    return -1;
}

void Memo::reset() noexcept {
    for (uint32_t s : used_) keys_[s] = nullptr;
    used_.clear();
    count_ = 0;
}

// ---------------------------------------------------------------- walker

Walker::Walker(PyObject* classify, PyObject* own, PyObject* module_dict)
    : classify_(Ref::borrow(classify)), module_dict_(Ref::borrow(module_dict)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(own); ++i) own_.push_back(Ref::borrow(PyTuple_GET_ITEM(own, i)));
    market_code_ = interned("market_code");
    history_tick_ = interned("history_tick");
    history_bar_ = interned("history_bar");
    name_attr_ = interned("_name_");
    missing_attr_ = interned("_missing");
    maxlen_attr_ = interned("maxlen");
    Ref collections = Ref::steal(PyImport_ImportModule("collections"));
    if (collections) deque_type_ = Ref::steal(PyObject_GetAttrString(collections.get(), "deque"));
    if (!deque_type_ || !PyType_Check(deque_type_.get())) {
        PyErr_Clear();  // no deque to read: deques go by the slow path
        deque_type_ = Ref();
    }
}

bool Walker::ok() const {
    if (market_code_ && history_tick_ && history_bar_ && name_attr_ && missing_attr_ && maxlen_attr_) return true;
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return false;
}

int Walker::traverse(visitproc visit, void* arg) const {
    if (int r = classify_.visit(visit, arg)) return r;
    if (int r = module_dict_.visit(visit, arg)) return r;
    for (const Ref& o : own_)
        if (int r = o.visit(visit, arg)) return r;
    for (const auto& [t, info] : types_) {
        if (int r = info.type.visit(visit, arg)) return r;
        if (int r = info.fields.visit(visit, arg)) return r;
    }
    for (const auto& [m, entry] : members_)
        if (int r = entry.first.visit(visit, arg)) return r;
    return 0;
}

Step Walker::parts(PyObject* const* parts, Py_ssize_t n, PyObject* args, uint64_t& digest) {
    out_.clear();
    memo_.reset();
    nodes_ = 0;
    args_.clear();
    // in the state the histories are the stores themselves: an entry's place is its position there
    outcome_ = args != nullptr;
    Step s = outcome_ ? label_args(args) : Step::ok;
    out_.tag_u64('p', static_cast<uint64_t>(n));
    for (Py_ssize_t i = 0; i < n && s == Step::ok; ++i) s = value(parts[i], 0);
    args_.clear();
    memo_.reset();
    if (s == Step::ok) digest = out_.hash();
    out_.trim();
    return s;
}

Step Walker::labelled_parts(PyObject* const* parts, Py_ssize_t n, PyObject* args, PyObject* sources,
                            uint64_t& digest) {
    labels_.clear();
    Step s = label_sources(sources);
    if (s == Step::ok) s = this->parts(parts, n, args, digest);
    labels_.clear();
    return s;
}

Step Walker::label_sources(PyObject* sources) {
    // the first source naming an object names it; keys that are not text or integers name nothing
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(sources); ++k) {
        PyObject* d = PyTuple_GET_ITEM(sources, k);
        if (!PyDict_CheckExact(d)) continue;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (PyDict_Next(d, &pos, &key, &item)) {
            if (plain_scalar(item) || labels_.count(item)) continue;
            Bytes label;
            label.u64(static_cast<uint64_t>(k));
            if (PyUnicode_CheckExact(key)) {
                Py_ssize_t n = 0;
                const char* t = PyUnicode_AsUTF8AndSize(key, &n);
                if (t == nullptr) return Step::error;
                label.text(std::string_view(t, static_cast<size_t>(n)));
            } else if (PyLong_CheckExact(key)) {
                int overflow = 0;
                const long long x = PyLong_AsLongLongAndOverflow(key, &overflow);
                if (overflow != 0) continue;
                label.tag('i');
                label.u64(static_cast<uint64_t>(x));
            } else {
                continue;
            }
            labels_.emplace(item, label.str());
        }
    }
    return Step::ok;
}

Step Walker::label_args(PyObject* args) {
    // the arguments, and what they hold one level down (items, fields, attributes), are named
    // where an event hands them on
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        if (plain_scalar(a)) continue;
        const uint64_t code = static_cast<uint64_t>(i + 1) << 32;
        args_.emplace_back(a, code);
        PyObject* const* items = nullptr;
        Py_ssize_t count = 0;
        if (PyTuple_Check(a)) {
            items = reinterpret_cast<PyTupleObject*>(a)->ob_item;
            count = PyTuple_GET_SIZE(a);
        } else if (PyList_CheckExact(a)) {
            items = reinterpret_cast<PyListObject*>(a)->ob_item;
            count = PyList_GET_SIZE(a);
        }
        if (items != nullptr) {
            for (Py_ssize_t j = 0; j < count; ++j) {
                if (!plain_scalar(items[j])) args_.emplace_back(items[j], code | static_cast<uint64_t>(j + 1));
            }
            continue;
        }
        if (PyDict_CheckExact(a) || PyBytes_CheckExact(a) || PyDateTime_Check(a) || PyDate_Check(a)) continue;
        const TypeInfo* ti = info(Py_TYPE(a));
        if (ti == nullptr) return Step::error;
        if (ti->kind != Kind::object) continue;
        Py_ssize_t j = 0;
        for (const Slot& slot : ti->slots) {
            PyObject* x = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(a) + slot.offset);
            if (x != nullptr && !plain_scalar(x)) args_.emplace_back(x, code | static_cast<uint64_t>(j + 1));
            ++j;
        }
        if (ti->has_dict) {
            Ref d = Ref::steal(PyObject_GenericGetDict(a, nullptr));
            if (!d) return Step::error;
            if (!PyDict_CheckExact(d.get())) continue;
            // the dict lives on in the argument, which the caller holds
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* item = nullptr;
            while (PyDict_Next(d.get(), &pos, &key, &item)) {
                if (!plain_scalar(item)) args_.emplace_back(item, code | static_cast<uint64_t>(j + 1));
                ++j;
            }
        }
    }
    return Step::ok;
}

const TypeInfo* Walker::info(PyTypeObject* t) {
    auto it = types_.find(t);
    if (it != types_.end()) return &it->second;
    PyObject* argv[] = {reinterpret_cast<PyObject*>(t)};
    Ref r = Ref::steal(PyObject_Vectorcall(classify_.get(), argv, 1, nullptr));
    if (!r) return nullptr;
    if (!PyTuple_CheckExact(r.get()) || PyTuple_GET_SIZE(r.get()) != 3 ||
        !PyLong_CheckExact(PyTuple_GET_ITEM(r.get(), 0)) || !PyUnicode_CheckExact(PyTuple_GET_ITEM(r.get(), 1))) {
        PyErr_SetString(PyExc_TypeError, "classify() must give (kind, class name, fields)");
        return nullptr;
    }
    const long kind = PyLong_AsLong(PyTuple_GET_ITEM(r.get(), 0));
    Py_ssize_t n = 0;
    const char* name = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(r.get(), 1), &n);
    if (name == nullptr) return nullptr;
    PyObject* fields = PyTuple_GET_ITEM(r.get(), 2);
    TypeInfo ti;
    ti.type = Ref::borrow(reinterpret_cast<PyObject*>(t));
    ti.kind = kind >= 0 && kind <= 5 ? static_cast<Kind>(kind) : Kind::slow;
    ti.name = text_hash(name, static_cast<size_t>(n));
    if (ti.kind == Kind::record) {
        bool ok = PyTuple_CheckExact(fields);
        for (Py_ssize_t i = 0; ok && i < PyTuple_GET_SIZE(fields); ++i)
            ok = PyUnicode_CheckExact(PyTuple_GET_ITEM(fields, i));
        if (ok)
            ti.fields = Ref::borrow(fields);
        else
            ti.kind = Kind::slow;
    }
    if (ti.kind == Kind::object && !read_slots(ti, fields)) ti.kind = Kind::slow;

    // classify may have run code that met this type first; the entry made then stands
    return &types_.try_emplace(t, std::move(ti)).first->second;
}

bool Walker::read_slots(TypeInfo& ti, PyObject* fields) {
    // fields: (name, member descriptor) pairs; a slot is read at the descriptor's offset, as
    // getattr reads it, and only descriptors of a plain object slot are accepted
    if (!PyTuple_CheckExact(fields)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(fields, i);
        if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) return false;
        PyObject* name = PyTuple_GET_ITEM(pair, 0);
        PyObject* descr = PyTuple_GET_ITEM(pair, 1);
        if (!PyUnicode_CheckExact(name) || Py_TYPE(descr) != &PyMemberDescr_Type) return false;
        const PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
        if (m->type != T_OBJECT_EX || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(ti.type.get()),
                                                          PyDescr_TYPE(descr)))
            return false;
        ti.slots.push_back(Slot{Ref::borrow(name), m->offset});
    }
    ti.has_dict = reinterpret_cast<PyTypeObject*>(ti.type.get())->tp_dictoffset != 0;
    return true;
}

void Walker::text(PyObject* s) {
    // a str is kept in its narrowest form, so the same text is always the same bytes
    const auto kind = static_cast<size_t>(PyUnicode_KIND(s));
    const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    out_.tag_u64('s', n * 8 + kind);
    out_.raw(PyUnicode_DATA(s), n * kind);
}

bool Walker::missing_key(PyObject* k) const {
    // the attribute a stand-in keeps its missing attributes under is not one of the record's
    return k == missing_attr_.get() || (PyUnicode_GET_LENGTH(k) == 8 && PyUnicode_Compare(k, missing_attr_.get()) == 0);
}

Step Walker::value(PyObject* v, int depth) {
    if (++nodes_ > max_nodes) return Step::slow;
    PyTypeObject* t = Py_TYPE(v);
    // most values of a market-data call are prices, then counts
    if (t == &PyFloat_Type) {
        double d = PyFloat_AS_DOUBLE(v);
        if (std::isnan(d)) d = std::numeric_limits<double>::quiet_NaN();  // every NaN reads the same
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        out_.tag_u64('f', bits);
        return Step::ok;
    }
    if (t == &PyLong_Type) {
        // one digit (30 bits) read in place, as most counts and codes are; the rest by the API
        const Py_ssize_t size = Py_SIZE(v);
        long long x = 0;
        if (size >= -1 && size <= 1) {
            x = size == 0 ? 0 : static_cast<long long>(reinterpret_cast<PyLongObject*>(v)->ob_digit[0]) * size;
        } else {
            int overflow = 0;
            x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow != 0) return Step::slow;
        }
        out_.tag_u64('i', static_cast<uint64_t>(x));
        return Step::ok;
    }
    if (v == Py_None) {
        out_.tag('N');
        return Step::ok;
    }
    if (t == &PyBool_Type) {
        out_.tag(v == Py_True ? 'T' : 'F');
        return Step::ok;
    }
    if (t == &PyUnicode_Type) {
        text(v);
        return Step::ok;
    }
    const bool builtin = reinterpret_cast<PyObject*>(t) == deque_type_.get() || t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type || t == &PyBytes_Type ||
                         PyDateTime_CheckExact(v) || PyDate_CheckExact(v) || PyTime_CheckExact(v) ||
                         PyDelta_CheckExact(v);
    const TypeInfo* ti = nullptr;
    if (!builtin) {
        ti = info(t);
        if (ti == nullptr) return Step::error;
        if (ti->kind == Kind::enumeration) return member(v, *ti);
        if (ti->kind == Kind::slow) return Step::slow;
    }
    if (depth > max_depth) {
        out_.tag_u64('D', ti != nullptr ? ti->name : text_hash(t->tp_name, std::strlen(t->tp_name)));
        return Step::ok;
    }
    const int64_t first = memo_.seen_or_add(v);
    if (first >= 0) {
        out_.tag_u64('S', static_cast<uint64_t>(first));
        return Step::ok;
    }
    for (size_t i = 0; i < own_.size(); ++i) {
        if (own_[i].get() == v) {
            out_.tag_u64('O', i);
            return Step::ok;
        }
    }
    if (ti != nullptr && ti->kind == Kind::opaque) {
        out_.tag_u64('Q', ti->name);
        return Step::ok;
    }
    if (!labels_.empty()) {
        auto it = labels_.find(v);
        if (it != labels_.end()) {
            out_.tag('L');
            out_.text(it->second);
        }
    }
    for (const auto& [a, code] : args_) {
        if (a == v) {
            out_.tag_u64('A', code);
            break;
        }
    }
    return inner(v, t, ti, depth + 1);
}

Step Walker::inner(PyObject* v, PyTypeObject* t, const TypeInfo* ti, int depth) {
    if (t == &PyList_Type || t == &PyTuple_Type) {
        const bool list = t == &PyList_Type;
        const Py_ssize_t n = list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
        out_.tag(list ? 'l' : 't');
        out_.u64(static_cast<uint64_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (list && i >= PyList_GET_SIZE(v)) return Step::slow;  // shrunk by code run meanwhile
            Ref item = Ref::borrow(list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i));
            const Step s = value(item.get(), depth);
            if (s != Step::ok) return s;
        }
        return Step::ok;
    }
    if (t == &PyDict_Type) {
        if (outcome_) {
            const Step s = history_label(v);
            if (s != Step::ok) return s;
        }
        out_.tag('d');
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (PyDict_Next(v, &pos, &key, &item)) {
            Ref k = Ref::borrow(key);
            Ref x = Ref::borrow(item);
            Step s = value(k.get(), depth);
            if (s == Step::ok) s = value(x.get(), depth);
            if (s != Step::ok) return s;
        }
        out_.tag('E');
        return Step::ok;
    }
    if (reinterpret_cast<PyObject*>(t) == deque_type_.get()) return deque(v, depth);
    if (t == &PyBytes_Type) {
        const auto n = static_cast<size_t>(PyBytes_GET_SIZE(v));
        out_.tag_u64('b', n);
        out_.raw(PyBytes_AS_STRING(v), n);
        return Step::ok;
    }
    if (PyDateTime_Check(v)) {
        if (PyDateTime_DATE_GET_TZINFO(v) != Py_None) return Step::slow;
        out_.tag_u64('W', static_cast<uint64_t>(PyDateTime_GET_YEAR(v)) << 32 | PyDateTime_GET_MONTH(v) << 8 |
                 PyDateTime_GET_DAY(v));
        out_.u64(static_cast<uint64_t>(PyDateTime_DATE_GET_HOUR(v)) << 48 |
                 static_cast<uint64_t>(PyDateTime_DATE_GET_MINUTE(v)) << 40 |
                 static_cast<uint64_t>(PyDateTime_DATE_GET_SECOND(v)) << 32 |
                 static_cast<uint64_t>(PyDateTime_DATE_GET_MICROSECOND(v)));
        return Step::ok;
    }
    if (PyDate_Check(v)) {
        out_.tag_u64('Y', static_cast<uint64_t>(PyDateTime_GET_YEAR(v)) << 32 | PyDateTime_GET_MONTH(v) << 8 |
                 PyDateTime_GET_DAY(v));
        return Step::ok;
    }
    if (PyTime_Check(v)) {
        if (PyDateTime_TIME_GET_TZINFO(v) != Py_None) return Step::slow;
        out_.tag_u64('H', static_cast<uint64_t>(PyDateTime_TIME_GET_HOUR(v)) << 48 |
                 static_cast<uint64_t>(PyDateTime_TIME_GET_MINUTE(v)) << 40 |
                 static_cast<uint64_t>(PyDateTime_TIME_GET_SECOND(v)) << 32 |
                 static_cast<uint64_t>(PyDateTime_TIME_GET_MICROSECOND(v)));
        return Step::ok;
    }
    if (PyDelta_Check(v)) {
        out_.tag_u64('Z', static_cast<uint64_t>(PyDateTime_DELTA_GET_DAYS(v)));
        out_.u64(static_cast<uint64_t>(PyDateTime_DELTA_GET_SECONDS(v)) << 32 |
                 static_cast<uint64_t>(PyDateTime_DELTA_GET_MICROSECONDS(v)));
        return Step::ok;
    }
    if (ti != nullptr && ti->kind == Kind::object) return object(v, *ti, depth);
    if (ti != nullptr && ti->kind == Kind::record) return record(v, *ti, depth);
    return Step::slow;
}

Step Walker::object(PyObject* v, const TypeInfo& ti, int depth) {
    out_.tag_u64('o', ti.name);
    bool any = false;
    for (const Slot& slot : ti.slots) {
        PyObject* x = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(v) + slot.offset);
        if (x == nullptr) continue;  // unset: getattr raises AttributeError and the attribute is left out
        Ref keep = Ref::borrow(x);
        text(slot.name.get());
        const Step s = value(keep.get(), depth);
        if (s != Step::ok) return s;
        any = true;
    }
    if (ti.has_dict) {
        Ref d = Ref::steal(PyObject_GenericGetDict(v, nullptr));
        if (!d) return Step::error;
        if (!PyDict_CheckExact(d.get())) return Step::slow;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (PyDict_Next(d.get(), &pos, &key, &item)) {
            if (!PyUnicode_Check(key) || missing_key(key)) continue;
            if (!PyUnicode_CheckExact(key)) return Step::slow;
            Ref k = Ref::borrow(key);
            Ref x = Ref::borrow(item);
            text(k.get());
            const Step s = value(x.get(), depth);
            if (s != Step::ok) return s;
            any = true;
        }
    }
    if (!any) return Step::slow;  // an object with no attributes is told by its repr
    out_.tag('E');
    return Step::ok;
}

Step Walker::deque(PyObject* v, int depth) {
    Ref maxlen = Ref::steal(PyObject_GetAttr(v, maxlen_attr_.get()));
    if (!maxlen) return Step::error;
    out_.tag('q');
    if (maxlen.get() == Py_None) {
        out_.tag('N');
    } else {
        const long long m = PyLong_AsLongLong(maxlen.get());
        if (m == -1 && PyErr_Occurred()) return Step::error;
        out_.u64(static_cast<uint64_t>(m));
    }
    // its own iterator: a deque changed meanwhile ends the walk with an error, never a bad read
    Ref it = Ref::steal(PyObject_GetIter(v));
    if (!it) return Step::error;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        const Step s = value(item.get(), depth);
        if (s != Step::ok) return s;
    }
    if (PyErr_Occurred()) return Step::error;
    out_.tag('E');
    return Step::ok;
}

Step Walker::record(PyObject* v, const TypeInfo& ti, int depth) {
    PyObject* fields = ti.fields.get();
    const Py_ssize_t n = std::min(PyTuple_GET_SIZE(fields), PyTuple_GET_SIZE(v));
    out_.tag_u64('r', ti.name);
    out_.u64(static_cast<uint64_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        text(PyTuple_GET_ITEM(fields, i));
        const Step s = value(PyTuple_GET_ITEM(v, i), depth);
        if (s != Step::ok) return s;
    }
    return Step::ok;
}

Step Walker::member(PyObject* v, const TypeInfo& ti) {
    auto it = members_.find(v);
    if (it == members_.end()) {
        Ref d = Ref::steal(PyObject_GenericGetDict(v, nullptr));
        if (!d) return Step::error;
        PyObject* name = PyDict_CheckExact(d.get()) ? PyDict_GetItemWithError(d.get(), name_attr_.get()) : nullptr;
        if (name == nullptr) return PyErr_Occurred() ? Step::error : Step::slow;
        if (!PyUnicode_CheckExact(name)) return Step::slow;
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(name, &n);
        if (s == nullptr) return Step::error;
        const uint64_t h = text_hash(s, static_cast<size_t>(n)) * 0x9E3779B97F4A7C15ULL ^ ti.name;
        if (members_.size() >= max_members) {
            out_.tag_u64('e', h);
            return Step::ok;
        }
        it = members_.try_emplace(v, Ref::borrow(v), h).first;
    }
    out_.tag_u64('e', it->second.second);
    return Step::ok;
}

Step Walker::history_mark(uint64_t which, Py_ssize_t from_end) {
    out_.tag_u64('h', which);
    out_.u64(static_cast<uint64_t>(from_end));
    return Step::ok;
}

Step Walker::history_label(PyObject* dict) {
    // the module may hand out the very dict its history keeps, or a copy: which one is part of what it did
    PyObject* code = PyDict_GetItemWithError(dict, market_code_.get());
    if (code == nullptr) return PyErr_Occurred() ? Step::error : Step::ok;
    Ref keep = Ref::borrow(code);
    PyObject* stores[] = {history_tick_.get(), history_bar_.get()};
    for (uint64_t which = 0; which < 2; ++which) {
        PyObject* store = PyDict_GetItemWithError(module_dict_.get(), stores[which]);
        if (store == nullptr && PyErr_Occurred()) return Step::error;
        if (store == nullptr || !PyDict_CheckExact(store)) continue;
        PyObject* h = PyDict_GetItemWithError(store, code);
        if (h == nullptr && PyErr_Occurred()) return Step::error;
        if (h == nullptr) continue;
        if (PyList_CheckExact(h)) {
            const Py_ssize_t n = PyList_GET_SIZE(h);
            for (Py_ssize_t j = n - 1; j >= 0 && j >= n - history_window; --j) {
                if (PyList_GET_ITEM(h, j) == dict) return history_mark(which, j - n);
            }
        } else if (deque_type_ && Py_TYPE(h) == reinterpret_cast<PyTypeObject*>(deque_type_.get())) {
            Ref hold = Ref::borrow(h);
            const Py_ssize_t n = PySequence_Size(h);
            if (n < 0) return Step::error;
            for (Py_ssize_t j = n - 1; j >= 0 && j >= n - history_window; --j) {
                Ref item = Ref::steal(PySequence_GetItem(h, j));  // read from the nearer end
                if (!item) return Step::error;
                if (item.get() == dict) return history_mark(which, j - n);
            }
        }
    }
    return Step::ok;
}

}  // namespace digest
