"""The doctor's probes.  Each runs in a fresh interpreter of its own, started
without the current directory on its module path (``python -P``), through

    main([AREA, ARGUMENTS_JSON, RESULTS_PATH, HOST_DIRECTORY])

and appends one JSON line per check to RESULTS_PATH, flushed at once, so the
checks made before a crash survive it; a ``{"begin": ...}`` line before each
step that runs host or SDK code tells the doctor where a crash happened, and a
``{"done": true}`` line ends a probe that ran to its end.  Host code may print,
exit or start processes: the doctor reads only RESULTS_PATH.
"""
import dataclasses
import importlib
import importlib.machinery
import importlib.metadata
import importlib.util
import inspect
import json
import os
import platform
import sys
import time
import traceback
from datetime import datetime, time as time_of_day

from tessaline_tools import _contract as C

OK, FAIL, UNKNOWN = "ok", "fail", "unknown"

AREA_BUILD = "Interpreter and build"
AREA_MODULE = "Module import (fresh process)"
AREA_HOST = "Host framework (corvix.tarrow)"
AREA_SDK = "Gateway SDK (pyvorn)"
AREA_CONFIG = "Host configuration"
AREA_RECORDS = "SDK records"
AREA_TYPING = "Typing"
AREAS = (AREA_BUILD, AREA_MODULE, AREA_HOST, AREA_SDK, AREA_CONFIG, AREA_RECORDS, AREA_TYPING)

_ARG = object()      # stands for any argument in a signature check


class Reporter:
    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8")
        # set once a dependency the area needs turned out missing altogether: what fails from then on
        # follows from that, and says so
        self.blame = None
        self.unavailable = {}       # a name an import failed to bind -> the cause of that failure, if any

    def _write(self, record):
        self._file.write(json.dumps(record, ensure_ascii=False) + "\n")
        self._file.flush()

    def begin(self, area, what):
        self._write({"begin": what, "area": area})

    def check(self, area, name, status, detail="", cause=None):
        record = {"area": area, "check": name, "status": status, "detail": detail}
        cause = cause or self.blame
        if cause and status != OK:
            record["cause"] = cause
        self._write(record)

    def not_checked(self, area, name, unavailable):
        """A check that needs ``unavailable``, a name an import did not bind."""
        self.check(area, name, UNKNOWN, f"not checked: {unavailable} is not available",
                   cause=self.unavailable.get(unavailable))

    def missing(self, dependency, detail):
        """The host framework or the SDK cannot be imported at all."""
        self._write({"missing": dependency, "detail": detail})

    def done(self):
        """The last line of a probe that ran to its end: without it, the probe is reported as cut short."""
        self._write({"done": True})


# ---------------------------------------------------------------- helpers

_IMPORTLIB_DIR = os.path.dirname(importlib.__file__)


def where(exc):
    """file:line of the innermost frame outside the import machinery and the doctor, or ''."""
    if isinstance(exc, SyntaxError) and exc.filename:
        return f"{exc.filename}:{exc.lineno}"
    frames = [f for f in traceback.extract_tb(exc.__traceback__)
              if not f.filename.startswith(("<frozen", "<string>")) and f.filename != __file__
              and os.path.dirname(f.filename) != _IMPORTLIB_DIR]
    if not frames:
        return ""
    frame = frames[-1]
    return f"{frame.filename}:{frame.lineno}"


DETAIL_LIMIT = 500
_TYPE_NAME = type.__dict__["__name__"]          # a metaclass cannot override these
_TYPE_QUALNAME = type.__dict__["__qualname__"]


def type_name(obj):
    return _TYPE_NAME.__get__(type(obj))


def safe_text(obj, convert=str):
    """str() or repr() of a host object, whatever its methods do, cut to a readable length."""
    try:
        text = convert(obj)
        text = str.__str__(text)                # an exact str, whatever subclass came back
    except BaseException as exc:
        return f"<{convert.__name__}() raised {type_name(exc)}>"
    return text if len(text) <= DETAIL_LIMIT else f"{text[:DETAIL_LIMIT]}… ({len(text)} characters)"


def safe_repr(obj):
    return safe_text(obj, repr)


def class_path(cls):
    """module.QualifiedName of a class, whatever its metaclass does."""
    try:
        module = safe_text(type.__dict__["__module__"].__get__(cls))
    except BaseException:
        module = "?"
    return f"{module}.{_TYPE_QUALNAME.__get__(cls)}"


def describe(exc):
    text = f"{type_name(exc)}: {safe_text(exc)}"
    try:
        place = where(exc)
    except BaseException:
        place = ""
    return f"{text} (raised at {place})" if place else text


class Failure(str):
    """A failure's description; ``cause`` is "host" or "sdk" when a module of theirs is not installed."""
    cause = None
    message = ""


def missing_dependency(exc):
    """"host" or "sdk" when ``exc`` says that a module of the host framework or of the SDK is not installed."""
    if not isinstance(exc, ModuleNotFoundError):
        return None
    try:
        name = exc.name
    except BaseException:
        return None
    if not isinstance(name, str) or name == C.MODULE_NAME:
        return None
    return {"corvix": "host", "pyvorn": "sdk"}.get(name.split(".")[0])


