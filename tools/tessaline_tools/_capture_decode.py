"""Reading the values of a capture back: a file is untrusted input.

What a file may make the reader do is limited to the value kinds of the
format itself:

- a name (module and qualified name) is looked up in a module that is already
  imported, through the namespaces' dictionaries: nothing is imported, no
  module or class hook runs;
- an enumeration member is looked up in its enumeration's member table;
- an object or record is rebuilt as an instance of its own class only when
  that class belongs to the host framework or the SDK and is built without
  running any of its code (``object.__new__``, attributes set through slots or
  the instance dictionary); otherwise it is a stand-in carrying the same
  attributes;
- subclasses of int, float, str and dict, numpy scalars and arrays, arrays and
  decimals are built through the base types' own constructors from values
  checked first; nothing named in a file is ever called;
- values nest at most ``MAX_NESTING`` extension levels deep, and the number
  of stand-in classes a file can create is bounded.

A value that breaks these rules raises ``CaptureValueError`` (or the error of
the base constructor), which the reader reports with the record's offset.
"""
import array
import collections
import datetime as _dt
import decimal
import enum
import sys
import types

import msgpack

from tessaline_tools import _capture_values as cv
from tessaline_tools._capture_values import (NOT_CAPTURED_TEXT, CallbackRef, Frozen, HostObject, Missing, Opaque,
                                             UnresolvedEnum, record_attribute_names)

MAX_NESTING = 32                # extension values inside extension values
MAX_STANDIN_CLASSES = 4096      # distinct class names a reading process turns into stand-ins
MAX_CACHED_NAMES = 65536
# packages whose classes may be rebuilt as themselves (their code is installed, not read from a file)
TRUSTED_PACKAGES = ("corvix", "pyvorn")
NUMPY_KINDS = "biufcmM"         # bool, integers, floats, complex, datetime64, timedelta64

_type_dict = type.__dict__["__dict__"].__get__
_type_module = type.__dict__["__module__"].__get__
_module_dict = types.ModuleType.__dict__["__dict__"].__get__


class CaptureValueError(ValueError):
    """A value in a capture that the format does not allow."""


# ---------------------------------------------------------------- names, without running code

def lookup(module, qualname):
    """``module.qualname`` from an already imported module, through dictionaries only;
    ``None`` when it is not there."""
    if type(module) is not str or type(qualname) is not str:
        return None
    mod = sys.modules.get(module)
    if not isinstance(mod, types.ModuleType):
        return None
    ns = _module_dict(mod)
    obj = None
    for part in qualname.split("."):
        if ns is None:
            return None
        obj = ns.get(part)
        if obj is None:
            return None
        ns = _type_dict(obj) if isinstance(obj, type) else None
    return obj


def _trusted_class(cls):
    if not isinstance(cls, type):
        return False
    module = _type_module(cls)
    return isinstance(module, str) and module.split(".", 1)[0] in TRUSTED_PACKAGES


def _mro_entry(cls, name):
    for klass in cls.__mro__:
        d = _type_dict(klass)
        if name in d:
            return True, d[name]
    return False, None


_SAFE_SETTERS = (types.MemberDescriptorType,)


def _settable_without_code(cls, names):
    """Every name is set on a bare instance without running Python code: a slot, or an
    instance dictionary entry not behind a data descriptor."""
    has_dict = any("__dict__" in _type_dict(k) for k in cls.__mro__ if k is not object)
    for name in names:
        if type(name) is not str or name.startswith("__"):
            return False
        found, d = _mro_entry(cls, name)
        if found and isinstance(d, _SAFE_SETTERS):
            continue
        if found and (hasattr(type(d), "__set__") or hasattr(type(d), "__delete__")):
            return False
        if not has_dict:
            return False
    return True


def buildable(cls, names=()):
    """Whether ``cls`` may be rebuilt as itself with these attribute names."""
    return (_trusted_class(cls) and cls.__new__ is object.__new__ and not issubclass(cls, (enum.Enum, BaseException))
            and type(cls).__call__ is type.__call__ and _settable_without_code(cls, names))


_standins = {}


