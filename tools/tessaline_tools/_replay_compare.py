"""Comparing what implementations did, call by call, and the state they keep.

Every call's outcome (events, exception, log lines, context calls) is reduced
to an 8-byte digest as the replay goes, by a native walk of the objects
themselves (``tessaline_tools._digest_native``): kinds of values, classes by
the name they stand for, attributes in order, an object met twice within the
call, the replay's own objects, the call's arguments, history entries, and on
the rarer calls the orders, accounts and instruments handed on, all told apart
as the full observation tells them apart.  What the walk cannot read soundly
(a class with its own attribute lookup, say) is digested by the call's full
normalised form.  The strategy's attributes are digested every
``STRATEGY_EVERY`` calls, the module-level stores (histories, orders,
algorithmic orders, ``vorn_params``) every ``STATE_EVERY`` calls.  Only where
digests differ are the full, normalised observations built and compared, which
name the event, field and both values.
"""
import collections
import datetime as _dt
import enum
import json
import math
import pickle
import sys
import types

from tessaline_tools import _digest_native
from tessaline_tools._capture_decode import RecordTuple, ReplayRecord
from tessaline_tools._capture_values import HostObject, attribute_names
from tessaline_tools._replay_engine import exception_name, safe_str

# the callbacks digested on the hot path (nearly every call)
MARKET_DATA = frozenset({"on_snapshot", "on_tick_order", "on_tick_trade", "on_bar"})
STATE_STORES = ("history_tick", "history_bar", "orders_dict", "algo_parent_orders", "algo_child_orders",
                "algo_child_trades", "vorn_params")
_LABELLED_STORES = ("orders_dict", "algo_parent_orders", "algo_child_orders", "algo_child_trades")
STATE_EVERY = 4096              # calls between digests of the module-level stores
STRATEGY_EVERY = 64             # calls between digests of the strategy's attributes

_SCALARS = (type(None), bool, int, str)