def import_module(name):
    """(module, None) or (None, Failure describing it)."""
    try:
        return importlib.import_module(name), None
    except BaseException as exc:        # a host module may raise anything, SystemExit included
        failure = Failure(describe(exc))
        failure.cause, failure.message = missing_dependency(exc), safe_text(exc)
        return None, failure


def getattr_safe(obj, name):
    """(value, None) or (None, description); an attribute whose lookup raises counts as absent."""
    try:
        return getattr(obj, name), None
    except BaseException as exc:
        if isinstance(exc, AttributeError):
            return None, f"{_label(obj)} has no attribute {name!r}"
        return None, f"reading {_label(obj)}.{name} raised {describe(exc)}"


def has_attr(obj, name):
    return getattr_safe(obj, name)[1] is None


def _label(obj):
    for attr in ("__qualname__", "__name__"):
        try:
            name = getattr(obj, attr, None)
        except BaseException:
            continue
        if isinstance(name, str) and name:
            return str.__str__(name)
    return type_name(obj) + " object"


def signature_of(func):
    """(signature, None) or (None, why it cannot be read)."""
    try:
        return inspect.signature(func), None
    except (ValueError, TypeError) as exc:
        return None, f"signature cannot be introspected ({exc})"


def bind(func, shown, args, kwargs):
    """Checks that ``func`` accepts the call; returns (status, detail)."""
    sig, why = signature_of(func)
    if sig is None:
        return UNKNOWN, why
    try:
        sig.bind(*args, **kwargs)
    except TypeError as exc:
        return FAIL, f"{exc}; its signature is {sig}"
    return OK, f"accepts it: {sig}"


def call_shape(call):
    if call.shown:
        return call.shown
    parts = [f"{call.args} positional"] if call.args else []
    parts += [f"{k}=…" for k in call.kwargs]
    return f"{call.target}({', '.join(parts)})"


def resolve(ns, dotted):
    """Follows ``Name.attr.attr`` from the names in ``ns``; (owner, value, None) or (owner, None, error)."""
    head, *rest = dotted.split(".")
    if head not in ns:
        return None, None, f"not checked: {head} is not available"
    owner, value = None, ns[head]
    for attr in rest:
        owner = value
        value, error = getattr_safe(owner, attr)
        if error:
            return owner, None, error
    return owner, value, None


def check_call(rep, area, ns, call):
    shown = call_shape(call)
    args = [_ARG] * call.args
    kwargs = {k: _ARG for k in call.kwargs}
    rep.begin(area, shown)
    owner, func, error = resolve(ns, call.target)
    if error and error.startswith("not checked"):
        rep.not_checked(area, shown, call.target.split(".")[0])
        return
    if error:
        rep.check(area, shown, FAIL, error)
        return
    if call.on == "instance" and isinstance(owner, type):
        # called on an instance: find out how the class provides it
        attr = call.target.rsplit(".", 1)[-1]
        try:
            raw = inspect.getattr_static(owner, attr)
        except AttributeError:
            raw = None
        if isinstance(raw, (classmethod, staticmethod)):
            pass
        elif inspect.isfunction(raw) or inspect.ismethoddescriptor(raw) or inspect.isbuiltin(raw):
            args = [_ARG] + args
        else:
            rep.check(area, shown, UNKNOWN, f"{_label(owner)}.{attr} is a {type_name(raw)}, not a method; "
                                            "cannot check the call without an instance")
            return
    if not callable(func):
        rep.check(area, shown, FAIL, f"{call.target} is not callable (a {type_name(func)})")
        return
    status, detail = bind(func, shown, args, kwargs)
    rep.check(area, shown, status, detail)


def names_text(names, limit=6):
    names = list(names)
    if len(names) <= limit:
        return ", ".join(names)
    return ", ".join(names[:limit]) + f", … ({len(names)} in all)"


def check_members(rep, area, ns, enum_name, members, label=None):
    label = label or f"{enum_name} members"
    if enum_name not in ns:
        rep.not_checked(area, label, enum_name)
        return
    obj = ns[enum_name]
    missing = [m for m in members if not has_attr(obj, m)]
    if missing:
        rep.check(area, label, FAIL, f"missing: {', '.join(f'{enum_name}.{m}' for m in missing)}")
    else:
        rep.check(area, label, OK, names_text(members))


def import_statement(imp):
    """Runs one of the module body's import statements; (bound names dict, None) or (partial, error)."""
    mod, error = import_module(imp.module)
    if error:
        return {}, error
    bound = {}
    if imp.kind == "import":
        bound[imp.names[0][1]] = mod
        return bound, None
    if imp.kind == "star":
        exported, error = public_names(mod)
        if error:
            return bound, error
        for name in exported:
            value, error = getattr_safe(mod, name)
            if error:
                return bound, f"{imp.module}.__all__ lists {name!r}, which the module does not define"
            bound[name] = value
        return bound, None
    missing = []
    for src, alias in imp.names:
        value, error = getattr_safe(mod, src)
        if error:
            # from-import falls back to a submodule of that name
            sub, _ = import_module(f"{imp.module}.{src}") if hasattr(mod, "__path__") else (None, None)
            if sub is None:
                missing.append(repr(src))
                continue
            value = sub
        bound[alias] = value
    if missing:
        return bound, f"{imp.module} has no name {', '.join(missing)}"
    return bound, None


