// The walk behind a comparison's digests: what one call did (its events, the
// exception, log lines and context calls) or a piece of the module's state,
// read object by object into tagged bytes without building a Python object.
// It tells apart what the full observation of a call tells apart: kinds of
// values, classes by the name they stand for, attributes in order, an object
// met twice within the call, the replay's own objects, the call's arguments
// and history entries handed out as they are kept. Whatever it cannot read
// soundly (a class of its own making, a number beyond 64 bits, more than a
// bounded amount of work) it leaves to the caller's slow path.
#pragma once

#include "digest_hash.hpp"
#include "pyref.hpp"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace digest {

using capture::Ref;

// The date and time API this walk reads with (once, before any walk).
bool import_datetime();

// How the instances of a class are read, as the caller's classify(type) says.
// object: its slots, then its instance dict; record: a tuple read by field names;
// moment: a date or time whose value is its fields.
enum class Kind { slow = 0, object = 1, record = 2, enumeration = 3, opaque = 4, moment = 5 };

struct Slot {
    Ref name;
    Py_ssize_t offset;
};

struct TypeInfo {
    Ref type;          // keeps the type, and so its address, alive while it is a key
    Kind kind = Kind::slow;
    uint64_t name = 0;  // hash of the class name it stands for
    Ref fields;         // a record's field names (a tuple of str)
    std::vector<Slot> slots;  // an object's slots, read where the attribute's member descriptor reads them
    bool has_dict = false;
};

// ok: written; slow: the caller digests this by its slow path; error: a Python exception is set.
enum class Step { ok, slow, error };

// Objects met within one digest, by identity, numbered in the order first met.
class Memo {
public:
    Memo() { resize(64); }
    // The number of v's first appearance, or -1 after recording it as the next.
    int64_t seen_or_add(PyObject* v);
    void reset() noexcept;

private:
    size_t slot(PyObject* p) const noexcept {
        return static_cast<size_t>((static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)) * 0x9E3779B97F4A7C15ULL) >>
                                   shift_);
    }
    void resize(size_t capacity);
    std::vector<PyObject*> keys_;
    std::vector<uint32_t> values_;
    std::vector<uint32_t> used_;
    uint32_t count_ = 0;
    int shift_ = 58;
};

class Walker {
public:
    // classify(type) -> (kind, class name, record fields or None); own: the replay's
    // objects named instead of read; module_dict: where the histories are kept.
    Walker(PyObject* classify, PyObject* own, PyObject* module_dict);

    // The digest of n values: (events, error, logs, context calls) of one call
    // whose arguments are args (named where the events hand them on), or a
    // piece of state (args null).
    Step parts(PyObject* const* parts, Py_ssize_t n, PyObject* args, uint64_t& digest);
    // The same, with the values of the dicts in sources (the module's orders, the accounts,
    // the instruments) named where the events hand them on, by source and key.
    Step labelled_parts(PyObject* const* parts, Py_ssize_t n, PyObject* args, PyObject* sources, uint64_t& digest);

    int traverse(visitproc visit, void* arg) const;
    // False (with a Python error set) when the walker could not be made whole.
    bool ok() const;

private:
    bool read_slots(TypeInfo& ti, PyObject* fields);

    Step value(PyObject* v, int depth);
    Step inner(PyObject* v, PyTypeObject* t, const TypeInfo* info, int depth);
    Step object(PyObject* v, const TypeInfo& info, int depth);
    Step record(PyObject* v, const TypeInfo& info, int depth);
    Step member(PyObject* v, const TypeInfo& info);
    Step deque(PyObject* v, int depth);
    Step history_label(PyObject* dict);
    Step history_mark(uint64_t which, Py_ssize_t from_end);
    const TypeInfo* info(PyTypeObject* t);
    void text(PyObject* s);
    Step label_args(PyObject* args);
    Step label_sources(PyObject* sources);
    bool missing_key(PyObject* k) const;

    Bytes out_;
    Memo memo_;
    size_t nodes_ = 0;
    bool outcome_ = false;  // a call's outcome, not the state: history entries handed on are named
    Ref classify_;
    std::vector<Ref> own_;
    Ref module_dict_;
    Ref market_code_, history_tick_, history_bar_, name_attr_, missing_attr_, maxlen_attr_;
    Ref deque_type_;  // collections.deque: the histories keep their entries in one
    std::unordered_map<PyTypeObject*, TypeInfo> types_;
    std::unordered_map<PyObject*, std::pair<Ref, uint64_t>> members_;
    std::vector<std::pair<PyObject*, uint64_t>> args_;  // borrowed: the caller holds the arguments
    std::unordered_map<PyObject*, std::string> labels_;  // borrowed: the sources hold them during the walk
};

}  // namespace digest
