"""Values in a capture: how the objects a strategy callback was given are kept
and given back.

Numbers, strings, bytes, None, lists and dicts are msgpack's own types.  The
rest travel as msgpack extension types:

- enumeration members by their enumeration (module and qualified name) and
  member name, so a replay gets the very member back (``is`` holds);
- tuples, sets, big integers, date-times, dates, times, durations, numpy
  scalars, and subclasses of int, float, str and dict, each kept as itself;
- any other object structurally: its class and its attributes (slots and
  instance dictionary), values kept the same way, to a bounded depth;
- an attribute whose lookup raised, with the exception's type and text, so a
  replayed record raises the same on the same lookup;
- what cannot be taken apart, by its class and ``repr``.

Reading a capture never unpickles, imports or calls anything it names (see
``_capture_decode``); a class it cannot rebuild comes back as a stand-in object
that carries the same attributes (``HostObject``).
"""
import array as _array
import datetime as _dt
import decimal as _decimal
import enum
import sys
import types

import msgpack

EXT_ENUM = 1
EXT_TUPLE = 2
EXT_BIGINT = 3
EXT_DATETIME = 4
EXT_DATE = 5
EXT_TIME = 6
EXT_TIMEDELTA = 7
EXT_OBJECT = 8
EXT_REPR = 9
EXT_MISSING = 10
EXT_SET = 11
EXT_SUBCLASS = 12
EXT_DICTSUB = 13
EXT_NPSCALAR = 14
EXT_CALLBACK = 15
EXT_RECORD = 16
EXT_ARRAY = 17      # array.array: [typecode, bytes in little-endian order]
EXT_NDARRAY = 18    # numpy array: [dtype.str, shape, bytes in C order]
EXT_DECIMAL = 19    # decimal.Decimal: str(value)

MAX_DEPTH = 6

_INT_MIN, _INT_MAX = -(1 << 63), (1 << 64) - 1


# ---------------------------------------------------------------- markers kept in records

class Missing:
    """An attribute whose lookup raised: the exception's type and text."""

    __slots__ = ("module", "qualname", "text")

    def __init__(self, module, qualname, text):
        self.module, self.qualname, self.text = module, qualname, text

    @classmethod
    def of(cls, exc):
        t = type(exc)
        return cls(t.__module__, t.__qualname__, str(exc))

    def exception(self):
        """The exception to raise in a replay: the same type where it can be had safely."""
        from tessaline_tools._capture_decode import exception_of
        return exception_of(self)

    def __eq__(self, other):
        return isinstance(other, Missing) and (self.module, self.qualname, self.text) == (
            other.module, other.qualname, other.text)

    def __hash__(self):
        return hash((self.module, self.qualname, self.text))

    def __repr__(self):
        return f"<missing: {self.qualname}: {self.text}>"


class Frozen:
    """An object taken apart at one moment: class and attributes (values frozen too)."""

    __slots__ = ("module", "qualname", "attrs")

    def __init__(self, module, qualname, attrs):
        self.module, self.qualname, self.attrs = module, qualname, attrs


class Opaque:
    """What could not be taken apart: class and ``repr``."""

    __slots__ = ("module", "qualname", "text")

    def __init__(self, module, qualname, text):
        self.module, self.qualname, self.text = module, qualname, text

    def __eq__(self, other):
        return isinstance(other, Opaque) and (self.module, self.qualname, self.text) == (
            other.module, other.qualname, other.text)

    def __hash__(self):
        return hash((self.module, self.qualname, self.text))

    def __repr__(self):
        return self.text


NOT_CAPTURED_TEXT = "<not captured>"


class NotCaptured(Opaque):
    """A value left out on purpose (the host's nested objects): packed as an ``Opaque``,
    but not counted as a value the capture failed to keep."""

    __slots__ = ()