def public_names(mod):
    """What ``from mod import *`` binds: ``__all__`` when it has one, else the names not starting with _."""
    all_names, error = getattr_safe(mod, "__all__")
    if error is None:
        try:
            return [str(n) for n in all_names], None
        except BaseException as exc:
            return [], f"{mod.__name__}.__all__ is not a sequence of names: {describe(exc)}"
    return [n for n in vars(mod) if not n.startswith("_")], None


def has_all(mod):
    return has_attr(mod, "__all__")


# ---------------------------------------------------------------- interpreter and build

def probe_build(rep, _args):
    impl, version = platform.python_implementation(), sys.version_info
    text = f"{impl} {platform.python_version()} at {sys.executable}"
    ok = impl == "CPython" and tuple(version[:2]) == C.REQUIRED_PYTHON
    rep.check(AREA_BUILD, "CPython 3.11", OK if ok else FAIL,
              text if ok else f"{text}: the module is built for CPython 3.11 only")

    np_mod, error = import_module("numpy")
    rep.check(AREA_BUILD, "numpy", FAIL if error else OK,
              error or f"numpy {getattr(np_mod, '__version__', '?')} at {os.path.dirname(np_mod.__file__)}")
    rb_mod, error = import_module("numpy_ringbuffer")
    if error:
        rep.check(AREA_BUILD, "numpy_ringbuffer", FAIL, error)
        rep.check(AREA_BUILD, "RingBuffer(capacity=…, dtype=object)", UNKNOWN, "not checked: no numpy_ringbuffer")
    else:
        rep.check(AREA_BUILD, "numpy_ringbuffer", OK,
                  f"numpy_ringbuffer {distribution_version('numpy_ringbuffer', 'numpy-ringbuffer')} "
                  f"at {os.path.dirname(rb_mod.__file__)}")
        check_ring_buffer(rep, rb_mod)
    check_typing(rep)


def distribution_version(*names):
    for name in names:
        try:
            return importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            continue
    return "(version unknown)"


def check_ring_buffer(rep, rb_mod):
    name = "RingBuffer(capacity=…, dtype=object) holds any object, drops the oldest when full"
    rep.begin(AREA_BUILD, name)
    try:
        ring = rb_mod.RingBuffer(capacity=3, dtype=object)
        items = [object(), {"k": 1}, (1, 2), [3, 4], None]
        for item in items:
            ring.append(item)
        held = [ring[i] for i in range(len(ring))]
    except BaseException as exc:
        rep.check(AREA_BUILD, name, FAIL, describe(exc))
        return
    if len(held) == 3 and all(a is b for a, b in zip(held, items[2:])):
        rep.check(AREA_BUILD, name, OK, "5 objects appended to a buffer of 3: the last 3 kept, unchanged")
    else:
        rep.check(AREA_BUILD, name, FAIL, f"after appending 5 objects to a buffer of 3 it holds {safe_repr(held)}, "
                                          f"expected the last 3 of {safe_repr(items)}")


def check_typing(rep):
    found = [d for d in sys.path if d and os.path.isfile(os.path.join(d, *C.STUB_FILE))]
    name = "stub package for type checkers"
    if not found:
        rep.check(AREA_TYPING, name, UNKNOWN,
                  f"{'/'.join(C.STUB_FILE)} is not installed: mypy and pyright see no types for the module "
                  f"(pip install the tessaline-stubs distribution)")
        return
    root = os.path.join(found[0], C.STUB_PACKAGE)
    try:
        with open(os.path.join(root, "py.typed"), encoding="utf-8") as f:
            marker = f.read().strip()
    except OSError:
        marker = None
    if marker != "partial":
        rep.check(AREA_TYPING, name, FAIL, f"{root}: py.typed must say 'partial', or type checkers stop "
                                           f"seeing the host's own modules")
        return
    rep.check(AREA_TYPING, name, OK, f"{os.path.join(found[0], *C.STUB_FILE)} (partial stub package)")


# ---------------------------------------------------------------- the module itself

def probe_module(rep, _args):
    rep.begin(AREA_BUILD, "module file")
    try:
        spec = importlib.util.find_spec(C.MODULE_NAME)
    except BaseException as exc:
        spec = None
        rep.check(AREA_BUILD, "module file", FAIL, f"looking for {C.MODULE_NAME} imported its packages, "
                                                   f"which raised {describe(exc)}")
    else:
        check_module_file(rep, spec)

    rep.begin(AREA_MODULE, f"import {C.MODULE_NAME}")
    started = time.perf_counter()
    try:
        module = importlib.import_module(C.MODULE_NAME)
    except BaseException as exc:
        rep.check(AREA_MODULE, f"import {C.MODULE_NAME}", FAIL, describe(exc), cause=missing_dependency(exc))
        if not (isinstance(exc, ModuleNotFoundError) and getattr_safe(exc, "name")[0] == C.MODULE_NAME):
            locate_import_failure(rep)
        return
    elapsed = (time.perf_counter() - started) * 1000
    rep.check(AREA_MODULE, f"import {C.MODULE_NAME}", OK, f"imported in {elapsed:.0f} ms")
    check_module_globals(rep, vars(module))