class Normalizer:
    """Turns what one call did into plain, comparable values.  Objects met twice within the
    call are told by the path of their first appearance; objects that are the module's own
    state, the captured arguments or host objects given to the module carry a label."""

    MAX_DEPTH = 10

    def __init__(self, replay):
        self.replay = replay
        self.module = replay.module

    def outcome(self, out):
        return self.observe(out.call, out.events, out.error, out.logs, out.context_calls)

    def observe(self, call, events, error, logs, context_calls):
        self._seen = {}
        self._labels = None
        self._call = call
        self._strategy = self.replay.strategy
        events = [self.value(ev, f"event[{i}]") for i, ev in enumerate(events)]
        ctx = [[name, [self.value(a, f"context.{name}[{j}]") for j, a in enumerate(args)],
                [[k, self.value(v, f"context.{name}.{k}")] for k, v in kwargs.items()]]
               for name, args, kwargs in context_calls]
        error = None if error is None else [exception_name(error), safe_str(error)]
        return {"i": call.position, "cb": call.name, "events": events, "error": error,
                "logs": [list(line) for line in logs], "context": ctx}

    def state(self):
        """The strategy's attributes and the module-level stores, normalised: objects are
        described by their content, not labelled as shared (they are the state itself)."""
        self._seen = {}
        self._labels = {}
        self._call = None
        self._strategy = self.replay.strategy
        own = self._own_objects()
        strategy = []
        if self._strategy is not None:
            for name, v in _attrs(self._strategy):
                label = own.get(id(v))
                strategy.append([name, ["replay", label] if label else self.value(v, f"strategy.{name}")])
        stores = {}
        for name in STATE_STORES:
            if name in self.module.__dict__:
                v = self.module.__dict__[name]
                label = own.get(id(v))
                stores[name] = ["replay", label] if label else self._state_value(v, name, own)
        return {"strategy": strategy, "stores": stores}

    def _state_value(self, v, path, own):
        if type(v) is dict:
            return ["dict", [[self.value(k, f"{path}.key"),
                              ["replay", own[id(x)]] if id(x) in own else self.value(x, f"{path}[{k!r}]")]
                             for k, x in v.items()]]
        return self.value(v, path)

    def _own_objects(self):
        r = self.replay
        own = {id(r.context): "context", id(r.config): "config", id(r.env): "environment"}
        if r.strategy is not None:
            own[id(r.strategy)] = "strategy"
        return own

    def _build_labels(self):
        labels = {}
        m = self.module.__dict__
        for store in ("orders_dict", "algo_parent_orders", "algo_child_orders", "algo_child_trades"):
            d = m.get(store)
            if isinstance(d, dict):
                for k, v in d.items():
                    labels.setdefault(id(v), f"{store}[{k!r}]")
        env = self.replay.env
        for code, acct in env.accounts.items():
            labels.setdefault(id(acct), f"account({code})")
        for code, inst in env.data_proxy.known.items():
            if inst is not None:
                labels.setdefault(id(inst), f"instrument({code})")
        call = self._call
        for i, a in enumerate(call.args):
            self._label_arg(labels, a, f"arg[{i}]")
        for k, a in call.kwargs.items():
            self._label_arg(labels, a, f"arg.{k}")
        if self._strategy is not None:
            labels.setdefault(id(self._strategy), "strategy")
        labels.setdefault(id(self.replay.config), "config")
        labels.setdefault(id(self.replay.context), "context")
        self._labels = labels

    @staticmethod
    def _label_arg(labels, a, path):
        if isinstance(a, _SCALARS) or isinstance(a, (float, enum.Enum)):
            return
        labels.setdefault(id(a), path)
        if isinstance(a, list):
            for j, r in enumerate(a):
                Normalizer._label_arg(labels, r, f"{path}[{j}]")
            return
        d = getattr(a, "__dict__", None)
        items = list(d.items()) if isinstance(d, dict) else []
        if isinstance(a, RecordTuple):
            items = list(zip(a._fields, a))
        for name in getattr(type(a), "__slots__", ()) or ():
            try:
                items.append((name, getattr(a, name)))
            except AttributeError:
                pass
        for name, v in items:
            if not isinstance(v, _SCALARS) and not isinstance(v, (float, enum.Enum)):
                labels.setdefault(id(v), f"{path}.{name}")

    def _shared_label(self, v):
        if self._labels is None:
            self._build_labels()
        label = self._labels.get(id(v))
        if label is None and type(v) is dict:
            code = v.get("market_code")
            if isinstance(code, str):
                for store in ("history_tick", "history_bar"):
                    d = self.module.__dict__.get(store)
                    h = d.get(code) if isinstance(d, dict) else None
                    if h:
                        for j in range(len(h) - 1, max(len(h) - 61, -1), -1):
                            if h[j] is v:
                                return f"{store}[{code!r}][{j - len(h)}]"
        return label

    def value(self, v, path, depth=0):
        t = type(v)
        if t in _SCALARS:
            return v
        if t is float:
            return v if math.isfinite(v) else ["float", repr(v)]
        if issubclass(t, enum.Enum):
            try:
                return ["enum", _type_name(t), v.name]
            except Exception as exc:                               # noqa: BLE001 - a member that will not say
                return ["unreadable", _type_name(t), type(exc).__name__]
        if depth > self.MAX_DEPTH:
            return ["deep", _type_name(t)]
        first = self._seen.get(id(v))
        if first is not None:
            return ["same", first]
        self._seen[id(v)] = path
        try:
            inner = self._inner(v, t, path, depth + 1)
        except Exception as exc:                                   # noqa: BLE001 - an object whose reading raises
            inner = ["unreadable", _type_name(t), type(exc).__name__]
        label = self._shared_label(v)
        return ["shared", label, inner] if label is not None else inner

    def _inner(self, v, t, path, depth):
        if isinstance(v, _dt.datetime):
            return ["datetime", v.isoformat()]
        if isinstance(v, _dt.date):
            return ["date", v.isoformat()]
        if isinstance(v, (_dt.time, _dt.timedelta)):
            return [t.__name__, str(v)]
        if isinstance(v, bytes):
            return ["bytes", v.hex()]
        if isinstance(v, (int, str, float)):                       # subclasses
            return ["sub", f"{t.__module__}.{t.__qualname__}", self.value(t.__mro__[1](v), path, depth)]
        if t is list or t is tuple:
            return [t.__name__, [self.value(x, f"{path}[{i}]", depth) for i, x in enumerate(v)]]
        if isinstance(v, collections.deque):
            return ["deque", v.maxlen, [self.value(x, f"{path}[{i}]", depth) for i, x in enumerate(v)]]
        if isinstance(v, dict):
            return [("dict" if t is dict else f"{t.__module__}.{t.__qualname__}"),
                    [[self.value(k, f"{path}.key", depth), self.value(x, f"{path}[{k!r}]", depth)]
                     for k, x in v.items()]]
        if isinstance(v, (set, frozenset)):
            return [t.__name__, sorted(repr(x) for x in v)]
        if isinstance(v, types.MethodType):
            owner = "strategy" if v.__self__ is self._strategy else type(v.__self__).__qualname__
            return ["method", owner, v.__func__.__name__]
        if isinstance(v, (types.FunctionType, types.BuiltinFunctionType, type, types.ModuleType)):
            return ["ref", getattr(v, "__qualname__", getattr(v, "__name__", repr(v)))]
        np = sys.modules.get("numpy")
        if np is not None and isinstance(v, np.generic):
            return ["np", str(v.dtype), self.value(v.item(), path, depth)]
        if np is not None and isinstance(v, np.ndarray):
            return ["ndarray", str(v.dtype), list(v.shape), repr(v.tolist())[:2000]]
        return ["obj", _class_name(t), [[name, self.value(x, f"{path}.{name}", depth)] for name, x in _attrs(v)]]