class CallbackRef:
    """A callable handed to the SDK (a timer callback): its qualified name and name."""

    __slots__ = ("qualname", "name")

    def __init__(self, qualname, name):
        self.qualname, self.name = qualname, name

    @classmethod
    def of(cls, fn):
        name = getattr(fn, "__name__", None) or type(fn).__name__
        return cls(getattr(fn, "__qualname__", name), name)

    def __eq__(self, other):
        return isinstance(other, CallbackRef) and self.name == other.name and self.qualname == other.qualname

    def __hash__(self):
        return hash((self.qualname, self.name))

    def __repr__(self):
        return f"<callback {self.qualname}>"


class BigInt(int):
    """An int beyond 64 bits, marked so the packer keeps it."""


class UnresolvedEnum:
    """An enumeration member whose enumeration cannot be imported here."""

    __slots__ = ("module", "qualname", "name")

    def __init__(self, module, qualname, name):
        self.module, self.qualname, self.name = module, qualname, name

    def __eq__(self, other):
        return isinstance(other, UnresolvedEnum) and (self.module, self.qualname, self.name) == (
            other.module, other.qualname, other.name)

    def __hash__(self):
        return hash((self.module, self.qualname, self.name))

    def __repr__(self):
        return f"{self.qualname}.{self.name}"


class HostObject:
    """Stand-in for an object whose class cannot be rebuilt: the attributes, and
    the two methods the module calls on a host order."""

    _cls_module = None
    _cls_qualname = None

    def set_frozen_cash(self, value):
        self.frozen_cash = value

    def mark_rejected(self, reason):
        self.message = reason
        status = getattr(sys.modules.get("corvix.tarrow.const"), "ORDER_STATUS", None)
        rejected = getattr(status, "REJECTED", None)
        if rejected is not None:
            self.status = rejected

    def __repr__(self):
        inner = ", ".join(f"{k}={v!r}" for k, v in vars(self).items())
        return f"{self._cls_qualname}({inner})"


_standins = {}


def standin_class(module, qualname, base=HostObject):
    key = (module, qualname, base)
    cls = _standins.get(key)
    if cls is None:
        name = qualname.rsplit(".", 1)[-1]
        cls = type(name, (base,), {"__module__": module, "__qualname__": qualname,
                                   "_cls_module": module, "_cls_qualname": qualname})
        _standins[key] = cls
    return cls


# ---------------------------------------------------------------- names

def path_of(t):
    return t.__module__, t.__qualname__


def resolve(module, qualname):
    """The object ``module.qualname`` if its module is already imported; ``None`` otherwise.
    Nothing is imported and no module or class hook runs (a name may come from a file)."""
    from tessaline_tools._capture_decode import lookup
    return lookup(module, qualname)


_attr_cache = {}


def attribute_names(t):
    """Attribute names an instance of ``t`` keeps in slots (all of the MRO)."""
    names = _attr_cache.get(t)
    if names is None:
        seen = []
        for klass in reversed(t.__mro__):
            slots = klass.__dict__.get("__slots__", ())
            if isinstance(slots, str):
                slots = (slots,)
            for s in slots:
                if s in ("__dict__", "__weakref__"):
                    continue
                if s.startswith("__") and not s.endswith("__"):
                    s = f"_{klass.__name__.lstrip('_')}{s}"
                if s not in seen:
                    seen.append(s)
        names = _attr_cache[t] = tuple(seen)
    return names


def record_attribute_names(t):
    """Every public data attribute of a record type: slots, dataclass fields, and
    data descriptors of extension types (an instance dictionary is added per object)."""
    key = ("record", t)
    names = _attr_cache.get(key)
    if names is None:
        seen = [n for n in attribute_names(t) if not n.startswith("_")]
        for f in getattr(t, "__dataclass_fields__", {}) or {}:
            if f not in seen and not f.startswith("_"):
                seen.append(f)
        for n in dir(t):
            if n.startswith("_") or n in seen:
                continue
            d = getattr(t, n, None)
            if isinstance(d, (property, types.GetSetDescriptorType, types.MemberDescriptorType)):
                seen.append(n)
        names = _attr_cache[key] = tuple(seen)
    return names


# ---------------------------------------------------------------- freezing (on the callback's thread)