def check_module_file(rep, spec):
    if spec is None or not spec.origin:
        package = sys.modules.get(C.MODULE_PACKAGE)
        dirs = ", ".join(getattr(package, "__path__", None) or ["(not importable)"])
        detail = f"no {C.MODULE_NAME}: {C.MODULE_PACKAGE} is {dirs}, which holds no tessaline extension"
        elsewhere = installed_extensions()
        if elsewhere:
            detail += f"; the tessaline distribution installed it at {elsewhere[0]}, outside the host's package " \
                      f"(install the module into the environment the host's corvix is installed in)"
        else:
            detail += "; the tessaline distribution is not installed here"
        rep.check(AREA_BUILD, "module file", FAIL, detail)
        return
    origin = spec.origin
    if not isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
        rep.check(AREA_BUILD, "module file", FAIL,
                  f"{origin} is not the compiled extension (loader {type_name(spec.loader)})")
        return
    package = sys.modules.get(C.MODULE_PACKAGE)
    where_ = os.path.abspath(os.path.dirname(origin))
    in_package = package is not None and where_ in [os.path.abspath(p) for p in getattr(package, "__path__", [])]
    detail = f"{origin}, tessaline {distribution_version('tessaline')}"
    if not in_package:
        rep.check(AREA_BUILD, "module file", FAIL, f"{detail}: not in the {C.MODULE_PACKAGE} package directory")
        return
    rep.check(AREA_BUILD, "module file", OK, f"{detail}, in the {C.MODULE_PACKAGE} package of "
                                             f"{os.path.dirname(os.path.dirname(os.path.dirname(where_)))}")


def installed_extensions():
    """Where the tessaline distribution put its extension, if it is installed."""
    try:
        files = importlib.metadata.files("tessaline") or []
    except importlib.metadata.PackageNotFoundError:
        return []
    return [str(f.locate()) for f in files if f.name.startswith("tessaline.") and f.name.endswith(".so")]


def locate_import_failure(rep):
    """Runs the module body's import statements one by one and names the first that fails."""
    for imp in C.IMPORTS:
        rep.begin(AREA_MODULE, f"statement {imp.number}")
        _, error = import_statement(imp)
        if error:
            rep.check(AREA_MODULE, f"failing statement {imp.number}: {C.statement_text(imp)}", FAIL, error,
                      cause=getattr(error, "cause", None))
            return
    rep.check(AREA_MODULE, "failing statement", UNKNOWN,
              "each import statement succeeds on its own: the failure came from creating the module state "
              "or the VornStrategy class (see the Gateway SDK checks)")


def check_module_globals(rep, g):
    area = AREA_MODULE
    problems = []
    for imp in C.IMPORTS:
        if imp.kind == "star":
            continue
        source = sys.modules.get(imp.module)
        for src, bound in imp.names:
            if bound not in g:
                problems.append(f"{bound} (statement {imp.number}) is not bound")
            elif source is not None and (g[bound] is not source if src is None
                                         else getattr(source, src, _ARG) is not g[bound]):
                problems.append(f"{bound} is not {imp.module}{'' if src is None else '.' + src}")
    count = sum(len(i.names) for i in C.IMPORTS if i.kind != "star")
    rep.check(area, f"names bound by the import statements 1–21 ({count})", FAIL if problems else OK,
              "; ".join(problems) or "each bound to the host's or library's own object")

    star = C.IMPORTS[-1]
    enums = sys.modules.get(star.module)
    missing = [n for _, n in star.names if n not in g]
    if missing:
        via = "not in pyvorn.enums.__all__" if enums is not None and has_all(enums) else \
            "not defined by pyvorn.enums"
        rep.check(area, f"names bound by {C.statement_text(star)}", FAIL,
                  f"{', '.join(missing)} not bound ({via}): the first callback that uses it raises NameError")
    else:
        rep.check(area, f"names bound by {C.statement_text(star)}", OK, ", ".join(n for _, n in star.names))

    problems = [f"{n} is bound" for n in C.UNBOUND_NAMES if n in g]
    if g.get("time") is not time_of_day:
        problems.append(f"time is {safe_repr(g.get('time'))}, not the datetime.time class")
    rep.check(area, "RB bound, RingBuffer not bound, time is datetime.time", FAIL if problems else OK,
              "; ".join(problems))

    problems = []
    for name in C.STATE_DICTS:
        value = g.get(name, _ARG)
        if value is _ARG:
            problems.append(f"{name} is not bound")
        elif type(value) is not dict or value:
            problems.append(f"{name} is {type_name(value)} {safe_repr(value)}, expected an empty dict")
    queue = g.get("event_queue", _ARG)
    if queue is _ARG:
        problems.append("event_queue is not bound")
    else:
        rb = g.get("RB")
        try:
            shape = (type(queue) is rb, queue.maxlen, str(queue.dtype), len(queue))
        except BaseException as exc:
            problems.append(f"event_queue: {describe(exc)}")
        else:
            if shape != (True, C.EVENT_QUEUE_CAPACITY, "object", 0):
                problems.append(f"event_queue is {type_name(queue)} of capacity {shape[1]}, dtype {shape[2]}, "
                                f"{shape[3]} elements; expected an empty RB of capacity "
                                f"{C.EVENT_QUEUE_CAPACITY}, dtype object")
    rep.check(area, "module state: event_queue and the seven dictionaries", FAIL if problems else OK,
              "; ".join(problems) or f"event_queue RingBuffer(capacity={C.EVENT_QUEUE_CAPACITY}, dtype=object), "
                                      f"{', '.join(C.STATE_DICTS)} empty")

    problems = []
    for name, params in C.FUNCTIONS:
        problems += shape_problems(g.get(name), name, name, params)
    rep.check(area, "query functions", FAIL if problems else OK,
              "; ".join(problems) or ", ".join(f"{n}({', '.join(p)})" for n, p in C.FUNCTIONS))

    cls = g.get("VornStrategy")
    base = getattr(g.get("strategy"), C.SDK_BASE_CLASS, None)
    if not isinstance(cls, type):
        rep.check(area, "class VornStrategy", FAIL, "VornStrategy is not bound to a class")
        return
    problems = []
    if len(cls.__mro__) < 2 or cls.__mro__[1] is not base:
        problems.append(f"its base is {cls.__mro__[1:2]}, not strategy.VornStrategy")
    if base is not None and type(cls) is not type(base):
        problems.append(f"its metaclass is {type_name(cls)}, not the base's {type_name(base)}")
    order = [n for n in cls.__dict__ if n in dict(C.METHODS)]
    if order != [n for n, _ in C.METHODS]:
        absent = [n for n, _ in C.METHODS if n not in cls.__dict__]
        problems.append(f"missing methods: {', '.join(absent)}" if absent else "methods not in definition order")
    for name, params in C.METHODS:
        if name in cls.__dict__:
            problems += shape_problems(cls.__dict__[name], name, f"VornStrategy.{name}", params)
    rep.check(area, "class VornStrategy", FAIL if problems else OK,
              "; ".join(problems) or f"derives from strategy.VornStrategy, {len(C.METHODS)} methods")