def standin_class(module, qualname, base=HostObject):
    """A class of our own that names the captured class; bounded in number."""
    if type(module) is not str or type(qualname) is not str:
        raise CaptureValueError("a class name that is not text")
    key = (module, qualname, base)
    cls = _standins.get(key)
    if cls is None:
        if len(_standins) >= MAX_STANDIN_CLASSES:
            raise CaptureValueError(f"more than {MAX_STANDIN_CLASSES} distinct class names")
        name = qualname.rsplit(".", 1)[-1] or "?"
        cls = type(name, (base,), {"__module__": module, "__qualname__": qualname,
                                   "_cls_module": module, "_cls_qualname": qualname})
        _standins[key] = cls
    return cls


# ---------------------------------------------------------------- exceptions of missing attributes

_standin_errors = {}


def exception_of(missing):
    """The exception a missing attribute raised live: a built-in exception type, or a host
    one built without its own code; otherwise an exception class of ours with its name."""
    text = missing.text if type(missing.text) is str else repr(missing.text)
    t = lookup(missing.module, missing.qualname)
    if isinstance(t, type) and issubclass(t, Exception):
        if _type_module(t) == "builtins":
            try:
                return t(text)
            except Exception:                                      # noqa: BLE001 - odd constructor
                pass
        elif _trusted_class(t):
            try:
                return BaseException.__new__(t, text)
            except Exception:                                      # noqa: BLE001
                pass
    key = (missing.module, missing.qualname)
    cls = _standin_errors.get(key)
    if cls is None and type(missing.module) is str and type(missing.qualname) is str \
            and len(_standin_errors) < MAX_STANDIN_CLASSES:
        try:
            cls = type(missing.qualname.rsplit(".", 1)[-1] or "?", (AttributeError,),
                       {"__module__": missing.module, "__qualname__": missing.qualname})
        except (TypeError, ValueError):
            cls = None
        _standin_errors[key] = cls
    return (cls or AttributeError)(text)


# ---------------------------------------------------------------- records and objects

class ReplayRecord:
    """A record rebuilt for a replay when its own class cannot be: the attributes as
    captured; an attribute that was missing raises what it raised then."""

    _cls_module = None
    _cls_qualname = None

    def __getattr__(self, name):
        missing = self.__dict__.get("_missing", {}).get(name)
        if missing is not None:
            raise exception_of(missing)
        raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'")

    def __repr__(self):
        inner = ", ".join(f"{k}={v!r}" for k, v in vars(self).items() if k != "_missing")
        return f"{self._cls_qualname}({inner})"


def _check_attrs(attrs):
    if type(attrs) is not list:
        raise CaptureValueError("object attributes are not a list")
    for a in attrs:
        if type(a) not in (list, tuple) or len(a) != 2 or type(a[0]) is not str:
            raise CaptureValueError("an object attribute is not a (name, value) pair")


def rebuild_object(module, qualname, attrs, record=False):
    """An object of the captured class with the captured attributes, or a stand-in."""
    _check_attrs(attrs)
    cls = lookup(module, qualname)
    missing = [(k, v) for k, v in attrs if type(v) is Missing]
    if not missing and buildable(cls, [k for k, _ in attrs]):
        obj = object.__new__(cls)
        try:
            for k, v in attrs:
                object.__setattr__(obj, k, v)
            return obj
        except (AttributeError, TypeError):
            pass
    if record:
        obj = standin_class(module, qualname, ReplayRecord)()
        obj.__dict__.update((k, v) for k, v in attrs if type(v) is not Missing)
        if missing:
            obj.__dict__["_missing"] = dict(missing)
        return obj
    obj = standin_class(module, qualname)()
    obj.__dict__.update((k, v) for k, v in attrs if not k.startswith("__"))
    return obj