def _type_name(t):
    """``module.qualname`` of a class, read without running its metaclass's code where that raises."""
    try:
        return f"{t.__module__}.{t.__qualname__}"
    except Exception:                                              # noqa: BLE001
        return type.__repr__(t)


def _class_name(t):
    module, qualname = t.__module__, t.__qualname__
    if issubclass(t, (HostObject, ReplayRecord, RecordTuple)):
        module, qualname = t._cls_module, t._cls_qualname      # a stand-in names the class it stands for
    return f"{module}.{qualname}"


def _attrs(v):
    if isinstance(v, RecordTuple):
        return list(zip(v._fields, v))
    out = []
    for name in attribute_names(type(v)):
        try:
            out.append((name, getattr(v, name)))
        except AttributeError:
            pass
    d = getattr(v, "__dict__", None)
    if isinstance(d, dict):
        out.extend((k, x) for k, x in d.items() if isinstance(k, str) and k != "_missing")
    if not out:
        out.append(("repr", _safe_repr(v)))
    return out


def _safe_repr(v):
    try:
        return repr(v)
    except Exception:                                              # noqa: BLE001
        return f"<{type(v).__qualname__}>"


def first_difference(a, b, path=""):
    """The first place where two normalised values differ: ``(path, a part, b part)``."""
    if type(a) is not type(b):
        return path, a, b
    if isinstance(a, list):
        if a and b and isinstance(a[0], str) and a[0] != b[0] and "shared" in (a[0], b[0]):
            def label(v):
                return v[1] if v[0] == "shared" and len(v) == 3 else "nothing: an object of its own"
            return path + " <shared with>", ["names", [label(a)]], ["names", [label(b)]]
        if a and b and isinstance(a[0], str) and a[0] in ("obj", "enum", "same") and a[0] != b[0]:
            return path, a, b
        if a and b and a[0] == "obj" and len(a) == 3 and len(b) == 3:
            if a[1] != b[1]:
                return path + ".__class__", a[1], b[1]
            fa, fb = dict((k, v) for k, v in a[2]), dict((k, v) for k, v in b[2])
            if set(fa) != set(fb):
                return path + " fields", ["names", list(fa)], ["names", list(fb)]
            for k in fa:
                d = first_difference(fa[k], fb[k], f"{path}.{k}")
                if d is not None:
                    return d
            if [k for k, _ in a[2]] != [k for k, _ in b[2]]:
                return path + ".<attribute order>", [k for k, _ in a[2]], [k for k, _ in b[2]]
            return None
        if a and b and a[0] == "shared" and len(a) == 3 and len(b) == 3:
            if a[1] != b[1]:
                return path + " <shared with>", a[1], b[1]
            return first_difference(a[2], b[2], path)
        if a and b and a[0] == "dict" and len(a) == 2 and len(b) == 2 and isinstance(a[1], list):
            ka, kb = [k for k, _ in a[1]], [k for k, _ in b[1]]
            if ka != kb:
                return path + ".<keys>", ka, kb
            for (k, va), (_, vb) in zip(a[1], b[1]):
                d = first_difference(va, vb, f"{path}[{_short(k)}]")
                if d is not None:
                    return d
            return None
        if len(a) != len(b):
            return path + ".<length>", len(a), len(b)
        for i, (x, y) in enumerate(zip(a, b)):
            d = first_difference(x, y, f"{path}[{i}]" if not (i == 1 and a and a[0] in ("list", "tuple")) else path)
            if d is not None:
                return d
        return None
    if isinstance(a, dict):
        for k in list(a) + [k for k in b if k not in a]:
            if k not in a or k not in b:
                return f"{path}.{k}", a.get(k), b.get(k)
            d = first_difference(a[k], b[k], f"{path}.{k}" if path else k)
            if d is not None:
                return d
        return None
    return None if a == b else (path, a, b)