_IMMUTABLE = (type(None), bool, str, bytes, float, complex, _dt.datetime, _dt.date, _dt.time, _dt.timedelta,
              _decimal.Decimal)


def freeze(value, depth=0, _stack=None):
    """A copy of ``value`` that later changes to the original cannot reach: plain
    containers copied, other objects taken apart into ``Frozen``."""
    t = type(value)
    if t in _IMMUTABLE or isinstance(value, enum.Enum) or t in _MARKERS:
        return value
    if t is int:
        return value if _INT_MIN <= value <= _INT_MAX else BigInt(value)
    if depth > MAX_DEPTH:
        return _opaque(value)
    if _stack is None:
        _stack = set()
    if id(value) in _stack:
        return Opaque(t.__module__, t.__qualname__, "<cycle>")
    _stack.add(id(value))
    try:
        d = depth + 1
        if t is list:
            return [freeze(v, d, _stack) for v in value]
        if t is tuple:
            return tuple(freeze(v, d, _stack) for v in value)
        if t is dict:
            return {freeze(k, d, _stack): freeze(v, d, _stack) for k, v in value.items()}
        if isinstance(value, (set, frozenset)):
            return _SetVal(t is frozenset, [freeze(v, d, _stack) for v in value])
        if isinstance(value, (int, float, str)):
            return value                                           # subclasses are kept by the packer
        if _is_numpy_scalar(value):
            return value
        if t is _array.array:
            return _array.array(value.typecode, value)
        if _is_numpy_array(value):
            return value.copy()
        if isinstance(value, dict):
            return _DictSub(t, [(freeze(k, d, _stack), freeze(v, d, _stack)) for k, v in value.items()])
        return freeze_object(value, d, _stack)
    finally:
        _stack.discard(id(value))


def freeze_object(obj, depth=0, _stack=None, names=None):
    t = type(obj)
    attrs = []
    for name in (names if names is not None else attribute_names(t)):
        try:
            v = getattr(obj, name)
        except Exception as exc:                                   # noqa: BLE001 - kept as missing
            if names is None:
                continue                                           # an unset slot is simply not there
            v = Missing.of(exc)
        attrs.append((name, freeze(v, depth, _stack)))
    inst = getattr(obj, "__dict__", None)
    if isinstance(inst, dict):
        for name, v in list(inst.items()):
            if isinstance(name, str) and (names is None or name not in names):
                attrs.append((name, freeze(v, depth, _stack)))
    if not attrs and names is None and not hasattr(obj, "__dict__") and not attribute_names(t):
        return _opaque(obj)
    return Frozen(t.__module__, t.__qualname__, attrs)


def freeze_record(obj):
    """A record as a callback gets it: every public data attribute, values frozen."""
    return freeze_object(obj, 1, None, record_attribute_names(type(obj)))


def _opaque(value):
    t = type(value)
    try:
        text = repr(value)
    except Exception as exc:                                       # noqa: BLE001 - a broken repr
        text = f"<{t.__qualname__} object; repr raised {type(exc).__name__}>"
    return Opaque(t.__module__, t.__qualname__, text)


_MARKERS = ()          # filled below, once the marker classes exist


class _SetVal:
    __slots__ = ("frozen", "items")

    def __init__(self, frozen, items):
        self.frozen, self.items = frozen, items


class _DictSub:
    __slots__ = ("type", "items")

    def __init__(self, t, items):
        self.type, self.items = t, items


def _is_numpy_scalar(value):
    np = sys.modules.get("numpy")
    return np is not None and isinstance(value, np.generic)


def _is_numpy_array(value):
    np = sys.modules.get("numpy")
    return np is not None and type(value) is np.ndarray


# numpy arrays kept as their bytes: bool, integers, floats, complex, datetime64, timedelta64
_NDARRAY_KINDS = frozenset("biufcMm")


def _little_endian(arr):
    if sys.byteorder == "little" or arr.itemsize == 1:
        return arr.tobytes()
    swapped = _array.array(arr.typecode, arr)
    swapped.byteswap()
    return swapped.tobytes()