def shape_problems(func, name, qualname, params):
    if func is None:
        return [f"{name} is not bound"]
    problems = []
    sig, why = signature_of(func)
    if sig is None:
        problems.append(f"{name}: {why}")
    elif tuple(sig.parameters) != params:
        problems.append(f"{name}{sig}, expected ({', '.join(params)})")
    if getattr(func, "__qualname__", None) != qualname:
        problems.append(f"{name}.__qualname__ is {safe_repr(getattr(func, '__qualname__', None))}")
    if getattr(func, "__module__", None) != C.MODULE_NAME:
        problems.append(f"{name}.__module__ is {safe_repr(getattr(func, '__module__', None))}")
    return problems


# ---------------------------------------------------------------- the host framework

def probe_host(rep, _args):
    area = AREA_HOST
    ns = {}
    errors = []
    for imp in C.HOST_IMPORTS:
        text = C.statement_text(imp)
        rep.begin(area, text)
        bound, error = import_statement(imp)
        ns.update(bound)
        errors.append(error)
        cause = getattr(error, "cause", None)
        rep.check(area, text, FAIL if error else OK, error or "", cause=cause)
        rep.unavailable.update((alias, cause) for _, alias in imp.names if alias not in bound)
    blame_if_missing(rep, "host", errors)

    for enum_name, members in C.HOST_ENUMS:
        check_members(rep, area, ns, enum_name, members, f"{enum_name} members the callbacks read")

    event_cls = ns.get("Event")
    for members, keywords in C.EVENT_FORMS:
        fields = ", ".join(f"{k}=…" for k in keywords)
        shown = f"Event(EVENT.{members[0]}, {fields})"
        if len(members) > 1:
            shown += f"  [also {', '.join(members[1:])}]"
        if event_cls is None:
            rep.not_checked(area, shown, "Event")
            continue
        first, _ = getattr_safe(ns.get("EVENT"), members[0]) if "EVENT" in ns else (None, None)
        status, detail = bind(event_cls, shown, [first if first is not None else _ARG],
                              {k: _ARG for k in keywords})
        rep.check(area, shown, status, "" if status == OK else detail)

    for call in C.HOST_CALLS:
        check_call(rep, area, ns, call)
    check_environment(rep, ns)


def blame_if_missing(rep, dependency, errors):
    """When every import an area needs failed for a module of the host or the SDK that is not installed,
    what the area then finds follows from that; if it is the area's own dependency, it is missing altogether."""
    causes = [getattr(error, "cause", None) for error in errors]
    if not errors or not all(causes):
        return
    if set(causes) == {dependency}:
        rep.missing(dependency, errors[0].message)
    rep.blame = causes[0]