def _short(v, limit=160):
    s = render(v)
    return s if len(s) <= limit else s[:limit - 3] + "..."


def render(v):
    """A normalised value in a readable form."""
    if isinstance(v, list) and v and isinstance(v[0], str):
        tag = v[0]
        if tag == "enum" and len(v) == 3:
            return f"{v[1].rsplit('.', 1)[-1]}.{v[2]}"
        if tag in ("datetime", "date", "time", "timedelta") and len(v) == 2:
            return v[1]
        if tag in ("list", "tuple") and len(v) == 2 and isinstance(v[1], list):
            inner = ", ".join(render(x) for x in v[1])
            return f"[{inner}]" if tag == "list" else f"({inner})"
        if tag == "dict" and len(v) == 2:
            return "{" + ", ".join(f"{render(k)}: {render(x)}" for k, x in v[1]) + "}"
        if tag == "obj" and len(v) == 3:
            return f"{v[1].rsplit('.', 1)[-1]}(" + ", ".join(f"{k}={render(x)}" for k, x in v[2]) + ")"
        if tag == "shared" and len(v) == 3:
            return f"<{v[1]}> {render(v[2])}"
        if tag == "same" and len(v) == 2:
            return f"<same object as {v[1]}>"
        if tag == "names" and len(v) == 2:
            return ", ".join(v[1])
        if tag == "method" and len(v) == 3:
            return f"{v[1]}.{v[2]}"
    if isinstance(v, str):
        return repr(v)
    return json.dumps(v, default=str) if isinstance(v, (list, dict)) else repr(v)


def describe_difference(a, b):
    """What differs in one call, in words: a list of lines."""
    lines = []
    if a["error"] != b["error"]:
        lines.append(f"exception: {_error(a['error'])}  vs  {_error(b['error'])}")
    for part, what in (("logs", "log lines"), ("context", "context calls")):
        if a[part] != b[part]:
            lines.append(f"{what}: {_short(_part(a[part]), 300)}  vs  {_short(_part(b[part]), 300)}")
    ea, eb = a["events"], b["events"]
    if len(ea) != len(eb):
        lines.append(f"events: {len(ea)} ({', '.join(_event_type(e) for e in ea) or 'none'})  vs  "
                     f"{len(eb)} ({', '.join(_event_type(e) for e in eb) or 'none'})")
    for i, (x, y) in enumerate(zip(ea, eb)):
        d = first_difference(x, y, f"event[{i}]")
        if d is not None:
            path, va, vb = d
            lines.append(f"event {i} ({_event_type(x)}) at {path}: {_short(va)}  vs  {_short(vb)}")
            break
    return lines