def build_records(module, qualname, names):
    """A function ``values -> record`` for records of one captured shape (``R_SCHEMA``)."""
    if type(names) is not list or any(type(n) is not str for n in names):
        raise CaptureValueError("record attribute names are not a list of text")
    names = tuple(names)
    n = len(names)
    cls = lookup(module, qualname)
    # the record's own class when every attribute it has was captured; else a stand-in of the
    # same name, so that nothing meets a half-filled object of the real class
    if buildable(cls, names) and set(record_attribute_names(cls)) <= set(names):
        new, setter = object.__new__, object.__setattr__
        try:
            probe = new(cls)
            for name in names:
                setter(probe, name, None)
        except (AttributeError, TypeError):
            cls = None
        if cls is not None:
            def build(values, has_missing=False):
                if type(values) is not list or len(values) != n:
                    raise CaptureValueError(f"a record of {n} attributes with {_count(values)} values")
                if has_missing and any(type(v) is Missing for v in values):
                    return rebuild_object(module, qualname, list(zip(names, values)), record=True)
                obj = new(cls)
                for name, v in zip(names, values):
                    setter(obj, name, v)
                return obj
            return build
    standin = standin_class(module, qualname, ReplayRecord)
    fast = record_tuple_class(module, qualname, names)

    def build_standin(values, has_missing=False):
        if fast is not None and not has_missing and type(values) is list and len(values) == n:
            return _tuple_new(fast, values)
        if type(values) is not list or len(values) != n:
            raise CaptureValueError(f"a record of {n} attributes with {_count(values)} values")
        obj = standin()
        d = obj.__dict__
        d.update(zip(names, values))
        if has_missing:
            for k, v in zip(names, values):
                if type(v) is Missing:
                    del d[k]
                    d.setdefault("_missing", {})[k] = v
        return obj
    build_standin.fast = (fast, n) if fast is not None else None
    return build_standin


# ---------------------------------------------------------------- records as tuples

try:
    from _collections import _tuplegetter
except ImportError:                                                # another interpreter: a property does it
    from operator import itemgetter as _itemgetter

    def _tuplegetter(index, doc):
        return property(_itemgetter(index), doc=doc)

_tuple_new = tuple.__new__
_record_tuples = {}


class RecordTuple(tuple):
    """A market-data record standing in for its class: its values in a tuple, each attribute
    read by index.  Built in one step from the captured values (``tuple.__new__``), which is
    what makes a replay of millions of records cheap."""

    __slots__ = ()
    _fields = ()
    _cls_module = None
    _cls_qualname = None

    def __repr__(self):
        inner = ", ".join(f"{k}={v!r}" for k, v in zip(self._fields, self))
        return f"{self._cls_qualname}({inner})"

    def __bool__(self):
        return True                                                # a record, not an empty sequence


def record_tuple_class(module, qualname, names):
    """The tuple stand-in class for records of these attribute names; ``None`` where plain
    identifiers do not name them all."""
    names = tuple(names)
    if not names or any(not n.isidentifier() or n.startswith("_") for n in names) or len(set(names)) != len(names):
        return None
    key = (module, qualname, names)
    cls = _record_tuples.get(key)
    if cls is None:
        if len(_record_tuples) >= MAX_STANDIN_CLASSES:
            raise CaptureValueError(f"more than {MAX_STANDIN_CLASSES} distinct record shapes")
        ns = {n: _tuplegetter(i, None) for i, n in enumerate(names)}
        ns.update(__slots__=(), __module__=module, __qualname__=qualname, _fields=names, _cls_module=module,
                  _cls_qualname=qualname)
        try:
            cls = type(qualname.rsplit(".", 1)[-1] or "?", (RecordTuple,), ns)
        except (TypeError, ValueError):
            return None
        _record_tuples[key] = cls
    return cls


def _count(values):
    return len(values) if type(values) is list else "no list of"


def plain_records(module, qualname, names):
    """``values -> Frozen`` for tools that only look at a capture."""
    if type(names) is not list or any(type(n) is not str for n in names):
        raise CaptureValueError("record attribute names are not a list of text")
    n = len(names)

    def build(values, has_missing=False):
        if type(values) is not list or len(values) != n:
            raise CaptureValueError(f"a record of {n} attributes with {_count(values)} values")
        return Frozen(module, qualname, list(zip(names, values)))
    return build


# ---------------------------------------------------------------- the decoder

def _ints(*values):
    for v in values:
        if type(v) is not int:
            raise CaptureValueError("a date or time field that is not an integer")


def _text(*values):
    for v in values:
        if type(v) is not str:
            raise CaptureValueError("a name that is not text")