def check_environment(rep, ns):
    area = AREA_HOST
    env_cls = ns.get("Environment")
    if env_cls is None:
        for call in C.ENVIRONMENT_CALLS:
            rep.not_checked(area, call_shape(call), "Environment")
        return
    rep.begin(area, "Environment.get_instance()")
    instance, note = None, ""
    try:
        instance = env_cls.get_instance()
    except BaseException as exc:
        note = f"Environment.get_instance() raised {describe(exc)} in this process"
    else:
        if instance is None:
            note = "Environment.get_instance() gives None until the host sets up its environment"
    if instance is not None:
        ns = {"environment": instance}
        for call in C.ENVIRONMENT_CALLS:
            check_call(rep, area, ns, call._replace(target="environment." + call.target, on="class"))
        return
    # no environment in this process: check what the class itself declares
    for call in C.ENVIRONMENT_CALLS:
        if "." in call.target:
            rep.check(area, call_shape(call), UNKNOWN, f"{note}: {call.target} cannot be checked on the class")
        else:
            check_call(rep, area, {"Environment": env_cls}, call._replace(target="Environment." + call.target))


# ---------------------------------------------------------------- the SDK

def probe_sdk(rep, _args):
    area = AREA_SDK
    rep.begin(area, f"import {C.SDK_STRATEGY_MODULE}")
    strategy, error = import_module(C.SDK_STRATEGY_MODULE)
    rep.begin(area, f"import {C.SDK_ENUMS_MODULE}")
    enums, enums_error = import_module(C.SDK_ENUMS_MODULE)
    blame_if_missing(rep, "sdk", [error, enums_error])
    if error:
        rep.check(area, f"import {C.SDK_STRATEGY_MODULE}", FAIL, error, cause=error.cause)
    else:
        base, error = getattr_safe(strategy, C.SDK_BASE_CLASS)
        if error or not isinstance(base, type):
            rep.check(area, f"{C.SDK_STRATEGY_MODULE}.{C.SDK_BASE_CLASS}", FAIL,
                      error or f"{C.SDK_BASE_CLASS} is a {type_name(base)}, not a class")
        else:
            rep.check(area, f"{C.SDK_STRATEGY_MODULE}.{C.SDK_BASE_CLASS}", OK,
                      f"a class, metaclass {class_path(type(base))}")
            check_subclass(rep, base)
            check_callbacks(rep, base)
    rep.check(area, "context operations", UNKNOWN,
              f"{', '.join(C.CONTEXT_OPERATIONS)}: not checked, the SDK creates the context only when it "
              f"starts the strategy")

    if enums_error:
        rep.check(area, f"import {C.SDK_ENUMS_MODULE}", FAIL, enums_error, cause=enums_error.cause)
        return
    exported, error = public_names(enums)
    via = "__all__" if has_all(enums) else "its public names (no __all__)"
    star_names = [name for name, _, star in C.SDK_ENUMS if star]
    label = f"from {C.SDK_ENUMS_MODULE} import * binds {', '.join(star_names)}"
    broken = [n for n in exported if not has_attr(enums, n)]
    not_exported = [n for n in star_names if n not in exported]
    if error:
        rep.check(area, label, FAIL, error)
    elif broken:
        rep.check(area, label, FAIL, f"__all__ lists {', '.join(broken)}, which pyvorn.enums does not define: "
                                     f"the star import raises AttributeError and the module does not import")
    elif not_exported:
        rep.check(area, label, FAIL, f"{', '.join(not_exported)} not exported through {via}: the module imports, "
                                     f"then the first callback that uses it raises NameError")
    else:
        rep.check(area, label, OK, f"exported through {via}")
    ns = {name: getattr(enums, name) for name, _, _ in C.SDK_ENUMS if has_attr(enums, name)}
    for name, members, star in C.SDK_ENUMS:
        label = f"{name} members" + ("" if star else f" (from {C.SDK_ENUMS_MODULE} import {name})")
        if name not in ns:
            rep.check(area, label, FAIL, f"{C.SDK_ENUMS_MODULE} has no {name}")
        else:
            check_members(rep, area, ns, name, members, label)


def _subclass_source():
    lines = ["class VornStrategy(base):",
             "    def __init__(self, config):",
             "        super().__init__()",
             "        _progress['base initialised'] = True",
             "        self.logged_in = False",
             "        self.order_num = 0",
             "        self.bar_cnt = 0",
             "        self.current_trade_dt = 0",
             "        self.first_dt = datetime.now().date()",
             "        self.config = config"]
    for name, params in C.METHODS[1:]:
        lines += [f"    def {name}({', '.join(params)}):", "        return None"]
    return "\n".join(lines) + "\n"