def _error(e):
    return "no exception" if e is None else f"{e[0]}: {e[1]}"


def _part(v):
    if v is None:
        return "none"
    if isinstance(v, list) and v and isinstance(v[0], str):
        return v
    return v


def _event_type(e):
    """The EVENT member of a normalised event."""
    try:
        inner = e[2] if e[0] == "shared" else e
        for k, x in inner[2]:
            if k == "event_type":
                return x[2] if isinstance(x, list) and x[0] == "enum" else render(x)
    except (IndexError, TypeError, ValueError):
        pass
    return "?"




# ---------------------------------------------------------------- digests

# how the digest walk reads an instance of a class (see tessaline_tools._digest_native)
_SLOW, _OBJECT, _RECORD, _ENUM, _OPAQUE, _MOMENT = range(6)
_HEAPTYPE = 1 << 9
_MOMENTS = (_dt.datetime, _dt.date, _dt.time, _dt.timedelta)


def _object_fields(t):
    """How the full observation reads a ``t``, when the walk can read it the same way: the
    (name, member descriptor) of each slot, then the instance dict.  Only for classes written
    in Python, none of whose bases (but ``object``) is a built-in one, with no
    ``__getattribute__`` or ``__dict__`` of their own; otherwise None."""
    mro = t.__mro__
    if mro[-1] is not object or not all(k.__flags__ & _HEAPTYPE for k in mro[:-1]):
        return None
    if t.__getattribute__ is not object.__getattribute__:
        return None
    if any(type(k.__dict__.get("__dict__", _GETSET)) is not types.GetSetDescriptorType for k in mro[:-1]):
        return None
    fields = []
    for name in attribute_names(t):
        # what getattr finds first along the classes: a slot, unless something else shadows it
        found = next((k.__dict__[name] for k in mro if name in k.__dict__), None)
        if type(found) is not types.MemberDescriptorType:
            return None
        fields.append((name, found))
    return tuple(fields)


def _plain_moment(t):
    """A subclass of a date or time class that is told by its value, as the full observation tells it."""
    base = next(b for b in _MOMENTS if issubclass(t, b))
    return all(getattr(t, m) is getattr(base, m) for m in ("isoformat", "__str__", "utcoffset"))


class _Holder:
    pass


_GETSET = vars(_Holder)["__dict__"]


def _classifier(own_types):
    def classify(t):
        try:
            if issubclass(t, enum.Enum):
                return _ENUM, f"{t.__module__}.{t.__qualname__}", None
            label = own_types.get(t)
            if label is not None:
                return _OPAQUE, label, None
            if issubclass(t, RecordTuple):
                return _RECORD, _class_name(t), tuple(t._fields)
            if issubclass(t, _MOMENTS):
                return (_MOMENT if _plain_moment(t) else _SLOW), _class_name(t), None
            fields = _object_fields(t)
            if fields is not None:
                return _OBJECT, _class_name(t), fields
        except Exception:                                          # noqa: BLE001 - a class that will not say: the slow path
            pass
        return _SLOW, "", None
    return classify