class Decoder:
    """Unpacks records, rebuilding the values (``rebuild=False`` keeps the markers:
    ``Frozen`` for objects, for tools that only look).  ``missing_seen`` tells whether any
    ``Missing`` came out since it was last reset (records then need a closer look)."""

    def __init__(self, rebuild=True, max_bytes=1 << 27):
        self.rebuild = rebuild
        self.missing_seen = False
        self.opaque = collections.Counter()        # classes of values kept only by their text
        self._max = max_bytes
        self._depth = 0
        self._enums = {}
        self._enum_raw = {}
        self._np = None
        self._kinds = {
            cv.EXT_ENUM: self._enum, cv.EXT_TUPLE: lambda d: tuple(self._list(d)),
            cv.EXT_BIGINT: self._bigint, cv.EXT_DATETIME: self._datetime, cv.EXT_DATE: self._date,
            cv.EXT_TIME: self._time, cv.EXT_TIMEDELTA: self._timedelta, cv.EXT_OBJECT: self._object,
            cv.EXT_RECORD: self._record, cv.EXT_REPR: self._repr, cv.EXT_MISSING: self._missing,
            cv.EXT_SET: self._set, cv.EXT_SUBCLASS: self._subclass, cv.EXT_DICTSUB: self._dictsub,
            cv.EXT_NPSCALAR: self._npscalar, cv.EXT_CALLBACK: self._callback,
            getattr(cv, "EXT_ARRAY", 17): self._array, getattr(cv, "EXT_NDARRAY", 18): self._ndarray,
            getattr(cv, "EXT_DECIMAL", 19): self._decimal,
        }

    def _limits(self):
        n = self._max
        return dict(raw=False, strict_map_key=False, use_list=True, max_buffer_size=n, max_str_len=n,
                    max_bin_len=n, max_array_len=n, max_map_len=n, max_ext_len=n)

    def unpacker(self):
        return msgpack.Unpacker(ext_hook=self._ext, **self._limits())

    def _sub(self, data):
        if self._depth >= MAX_NESTING:
            raise CaptureValueError(f"values nested more than {MAX_NESTING} levels deep")
        self._depth += 1
        try:
            # the lengths inside are bounded by the data's own length
            return msgpack.unpackb(data, ext_hook=self._ext, raw=False, strict_map_key=False, use_list=True)
        finally:
            self._depth -= 1

    def _list(self, data, n=None):
        v = self._sub(data)
        if type(v) is not list or (n is not None and len(v) != n):
            raise CaptureValueError("an extension value of the wrong shape")
        return v

    def _ext(self, code, data):
        if code == 1:                                              # an enumeration member: seen before, mostly
            member = self._enum_raw.get(data)
            if member is not None:
                return member
        kind = self._kinds.get(code)
        if kind is None:
            return msgpack.ExtType(code, data)                     # a kind from a later writer: kept as it is
        return kind(data)

    def _enum(self, data):
        module, qualname, name = self._list(data, 3)
        _text(module, qualname, name)
        key = (module, qualname, name)
        member = self._enums.get(key)
        if member is None:
            cls = lookup(module, qualname)
            if isinstance(cls, enum.EnumMeta):
                member = type.__getattribute__(cls, "_member_map_").get(name)
            if member is None:
                member = UnresolvedEnum(module, qualname, name)
            if len(self._enums) >= MAX_CACHED_NAMES:
                self._enums.clear()
                self._enum_raw.clear()
            self._enums[key] = member
        self._enum_raw[bytes(data)] = member
        return member

    @staticmethod
    def _bigint(data):
        return int(bytes(data).decode("ascii"))

    def _datetime(self, data):
        y, mo, d, h, mi, s, us, off, fold = self._list(data, 9)
        _ints(y, mo, d, h, mi, s, us, fold)
        if off is None:
            tz = None
        else:
            _ints(off)
            tz = _dt.timezone(_dt.timedelta(microseconds=off))
        return _dt.datetime(y, mo, d, h, mi, s, us, tz, fold=fold)

    def _date(self, data):
        v = self._list(data, 3)
        _ints(*v)
        return _dt.date(*v)

    def _time(self, data):
        v = self._list(data, 4)
        _ints(*v)
        return _dt.time(*v)

    def _timedelta(self, data):
        d, s, us = self._list(data, 3)
        _ints(d, s, us)
        return _dt.timedelta(days=d, seconds=s, microseconds=us)

    def _object(self, data, record=False):
        module, qualname, attrs = self._list(data, 3)
        _text(module, qualname)
        _check_attrs(attrs)
        if not self.rebuild:
            return Frozen(module, qualname, [tuple(a) for a in attrs])
        return rebuild_object(module, qualname, attrs, record=record)

    def _record(self, data):
        return self._object(data, record=True)

    def _repr(self, data):
        module, qualname, text = self._list(data, 3)
        name = f"{module}.{qualname}"
        # the host's nested objects the capture leaves out on purpose are not values it failed to keep
        if text != NOT_CAPTURED_TEXT and (name in self.opaque or len(self.opaque) < 1000):
            self.opaque[name] += 1
        return Opaque(module, qualname, text)

    def _missing(self, data):
        module, qualname, text = self._list(data, 3)
        self.missing_seen = True
        return Missing(module, qualname, text)

    def _set(self, data):
        frozen, items = self._list(data, 2)
        if type(items) is not list:
            raise CaptureValueError("set items are not a list")
        return frozenset(items) if frozen else set(items)

    def _subclass(self, data):
        module, qualname, value = self._list(data, 3)
        base = type(value)
        if base not in (int, float, str):
            raise CaptureValueError("a subclass value that is not an int, float or text")
        cls = lookup(module, qualname)
        if isinstance(cls, type) and issubclass(cls, base) and _trusted_class(cls) \
                and cls.__new__ is base.__new__ and not issubclass(cls, enum.Enum):
            return base.__new__(cls, value)
        return value

    def _dictsub(self, data):
        module, qualname, items = self._list(data, 3)
        if type(items) is not list:
            raise CaptureValueError("dictionary items are not a list")
        cls = lookup(module, qualname)
        out = {}
        if isinstance(cls, type) and issubclass(cls, dict) and _trusted_class(cls) and cls.__new__ is dict.__new__:
            out = dict.__new__(cls)
        for item in items:
            if type(item) is not list or len(item) != 2:
                raise CaptureValueError("a dictionary item that is not a (key, value) pair")
            dict.__setitem__(out, item[0], item[1])
        return out

    def _numpy(self):
        if self._np is None:
            self._np = sys.modules.get("numpy")                    # used when the replay has imported it
        return self._np

    def _dtype(self, np, text):
        if type(text) is not str or len(text) > 32:
            raise CaptureValueError("a numpy type that is not a short text")
        dtype = np.dtype(text)
        if dtype.kind not in NUMPY_KINDS or dtype.shape != () or dtype.fields is not None or dtype.itemsize > 16:
            raise CaptureValueError(f"numpy type {text!r} is not a number, time or duration")
        return dtype

    def _npscalar(self, data):
        text, value = self._list(data, 2)
        np = self._numpy()
        if np is None or type(value) not in (bool, int, float, list, str):
            return value
        try:
            dtype = self._dtype(np, text)
        except (TypeError, ValueError):
            return value
        if type(value) is list:                                    # a complex number as [real, imag]
            if dtype.kind != "c" or len(value) != 2:
                return value
            value = complex(*value)
        return dtype.type(value)

    def _array(self, data):
        typecode, raw = self._list(data, 2)
        if type(typecode) is not str or len(typecode) != 1 or typecode not in array.typecodes \
                or type(raw) is not bytes:
            raise CaptureValueError("an array that is not [typecode, bytes]")
        out = array.array(typecode)
        if len(raw) % out.itemsize:
            raise CaptureValueError("array bytes that are not a whole number of items")
        out.frombytes(raw)
        if sys.byteorder == "big":
            out.byteswap()
        return out

    def _ndarray(self, data):
        text, shape, raw = self._list(data, 3)
        if type(shape) is not list or type(raw) is not bytes or any(type(n) is not int or n < 0 for n in shape) \
                or len(shape) > 32:
            raise CaptureValueError("a numpy array that is not [type, shape, bytes]")
        np = self._numpy()
        if np is None:
            return Opaque("numpy", "ndarray", f"<array {text} {shape}>")
        dtype = self._dtype(np, text)
        count = 1
        for n in shape:
            count *= n
        if count * dtype.itemsize != len(raw):
            raise CaptureValueError("numpy array bytes that do not fill its shape")
        return np.frombuffer(raw, dtype=dtype).reshape(shape).copy()

    def _decimal(self, data):
        # the text itself, or packed as a msgpack string (no character of a number is a str marker)
        text = self._sub(data) if data[:1] >= b"\xa0" else bytes(data).decode("ascii")
        if type(text) is not str:
            raise CaptureValueError("a decimal that is not text")
        return decimal.Decimal(text)

    def _callback(self, data):
        qualname, name = self._list(data, 2)
        return CallbackRef(qualname, name)
