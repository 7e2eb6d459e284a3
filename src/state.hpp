// Module state (interned names, keyword-name tuples, the class object) and
// the per-call context through which handlers reach the module's globals.
#pragma once

#include "attr_cache.hpp"
#include "names.hpp"
#include "pyref.hpp"

namespace tessaline {

enum class Name : int {
#define TESSALINE_NAME_ID(id) id,
#define TESSALINE_TEXT_ID(id, text) id,
    TESSALINE_NAMES(TESSALINE_NAME_ID, TESSALINE_TEXT_ID)
#undef TESSALINE_NAME_ID
#undef TESSALINE_TEXT_ID
        count
};

// Keyword-name tuples of every keyword call the module makes, built once.
enum class Kw : int {
    tick_event,         // calendar_dt, trading_dt, tick
    l2_order_event,     // calendar_dt, trading_dt, l2_order
    l2_trans_event,     // calendar_dt, trading_dt, l2_transaction
    dated_event,        // calendar_dt, trading_dt
    login_event,        // rid, account_id, code, msg
    account_ok_event,   // rid, account_id, asset
    position_err_event, // rid, code, msg
    position_ok_event,  // rid, positions
    order_event,        // account, order
    trade_event,        // account, trade, order
    trade_create,       // order_id, price, amount, side, position_effect, market_code, frozen_price
    algo_login_event,   // req_id, algo_account, code, msg
    parent_create_event,  // req_id, parent_order_id, code, msg
    parent_action_event,  // parent_order_id, code, msg
    algo_parent_order,  // algo_parent_order
    algo_child_order,   // algo_child_order
    algo_child_trade,   // algo_child_trade
    ring_buffer,        // capacity, dtype
    deque_maxlen,       // maxlen
    at_eight,           // hour, minute, second, microsecond
    one_day,            // days
    count
};

// The fixed-key dictionaries the handlers fill: a template per shape holds the
// keys in order, and a fresh dictionary is its copy (a str-keys table sized
// for exactly these keys, filled without insertion or resize).
enum class Shape : int { tick, bar, position_state, count };

// Small integers the hot paths use, made once.
enum class Int : int { zero, one, minus_one, sixty, thousand, count };

// A module global as last read, valid while the module dict's version tag is
// unchanged: any store or deletion in the dict changes the tag, so a rebinding
// is always seen, and the borrowed value is alive as long as the dict holds it.
struct GlobalSlot {
    uint64_t version;
    PyObject* value;  // borrowed from the module dict
};

// global(owner).member as last resolved, for an owner whose state is summed
// up by version tags: a class (its tag and its metaclass's) or an object with
// a plain __dict__ (that dict's version and its type's tag).
struct MemberSlot {
    PyObject* owner;            // compared by identity only
    uint64_t state;             // the class's tp_version_tag, or the __dict__'s ma_version_tag
    unsigned int type_version;  // the metaclass's / the owner type's tp_version_tag
    PyObject* value;            // borrowed: alive while the owner's state is unchanged
    PyTypeObject* value_type;   // a class attribute's type: it must not become a descriptor
    unsigned int value_version; // that type's tp_version_tag
};

struct ModuleState {
    PyObject* names[static_cast<int>(Name::count)];
    GlobalSlot globals_seen[static_cast<int>(Name::count)];
    ReadCache attr_seen[static_cast<int>(Name::count)];    // obj.<name>, per record type
    StoreCache store_seen[static_cast<int>(Name::count)];  // obj.<name> = value, per type
    FastPaths fast;                                        // the attribute fast paths that passed their check
    MemberSlot members_seen[static_cast<int>(Name::count)];
    PyObject* kwnames[static_cast<int>(Kw::count)];
    PyObject* ints[static_cast<int>(Int::count)];
    PyObject* shapes[static_cast<int>(Shape::count)];
    PyTypeObject* function_type;  // the callable type of every function and method
    PyTypeObject* deque_type;     // the interpreter's own deque type (a static type, its methods cannot change), or null
    PyObject* deque_append;       // deque.append, the method descriptor
    PyObject* strategy_class;     // VornStrategy, for the zero-argument super() of __init__
};

ModuleState& state_of(PyObject* module);

// Creates the names, tuples and integers; throws PythonError on failure.
void init_state(ModuleState& st);
int traverse_state(ModuleState& st, visitproc visit, void* arg);
void clear_state(ModuleState& st);

// What a handler sees of its module during one call.
class Ctx {
public:
    Ctx(ModuleState& st, PyObject* globals) noexcept : st_(st), globals_(globals) {}

    PyObject* n(Name name) const noexcept { return st_.names[static_cast<int>(name)]; }
    PyObject* kw(Kw k) const noexcept { return st_.kwnames[static_cast<int>(k)]; }
    PyObject* integer(Int i) const noexcept { return st_.ints[static_cast<int>(i)]; }
    ModuleState& state() const noexcept { return st_; }

    // A new dictionary holding the shape's keys in order, every value None
    // until the handler stores it.
    Ref fresh_dict(Shape shape) const { return require(PyDict_Copy(st_.shapes[static_cast<int>(shape)])); }
    PyObject* globals() const noexcept { return globals_; }

    // The module global `name` as it is bound now (then the builtins), or
    // NameError "name '...' is not defined" as the interpreter raises it.
    Ref global(Name name) const;

    // global(owner).member: an enumeration member or a class attribute.
    Ref member(Name owner, Name member) const;

    // obj.attr, as PyObject_GetAttr reads it (see attr_cache.hpp).
    Ref attr(PyObject* obj, Name name) const {
        return cached_read(st_.attr_seen[static_cast<int>(name)], st_.fast, obj, n(name));
    }

    // obj.attr = value, as PyObject_SetAttr stores it.
    void store(PyObject* obj, Name name, PyObject* value) const {
        cached_store(st_.store_seen[static_cast<int>(name)], st_.fast, obj, n(name), value);
    }

    template <class... Args>
    Ref call_method(PyObject* obj, Name name, const Args&... args) const {
        return tessaline::call_method(obj, n(name), args...);
    }

    // history.append(item); the real deque's append is called directly.
    void append_to(PyObject* history, PyObject* item) const {
        if (Py_IS_TYPE(history, st_.deque_type)) {
            PyObject* argv[] = {history, item};
            require(PyObject_Vectorcall(st_.deque_append, argv, 2, nullptr));
            return;
        }
        call_method(history, Name::append, item);
    }

    // event_queue.append(event), with event_queue looked up first.
    void post_to(const Ref& event_queue, const Ref& event) const { call_method(event_queue.get(), Name::append, event); }

private:
    ModuleState& st_;
    PyObject* globals_;
};

// Text of a value as an f-string field without format spec renders it.
Ref as_text(PyObject* value);
// The concatenation of the given pieces (all str).
Ref join_text(const Ctx& ctx, PyObject* const* pieces, Py_ssize_t count);

}  // namespace tessaline