# ---------------------------------------------------------------- packing (on the writer's thread)

class Encoder:
    """msgpack packing with the extension types above.  Packing is re-entrant (a value's
    own code may run while it is packed, and reach a capture again) and safe from any
    thread: each call packs with a packer of its own.  ``on_salvage(module, qualname)``
    hears of every value kept only by its class and ``repr``."""

    def __init__(self, on_salvage=None):
        self._enum_cache = {}
        self._on_salvage = on_salvage

    def pack(self, obj):
        try:
            return msgpack.packb(obj, default=self._default, strict_types=True, use_bin_type=True)
        except (OverflowError, ValueError):
            # an int beyond 64 bits somewhere inside: mark it and try again
            return msgpack.packb(_mark_bigints(obj), default=self._default, strict_types=True, use_bin_type=True)

    def pack_value(self, value):
        """One value as a callback was given it, packed now: later changes to it cannot reach the capture."""
        try:
            return self.pack(freeze(value))
        except Exception:                                          # noqa: BLE001 - kept by class and repr
            return self.pack(_opaque(value))

    def pack_record(self, obj):
        """A record whose parts may not all pack: each part that does not is kept by its
        class and ``repr``, so one odd value never costs the rest of the record."""
        try:
            return self.pack(obj)
        except Exception:                                          # noqa: BLE001 - salvaged below
            return self.pack(self._salvage(obj, 0))

    def _salvage(self, v, depth):
        try:
            self.pack(v)
            return v
        except Exception:                                          # noqa: BLE001 - taken apart, or kept by repr
            if depth < 20 and type(v) in (list, tuple):
                return type(v)(self._salvage(x, depth + 1) for x in v)
            if depth < 20 and type(v) is dict:
                return {(k if isinstance(k, (int, str)) else repr(k)): self._salvage(x, depth + 1)
                        for k, x in v.items()}
            return _opaque(v)

    _inner = pack        # the contents of an extension value

    def _default(self, o):
        if isinstance(o, enum.Enum):
            ext = self._enum_cache.get(id(o))
            if ext is None:
                t = type(o)
                ext = msgpack.ExtType(EXT_ENUM, self._inner([t.__module__, t.__qualname__, o.name]))
                self._enum_cache[id(o)] = (ext, o)
                return ext
            return ext[0]
        t = type(o)
        if t is tuple:
            return msgpack.ExtType(EXT_TUPLE, self._inner(list(o)))
        if t is Frozen:
            return msgpack.ExtType(EXT_OBJECT, self._inner([o.module, o.qualname, [list(a) for a in o.attrs]]))
        if t is _RecordSnap:
            return msgpack.ExtType(EXT_RECORD, self._inner([o.module, o.qualname, [list(a) for a in o.attrs]]))
        if t is Missing:
            return msgpack.ExtType(EXT_MISSING, self._inner([o.module, o.qualname, o.text]))
        if t is BigInt or t is int:                 # a plain int reaches here only beyond 64 bits
            return msgpack.ExtType(EXT_BIGINT, str(int(o)).encode())
        if t is _dt.datetime:
            off = o.utcoffset()
            return msgpack.ExtType(EXT_DATETIME, self._inner(
                [o.year, o.month, o.day, o.hour, o.minute, o.second, o.microsecond,
                 None if off is None else off // _dt.timedelta(microseconds=1), o.fold]))
        if t is _dt.date:
            return msgpack.ExtType(EXT_DATE, self._inner([o.year, o.month, o.day]))
        if t is _dt.time:
            return msgpack.ExtType(EXT_TIME, self._inner([o.hour, o.minute, o.second, o.microsecond]))
        if t is _dt.timedelta:
            return msgpack.ExtType(EXT_TIMEDELTA, self._inner([o.days, o.seconds, o.microseconds]))
        if t is CallbackRef:
            return msgpack.ExtType(EXT_CALLBACK, self._inner([o.qualname, o.name]))
        if t is Opaque or t is NotCaptured:
            if t is Opaque and self._on_salvage is not None:
                self._on_salvage(o.module, o.qualname)
            return msgpack.ExtType(EXT_REPR, self._inner([o.module, o.qualname, o.text]))
        if t is _array.array:
            return msgpack.ExtType(EXT_ARRAY, self._inner([o.typecode, _little_endian(o)]))
        if t is _decimal.Decimal:
            return msgpack.ExtType(EXT_DECIMAL, self._inner(str(o)))
        if _is_numpy_array(o):
            if o.dtype.kind in _NDARRAY_KINDS and o.dtype.fields is None and o.dtype.subdtype is None:
                data = o.tobytes(order="C")
                return msgpack.ExtType(EXT_NDARRAY, self._inner([o.dtype.str, list(o.shape), data]))
            return self._default(_opaque(o))
        if t is _SetVal:
            return msgpack.ExtType(EXT_SET, self._inner([o.frozen, o.items]))
        if t is _DictSub:
            return msgpack.ExtType(EXT_DICTSUB, self._inner([o.type.__module__, o.type.__qualname__,
                                                             [list(i) for i in o.items]]))
        if _is_numpy_scalar(o):
            return msgpack.ExtType(EXT_NPSCALAR, self._inner([str(o.dtype), o.item()]))
        if isinstance(o, _dt.datetime):                            # subclasses (a simulated clock's)
            return self._default(_dt.datetime(o.year, o.month, o.day, o.hour, o.minute, o.second,
                                              o.microsecond, o.tzinfo, fold=o.fold))
        if isinstance(o, _dt.date):
            return self._default(_dt.date(o.year, o.month, o.day))
        if isinstance(o, (int, float, str)) and not isinstance(o, bool):
            base = int if isinstance(o, int) else float if isinstance(o, float) else str
            return msgpack.ExtType(EXT_SUBCLASS, self._inner([t.__module__, t.__qualname__, base(o)]))
        if isinstance(o, (set, frozenset)):
            return self._default(_SetVal(isinstance(o, frozenset), list(o)))
        if isinstance(o, dict):
            return self._default(_DictSub(t, list(o.items())))
        if isinstance(o, complex):
            return self._default(Opaque("builtins", "complex", repr(o)))
        if isinstance(o, (bytearray, memoryview)):
            return bytes(o)
        frozen = freeze(o, 1)
        if type(frozen) is type(o):                                # nothing more to take apart
            return self._default(_opaque(o))
        return frozen


class _RecordSnap:
    """A record argument of a rarely called callback, with all its attributes."""

    __slots__ = ("module", "qualname", "attrs")

    def __init__(self, frozen):
        self.module, self.qualname, self.attrs = frozen.module, frozen.qualname, frozen.attrs


_MARKERS = (Missing, CallbackRef, Frozen, Opaque, NotCaptured, _RecordSnap, _SetVal, _DictSub)


def snapshot_record(obj):
    if isinstance(obj, (list, tuple)) or obj is None or type(obj) in _IMMUTABLE or isinstance(obj, (int, float)):
        return freeze(obj)
    return _RecordSnap(freeze_record(obj))


def _mark_bigints(obj):
    t = type(obj)
    if t is int and not _INT_MIN <= obj <= _INT_MAX:
        return BigInt(obj)
    if t is list:
        return [_mark_bigints(v) for v in obj]
    if t is tuple:
        return tuple(_mark_bigints(v) for v in obj)
    if t is dict:
        return {_mark_bigints(k): _mark_bigints(v) for k, v in obj.items()}
    if t in (Frozen, _RecordSnap):
        obj.attrs = [(k, _mark_bigints(v)) for k, v in obj.attrs]
    return obj


# ---------------------------------------------------------------- unpacking (on the reader's side)

# reading lives in its own module, which treats a file as untrusted input
_READING = frozenset({"Decoder", "ReplayRecord", "build_records", "rebuild_object"})


def __getattr__(name):
    if name in _READING:
        from tessaline_tools import _capture_decode
        return getattr(_capture_decode, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