def check_subclass(rep, base):
    area = AREA_SDK
    name = "subclass VornStrategy(strategy.VornStrategy) with the module's methods"
    rep.begin(area, name)
    progress = {}
    namespace = {"base": base, "datetime": datetime, "_progress": progress, "__name__": C.MODULE_NAME}
    try:
        exec(_subclass_source(), namespace)
        cls = namespace["VornStrategy"]
    except BaseException as exc:
        rep.check(area, name, FAIL, f"class creation raised {describe(exc)}")
        return
    rep.check(area, name, OK, f"created by the base's metaclass {type_name(base)}")

    init = "base initialiser takes no arguments: super().__init__()"
    status, detail = bind(base.__init__, init, [_ARG], {})
    rep.check(area, init, status, "" if status == OK else detail)
    if status == FAIL:
        return
    name = "VornStrategy(config) constructs and keeps its attributes"
    rep.begin(area, name)
    try:
        obj = cls(config=None)
        values = (obj.logged_in, obj.order_num, obj.bar_cnt, obj.current_trade_dt, obj.config)
    except BaseException as exc:
        if progress:
            rep.check(area, name, FAIL, f"after the base initialiser, setting the strategy's attributes raised "
                                        f"{describe(exc)}")
        else:
            rep.check(area, name, UNKNOWN, f"outside a running SDK the base initialiser raised {describe(exc)}")
        return
    if values != (False, 0, 0, 0, None):
        rep.check(area, name, FAIL, f"the base class changed the attributes set by __init__: {safe_repr(values)}")
    else:
        rep.check(area, name, OK, "logged_in, order_num, bar_cnt, current_trade_dt, first_dt, config")