class Digester:
    """Digests of one replay's outcomes and state, 8 bytes each.  A call's outcome is read by
    the native walk; what it cannot read (objects of classes it does not know how to read
    soundly) is digested by the call's full observation.  Digests of calls collect in
    ``native`` until ``take()``."""

    def __init__(self, replay, every=STRATEGY_EVERY, native=None, fallback=None):
        """``native``: a native digester to take over (the replay's sink, made before the
        replay); ``fallback``: what it hands the calls it does not take itself to."""
        self.replay = replay
        self.module = replay.module
        self.every = every
        self.fallback = fallback
        self.norm = Normalizer(replay)
        self.slow_calls = 0
        self._for_strategy = self
        self.native = native
        self._fresh()

    def _fresh(self):
        """A walk that knows the replay's own objects, the strategy among them."""
        r = self.replay
        strategy = r.strategy
        own = (r.context, r.config, r.env, strategy)
        own_types = {type(r.context): "<replay context>", type(r.config): "<replay config>",
                     type(r.env): "<replay environment>"}
        if strategy is not None:
            own_types[type(strategy)] = "<a strategy>"
        args = (_classifier(own_types), own, self.module.__dict__, MARKET_DATA, self.every, self.fallback, r,
                strategy)
        if self.native is None:
            self.native = _digest_native.Digester(*args)
        else:
            self.native.__init__(*args)                        # a new walk; the digests not yet taken stay
        self._for_strategy = strategy

    def take(self):
        """The digests of the calls since the last ``take``."""
        return self.native.take()

    def sync(self):
        """Follows the replay to a new strategy (one constructed by a captured ``__init__``)."""
        if self.replay.strategy is not self._for_strategy:
            self._fresh()

    def slow(self, call, events, error, logs, ctx):
        """The digest of a call the hot path did not take: the rarer callbacks (order reports,
        timers, queries), whose orders, accounts and instruments handed on are named, and a call
        that raised; by its full observation where the walk cannot read an object soundly."""
        err = None if error is None else (exception_name(error), safe_str(error))
        m = self.module.__dict__
        env = self.replay.env
        try:
            sources = tuple(m.get(name) for name in _LABELLED_STORES) + (env.accounts, env.data_proxy.known)
            args = tuple(call.args) + tuple(call.kwargs.values())
            if self.native.outcome(call.position, events, err, logs, ctx, args, sources):
                return
        except Exception:                                          # noqa: BLE001 - digested by its full observation
            pass
        self.slow_calls += 1
        obs = self.norm.observe(call, events, error, logs, ctx)
        self.native.add(call.position,
                        pickle.dumps((obs["events"], obs["error"], obs["logs"], obs["context"]), protocol=5))

    def strategy_state(self):
        strategy = self.replay.strategy
        if strategy is None:
            return b"\0" * 8
        if strategy is not self._for_strategy:
            self._fresh()
        d = getattr(strategy, "__dict__", None)
        if type(d) is dict and not attribute_names(type(strategy)):
            try:
                digest = self.native.value(d)
            except Exception:                                      # noqa: BLE001 - digested by its normal form
                digest = None
            if digest is not None:
                return digest
        return _digest_native.digest_bytes(pickle.dumps(self.norm.state()["strategy"], protocol=5))

    def stores_state(self):
        m = self.module.__dict__
        try:
            digest = self.native.value(tuple(m.get(name) for name in STATE_STORES))
        except Exception:                                          # noqa: BLE001 - digested by its normal form
            digest = None
        if digest is not None:
            return digest
        return _digest_native.digest_bytes(pickle.dumps(self.norm.state()["stores"], protocol=5))


def describe_state_difference(a, b):
    """What differs between two normalised states: lines naming the attribute or store."""
    lines = []
    sa, sb = dict((k, v) for k, v in a["strategy"]), dict((k, v) for k, v in b["strategy"])
    for name in list(sa) + [k for k in sb if k not in sa]:
        if name not in sa or name not in sb:
            lines.append(f"strategy attribute {name}: {_short(sa.get(name, ['names', ['(none)']]))}  vs  "
                         f"{_short(sb.get(name, ['names', ['(none)']]))}")
            continue
        d = first_difference(sa[name], sb[name], f"strategy.{name}")
        if d is not None:
            lines.append(f"strategy attribute {name} at {d[0]}: {_short(d[1])}  vs  {_short(d[2])}")
    for name in list(a["stores"]) + [k for k in b["stores"] if k not in a["stores"]]:
        va, vb = a["stores"].get(name), b["stores"].get(name)
        d = first_difference(va, vb, name)
        if d is not None:
            lines.append(f"store {name} at {d[0]}: {_short(d[1])}  vs  {_short(d[2])}")
    return lines