def check_callbacks(rep, base):
    area = AREA_SDK
    mismatches, unknown = [], []
    for name, params in C.SDK_CALLBACKS:
        raw = next((k.__dict__[name] for k in base.__mro__ if k is not object and name in k.__dict__), None)
        if raw is None:
            unknown.append(f"{name} is not defined by the base class")
            continue
        sig, why = signature_of(raw)
        if sig is None:
            unknown.append(f"{name}: {why}")
            continue
        theirs = tuple(sig.parameters)
        positional = [p for p in sig.parameters.values()
                      if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
        variadic = any(p.kind == p.VAR_POSITIONAL for p in sig.parameters.values())
        if len(positional) != len(params) and not variadic:
            mismatches.append(f"the SDK declares {name}{sig}, the module's method takes ({', '.join(params)})")
        elif theirs != params and not variadic:
            unknown.append(f"the SDK names the parameters of {name}{sig}; the module's are "
                           f"({', '.join(params)}): fine when the SDK passes them by position")
    label = f"SDK callbacks ({len(C.SDK_CALLBACKS)}) take the module's parameters"
    if mismatches:
        rep.check(area, label, FAIL, "; ".join(mismatches))
    elif unknown:
        rep.check(area, label, UNKNOWN, "; ".join(unknown))
    else:
        rep.check(area, label, OK, "the base class declares each with the same parameters")


# ---------------------------------------------------------------- host configuration

def probe_config(rep, args):
    area = AREA_CONFIG
    module_name, attribute = args["module"], args["attribute"]
    label = f"configuration {module_name}:{attribute}"
    rep.begin(area, label)
    module, error = import_module(module_name)
    if error:
        rep.check(area, label, FAIL, f"import {module_name}: {error}", cause=error.cause)
        return
    config = module
    for part in attribute.split("."):
        config, error = getattr_safe(config, part)
        if error:
            rep.check(area, label, FAIL, error)
            return
    rep.check(area, label, OK, f"a {class_path(type(config))}")
    base, error = getattr_safe(config, "base")
    if error:
        rep.check(area, "config.base", FAIL, error)
        return
    values = {}
    for field, required, reader in C.CONFIG_FIELDS:
        value, error = getattr_safe(base, field)
        if error:
            rep.check(area, f"config.base.{field}", FAIL if required else OK,
                      f"{error}: {reader} needs it" if required else "absent")
        else:
            values[field] = value
    if "md_type" in values:
        selected = "VoMD" if _equals(values["md_type"], C.MD_TYPE_SELECTOR) else "XMD"
        rep.check(area, "config.base.md_type", OK, f"{safe_repr(values['md_type'])}: MDType.{selected} is registered")
    if "order_way" in values:
        rep.check(area, "config.base.order_way", OK, f"{safe_repr(values['order_way'])}, passed to set_order_way")
    if "accounts" in values:
        check_accounts(rep, values["accounts"])
    if "algo_account" in values:
        check_algo_account(rep, values["algo_account"])
    if "trading_calendar" in values:
        check_calendar(rep, values["trading_calendar"])


def _equals(a, b):
    try:
        return bool(a == b)
    except BaseException:
        return False


def _split_two(value):
    """(first, second, None) or (None, None, why)."""
    if not isinstance(value, str):
        return None, None, f"{safe_repr(value)} is not a str"
    parts = value.split("_")
    if len(parts) != 2:
        return None, None, f"{safe_repr(value)} splits into {len(parts)} fields on '_', not exactly 2"
    return parts[0], parts[1], None


def check_accounts(rep, accounts):
    area, label = AREA_CONFIG, "config.base.accounts"
    try:
        items = list(accounts.items())
    except BaseException as exc:
        rep.check(area, label, FAIL, f"initialize calls accounts.items(): {describe(exc)}")
        return
    if not items:
        rep.check(area, label, OK, "empty: no trading broker is registered")
        return
    trade_func, _ = import_module("corvix.tarrow.utils.trade_func")
    get_vorn_tdtype = getattr(trade_func, "get_vorn_tdtype", None)
    problems, registered = [], []
    for key, cash in items:
        _, dest, why = _split_two(cash)
        if why:
            problems.append(f"{safe_repr(key)}: {why}")
            continue
        if get_vorn_tdtype is None:
            registered.append(f"{safe_repr(key)} → gateway {dest.upper()}")
            continue
        try:
            registered.append(f"{safe_repr(key)} → {safe_repr(get_vorn_tdtype(dest.upper()))}")
        except BaseException as exc:
            problems.append(f"{safe_repr(key)}: get_vorn_tdtype({dest.upper()!r}) raised {describe(exc)}")
    if problems:
        rep.check(area, label, FAIL, "; ".join(problems))
    else:
        rep.check(area, label, OK, "; ".join(registered))


def check_algo_account(rep, value):
    area, label = AREA_CONFIG, "config.base.algo_account"
    if value is None:
        rep.check(area, label, OK, "None: no algorithmic-order broker")
        return
    _, dest, why = _split_two(value)
    if why:
        rep.check(area, label, FAIL, why)
    elif dest.upper() == C.ALGO_GATEWAY:
        rep.check(area, label, OK, f"{safe_repr(value)}: AlgoType.XTA is registered")
    else:
        rep.check(area, label, OK, f"{safe_repr(value)}: gateway {dest!r} is not {C.ALGO_GATEWAY}, so no algorithmic-order "
                                   f"broker is registered")


def check_calendar(rep, calendar):
    area, label = AREA_CONFIG, "config.base.trading_calendar"
    np_mod, error = import_module("numpy")
    if error:
        rep.check(area, label, UNKNOWN, f"not checked: {error}")
        return
    rep.begin(area, label)
    try:
        today = np_mod.datetime64("today", "D")
        trading = today in calendar
        format(calendar)
    except BaseException as exc:
        rep.check(area, label, FAIL, f"the clock tests numpy.datetime64 day in trading_calendar: {describe(exc)}")
        return
    rep.check(area, label, OK, f"answers 'in' for a numpy day: today ({today}) is "
                               f"{'a trading day' if trading else 'not a trading day'}")


# ---------------------------------------------------------------- SDK records

def probe_records(rep, args):
    area = AREA_RECORDS
    default_module = args["module"]
    overrides = args["overrides"]
    modules = {}
    for record in C.RECORDS:
        spec = overrides.get(record.param, overrides.get(record.callback))
        if spec == "-":
            continue
        module_name, class_name = (spec.split(":", 1) if spec and ":" in spec
                                   else (default_module, spec or record.default_class))
        label = f"{record.callback}({record.param}): {module_name}.{class_name}"
        rep.begin(area, label)
        if module_name not in modules:
            modules[module_name], error = import_module(module_name)
            if error:
                hint = " (name the SDK's records module with --records MODULE)" \
                    if module_name == default_module else ""
                rep.check(area, f"import {module_name}", FAIL, error + hint, cause=error.cause)
        module = modules[module_name]
        if module is None:
            continue
        cls, error = getattr_safe(module, class_name)
        if error:
            rep.check(area, label, FAIL, f"{error} (name the class with --record {record.param}=NAME)")
            continue
        known, complete = record_attributes(cls)
        missing = [a for a in record.attributes if a not in known]
        if not missing:
            rep.check(area, label, OK, f"declares every attribute the callback reads ({len(record.attributes)})")
        elif complete:
            rep.check(area, label, FAIL, f"no attribute {', '.join(missing)}: the callback raises AttributeError")
        else:
            rep.check(area, label, UNKNOWN, f"{', '.join(missing)} not declared on the class (instances may "
                                            f"set them at run time)")


def record_attributes(cls):
    """(names the class declares for its instances, whether that list is complete)."""
    known = set()
    complete = False
    if dataclasses.is_dataclass(cls):
        known.update(f.name for f in dataclasses.fields(cls))
        complete = True
    fields = getattr(cls, "_fields", None)
    if isinstance(fields, tuple):
        known.update(str(f) for f in fields)
        complete = True
    for klass in getattr(cls, "__mro__", (cls,)):
        slots = vars(klass).get("__slots__", ())
        known.update([slots] if isinstance(slots, str) else slots)
        known.update(vars(klass).get("__annotations__", {}))
    try:
        known.update(dir(cls))
    except BaseException:
        pass
    if isinstance(cls, type) and getattr(cls, "__dictoffset__", 1) == 0:
        complete = True           # instances have no __dict__: every attribute is declared on the class
    return known, complete


# ---------------------------------------------------------------- entry

PROBES = {"build": probe_build, "module": probe_module, "host": probe_host, "sdk": probe_sdk,
          "config": probe_config, "records": probe_records}


def main(argv):
    area, arguments, results, host_directory = argv
    # everything the probe itself needs is imported by now: the host's directory comes first from here on,
    # as it does when the host runs with python -m, and its files stand in for nothing of the probe's
    sys.path.insert(0, host_directory)
    try:
        reporter = Reporter(results)
        PROBES[area](reporter, json.loads(arguments))
        reporter.done()
    except BaseException:
        traceback.print_exc()
        sys.stderr.flush()
        os._exit(70)
    # leave at once: threads or exit handlers that host modules started must not hold the check up
    os._exit(0)


if __name__ == "__main__":
    main(sys.argv[1:])
