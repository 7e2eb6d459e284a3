"""Reading a capture: the calls in order, every record checked before it is used.

A capture file is untrusted input.  Each record is checked for its kind's
shape (field count and types) before anything is taken from it, and a record
that does not hold is reported as ``Damage`` with its chunk's offset and its
own position in the chunk; reading stops there, everything before it has been
read.  A chunk's records are read natively (``_replay_native.Records``): a
market-data call comes out ready, every other record is checked here as msgpack
gives it; the values inside records are decoded by ``_capture_decode``.

Reading streams: one chunk is decoded at a time, and what is kept across
chunks is bounded (the calls that may still be named by a later "raised"
record, the record shapes and thread names of the file).
"""
import collections
import datetime as _dt
import itertools
import os

import msgpack

from tessaline_tools import _capture_file as cf
from tessaline_tools._capture_decode import Decoder, build_records, plain_records
from tessaline_tools._capture_values import EXT_ENUM
from tessaline_tools._replay_native import Records

# record kinds: the first element of every record (as the writer numbers them)
R_META, R_SCHEMA, R_CALL, R_GCALL, R_RAISED, R_CTX, R_THREAD, R_END, R_CARRY, R_GAP = range(10)
KIND_NAMES = ("description", "record shape", "call", "call", "raised", "context call", "thread", "closing",
              "carried state", "gap")

RAISED_WINDOW = 1 << 15          # calls a later "raised" record may still name
MAX_WALL_NS = 253402300799 * 10 ** 9   # the end of year 9999
_I64 = 1 << 63


class Call:
    """One captured call into the strategy.  ``offset`` is its chunk's offset in the file."""

    __slots__ = ("position", "seq", "name", "wall_ns", "mono_ns", "thread", "args", "kwargs", "pre", "path",
                 "offset")

    def __init__(self, position, seq, name, wall_ns, mono_ns, thread, args, kwargs, pre, path, offset=None):
        self.position, self.seq, self.name = position, seq, name
        self.wall_ns, self.mono_ns, self.thread = wall_ns, mono_ns, thread
        self.args, self.kwargs, self.pre, self.path, self.offset = args, kwargs, pre, path, offset

    @property
    def wall(self):
        return _dt.datetime.fromtimestamp(self.wall_ns / 1e9)

    def __repr__(self):
        return f"Call(#{self.position} {self.name} at {self.wall:%Y-%m-%d %H:%M:%S.%f} on {self.thread})"


class Malformed(ValueError):
    """A record whose shape its kind does not allow."""


def _int(v, what, lo=-_I64, hi=_I64):
    if type(v) is not int or not lo <= v < hi:
        raise Malformed(f"{what} is not an integer in range")


def _str(v, what):
    if type(v) is not str:
        raise Malformed(f"{what} is not text")


def _fields(rec, n, at_least=False):
    if len(rec) < n if at_least else len(rec) != n:
        raise Malformed(f"a {KIND_NAMES[rec[0]]} record of {len(rec)} fields, not {n}")


class CaptureReader:
    """Reads one capture, or the files of a rotated one in order.

    Iterating yields ``Call`` objects in capture order.  As it goes it collects
    ``meta`` (one dict per file), ``carry`` (the state a later file starts from),
    ``raised`` (position -> (callback, exception type, text) of calls that raised live),
    ``context_calls`` (per method), ``complete`` (closing record seen), ``gaps`` (calls the
    capture dropped), ``opaque`` (classes of values kept only by their text) and
    ``damage`` (``Damage`` of a torn, corrupted or malformed tail).  A file that is not a
    capture raises ``CaptureError`` when the iteration reaches it.
    """

    def __init__(self, paths, rebuild=True, max_chunk_bytes=None):
        from tessaline_tools.capture import SIGNATURES
        self.paths = [os.fspath(p) for p in ([paths] if isinstance(paths, (str, os.PathLike)) else paths)]
        self.rebuild = rebuild
        self.max_chunk_bytes = max_chunk_bytes
        self.meta = []
        self.carry = None
        self.raised = {}
        self.context_calls = collections.Counter()
        self.damage = []
        self.gaps = []
        self.opaque = collections.Counter()
        self.complete = False
        self.calls = 0
        self.calls_by_path = {}
        self._callbacks = frozenset(SIGNATURES)
        self._seq_pos = {}                      # seq -> position, for the calls a "raised" record may name
        self._names = [None] * RAISED_WINDOW    # callback of each of the last positions
        self._threads = {}
        self.path = self.offset = None

    def check(self):
        """Raises ``CaptureError`` now for a file that is not a readable capture."""
        for path in self.paths:
            try:
                with open(path, "rb") as f:
                    cf.check_header(path, f)
            except OSError as exc:
                raise cf.CaptureError(f"{path}: cannot read: {exc.strerror or exc}") from None

    def __iter__(self):
        for item in self.items():
            if type(item) is tuple:
                position, name, wall, record, seq, mono, tid = item
                item = Call(position, seq, name, wall, mono, self._threads.get(tid, tid), (record,), _EMPTY, _EMPTY,
                            self.path, self.offset)
            yield item

    def items(self):
        """Like iterating, but a market-data call (one record argument, nothing else recorded
        before it) comes as a tuple ``(position, name, wall ns, record, seq, mono ns, thread id)``:
        the replay's hot path needs no more.  ``path`` and ``offset`` tell where it is."""
        # each chunk's records are read natively; the chunks are chained without a Python frame
        # between the calls
        return itertools.chain.from_iterable(self._chunks())

    def _chunks(self):
        """The ``Records`` of each chunk in turn; what a chunk leaves behind (where its reading
        stopped, how many records it had) is looked at once its records are read."""
        position = 0
        for path in self.paths:
            try:
                f = open(path, "rb")
            except OSError as exc:
                raise cf.CaptureError(f"{path}: cannot read: {exc.strerror or exc}") from None
            with f:
                cf.check_header(path, f)
                state = _FileState(self, path)
                self.path, self._threads = path, state.threads
                for offset, raw, n in cf.iter_chunks(path, f, self.damage.append, self.max_chunk_bytes):
                    self.offset = offset
                    state.decoder.missing_seen = False
                    records = _ChunkReading(self, state, path, offset, raw).records(position)
                    yield records
                    if records.stopped:
                        return
                    position = records.position
                    if records.index != n:
                        self.damage.append(cf.Damage(path, offset, "corrupted",
                                                     f"{records.index} records where the chunk says {n}"))
                        return
                self.opaque.update(state.decoder_opaque())
            self.calls_by_path[path] = position - sum(self.calls_by_path.values())
        self.calls = position

    def _forget_old_calls(self):
        # a "raised" record follows its call closely; older calls are not asked about again
        m = self._seq_pos
        for k in list(m)[:len(m) - RAISED_WINDOW // 4]:
            del m[k]

    def _bad(self, path, offset, index, start, why):
        self.damage.append(cf.Damage(path, offset, "malformed",
                                     f"record {index} (byte {start} of the chunk's records): {why}"))

    def note_call(self, seq, position, name):
        self._seq_pos[seq] = position
        self._names[position & (RAISED_WINDOW - 1)] = name
        if len(self._seq_pos) > RAISED_WINDOW // 2:
            self._forget_old_calls()

    def raised_call(self, seq, position_now):
        """``(position, callback)`` of the call a "raised" record names, if it is still known."""
        at = self._seq_pos.get(seq)
        if at is None or position_now - at >= RAISED_WINDOW:
            return None
        return at, self._names[at & (RAISED_WINDOW - 1)]


_EMPTY = {}                      # the keywords and prior state of a market-data call: none (never changed)


class _ChunkReading:
    """One chunk's records: market-data calls come out of the native reading ready; every
    other record comes to ``take`` as msgpack gives it, and is checked here."""

    def __init__(self, reader, state, path, offset, raw):
        self.reader, self.state, self.path, self.offset, self.raw = reader, state, path, offset, raw

    def records(self, position):
        # the records give themselves to take and failed: this object holds no reference to
        # them, and no cycle keeps a chunk's bytes alive past its reading
        decoder, state = self.state.decoder, self.state
        return Records(self.raw, decoder._ext, EXT_ENUM, decoder._enum_raw, self.reader._callbacks,
                       _Fallback(decoder, self.raw), self.reader._seq_pos, self.reader._names,
                       self.reader._forget_old_calls, MAX_WALL_NS, position, None if state.first else state.fast,
                       self.take, self.failed)

    def take(self, records, rec):
        """What to hand on for one record: a call, or None; a record that does not hold is
        reported and ends the chunk's reading."""
        state = self.state
        decoder = state.decoder
        position = records.position
        try:
            # a call whose values went through the decoder's hook: checked inline
            # (a kind of 2.0 is no call: the record is reported as malformed)
            if type(rec) is list and len(rec) == 8 and type(rec[0]) is int and rec[0] == R_CALL \
                    and not state.first:
                _, seq, name, wall, mono, tid, sid, vals = rec
                shape = state.fast.get(sid) if type(sid) is int else None
                if shape is not None and type(name) is str and name in self.reader._callbacks \
                        and type(seq) is int and type(wall) is int and 0 <= wall < MAX_WALL_NS \
                        and type(mono) is int and type(tid) is int \
                        and -_I64 <= seq < _I64 and -_I64 <= mono < _I64 and -_I64 <= tid < _I64:
                    cls, count, build = shape
                    if cls is not None and not decoder.missing_seen and type(vals) is list and len(vals) == count:
                        record = tuple.__new__(cls, vals)
                    else:
                        record = build(vals, decoder.missing_seen)
                        decoder.missing_seen = False
                    reader = self.reader
                    reader._seq_pos[seq] = position
                    reader._names[position & (RAISED_WINDOW - 1)] = name
                    records.position = position + 1
                    if not (position + 1) & 0xFFF and len(reader._seq_pos) > RAISED_WINDOW // 2:
                        reader._forget_old_calls()
                    return position, name, wall, record, seq, mono, tid
            call = state.take(rec, position, self.offset)
            decoder.missing_seen = False
            if call is not None:
                records.position = position + 1
            if records.shapes is None and not state.first:
                records.shapes = state.fast
            return call
        except cf.CaptureError:
            raise
        except Exception as exc:                                   # noqa: BLE001 - a record that does not hold
            index = records.index - 1
            self.reader._bad(self.path, self.offset, index, _record_start(self.raw, index), _why(exc))
            records.stop()
            return None

    def failed(self, records, exc):
        """A record that does not decode: reported, and the chunk's reading ends."""
        if isinstance(exc, cf.CaptureError):
            raise exc
        index = records.index
        self.reader._bad(self.path, self.offset, index, _record_start(self.raw, index),
                         f"does not decode ({_why(exc)})")


class _Fallback:
    """The records the native reading leaves alone (kinds it does not read, or bytes that do
    not hold) are unpacked here, by the decoder's own unpacker, from where they start:
    ``(record, where the next starts)``, or ``None`` when no whole record is left."""

    def __init__(self, decoder, raw):
        self.decoder, self.raw, self.unpacker = decoder, raw, None

    def __call__(self, offset):
        u = self.unpacker
        if u is None or u.tell() > offset:
            u = self.unpacker = self.decoder.unpacker()
            u.feed(self.raw)
        try:
            while u.tell() < offset:
                u.skip()                                   # records read natively: walked over, not built
            rec = u.unpack()
        except msgpack.OutOfData:
            return None
        return rec, u.tell()


def _record_start(raw, index):
    """Where record ``index`` of a chunk starts: the records before it walked over without
    decoding their values."""
    import msgpack
    u = msgpack.Unpacker(raw=True, strict_map_key=False, max_buffer_size=max(len(raw), 1))
    u.feed(raw)
    try:
        for _ in range(index):
            u.skip()
    except Exception:                                              # noqa: BLE001 - as far as it goes
        pass
    return u.tell()


def _why(exc):
    text = str(exc) or type(exc).__name__
    return text if len(text) <= 200 else text[:197] + "..."


class _FileState:
    """What one file's records refer back to: its record shapes and thread names."""

    def __init__(self, reader, path):
        self.reader, self.path = reader, path
        self.decoder = Decoder(rebuild=reader.rebuild)
        self.schemas, self.threads = {}, {}
        self.fast = {}                           # record shape -> (tuple class or None, count, builder)
        self.first = True

    def decoder_opaque(self):
        return self.decoder.opaque

    def take(self, rec, position, offset):
        """Checks one record and takes what it says; returns a ``Call`` for a call record."""
        if type(rec) is not list or not rec or type(rec[0]) is not int:
            raise Malformed("a record that is not a list starting with its kind")
        kind = rec[0]
        reader = self.reader
        if self.first:
            if kind != R_META:
                raise cf.CaptureError(f"{self.path}: not a capture of strategy calls (no description "
                                      f"record at its start)")
            self.first = False
        if kind == R_CALL:
            _fields(rec, 8)
            _, seq, name, wall, mono, tid, sid, vals = rec
            self._call_fields(seq, name, wall, mono, tid)
            build = self.schemas.get(sid) if type(sid) is int else None
            if build is None:
                raise Malformed(f"a call of unknown record shape {sid!r}")
            record = build(vals, self.decoder.missing_seen)
            reader.note_call(seq, position, name)
            return Call(position, seq, name, wall, mono, self.threads.get(tid, tid), (record,), {}, {}, self.path,
                        offset)
        if kind == R_GCALL:
            _fields(rec, 9)
            _, seq, name, wall, mono, tid, args, kwargs, pre = rec
            self._call_fields(seq, name, wall, mono, tid)
            if type(args) is not list:
                raise Malformed("call arguments are not a list")
            if type(kwargs) is not dict or any(type(k) is not str for k in kwargs):
                raise Malformed("call keywords are not a map of names")
            if type(pre) is not dict or any(type(k) is not str for k in pre):
                raise Malformed("the state before the call is not a map of names")
            reader.note_call(seq, position, name)
            return Call(position, seq, name, wall, mono, self.threads.get(tid, tid), args, kwargs, pre, self.path,
                        offset)
        if kind == R_RAISED:
            _fields(rec, 5)
            _, seq, module, qualname, text = rec
            _str(module, "an exception's module")
            _str(qualname, "an exception's name")
            _str(text, "an exception's text")
            at = reader.raised_call(seq, position) if type(seq) is int else None
            if at is not None:
                reader.raised[at[0]] = (at[1], qualname if module == "builtins" else f"{module}.{qualname}", text)
        elif kind == R_SCHEMA:
            _fields(rec, 5)
            _, sid, module, qualname, names = rec
            _int(sid, "a record shape number", 0)
            _str(module, "a record class's module")
            _str(qualname, "a record class's name")
            make = build_records if reader.rebuild else plain_records
            build = self.schemas[sid] = make(module, qualname, names)
            cls, count = getattr(build, "fast", None) or (None, len(names))
            self.fast[sid] = (cls, count, build)
        elif kind == R_THREAD:
            _fields(rec, 3)
            _int(rec[1], "a thread id")
            _str(rec[2], "a thread name")
            self.threads[rec[1]] = rec[2]
        elif kind == R_CTX:
            _fields(rec, 3, at_least=True)
            _str(rec[2], "a context method")
            if rec[2] not in reader.context_calls and len(reader.context_calls) >= 1024:
                raise Malformed("more than 1024 distinct context methods")
            reader.context_calls[rec[2]] += 1
        elif kind == R_META:
            _fields(rec, 2, at_least=True)
            meta = rec[1]
            if type(meta) is not dict:
                raise Malformed("a description that is not a map")
            if meta.get("format") not in cf.READABLE_VERSIONS:
                raise cf.CaptureError(f"{self.path}: capture format version {meta.get('format')!r} is not "
                                      f"supported (this reader knows "
                                      f"{', '.join(map(str, cf.READABLE_VERSIONS))})")
            reader.meta.append(meta)
        elif kind == R_CARRY:
            _fields(rec, 2, at_least=True)
            if type(rec[1]) is not dict:
                raise Malformed("carried state that is not a map")
            if reader.carry is None and position == 0:
                reader.carry = rec[1]
        elif kind == R_END:
            reader.complete = True
        elif kind == R_GAP:
            _fields(rec, 6)
            for v, what in zip(rec[1:], ("dropped calls", "a wall time", "a wall time", "a sequence number",
                                         "a sequence number")):
                _int(v, what)
            reader.gaps.append({"path": self.path, "position": position, "dropped": rec[1],
                                "first_wall_ns": rec[2], "last_wall_ns": rec[3],
                                "seq_before": rec[4], "seq_after": rec[5]})
        return None

    def _call_fields(self, seq, name, wall, mono, tid):
        _int(seq, "a call's sequence number")
        _str(name, "a callback name")
        if name not in self.reader._callbacks:
            raise Malformed(f"a call of {name[:60]!r}, which is no strategy callback")
        _int(wall, "a call's wall time", 0, MAX_WALL_NS)
        _int(mono, "a call's monotonic time")
        _int(tid, "a call's thread")


def read_capture(paths, rebuild=True):
    return CaptureReader(paths, rebuild=rebuild)


# ---------------------------------------------------------------- the files of a capture

def describe_file(path):
    """The description record of a capture file (raises ``CaptureError`` for a file that is
    not a readable capture)."""
    try:
        f = open(path, "rb")
    except OSError as exc:
        raise cf.CaptureError(f"{path}: cannot read: {exc.strerror or exc}") from None
    with f:
        cf.check_header(path, f)
        damage = []
        for offset, raw, _n in cf.iter_chunks(path, f, damage.append):
            unpacker = Decoder(rebuild=False).unpacker()
            unpacker.feed(raw)
            try:
                rec = next(unpacker)
            except Exception as exc:                               # noqa: BLE001 - any decoding failure
                raise cf.CaptureError(f"{path}: malformed chunk at offset {offset}: record 0: "
                                      f"does not decode ({_why(exc)})") from None
            if type(rec) is not list or len(rec) < 2 or rec[0] != R_META or type(rec[1]) is not dict:
                raise cf.CaptureError(f"{path}: not a capture of strategy calls (no description record at its start)")
            if rec[1].get("format") not in cf.READABLE_VERSIONS:
                raise cf.CaptureError(f"{path}: capture format version {rec[1].get('format')!r} is not supported")
            return rec[1]
        if damage:
            raise cf.CaptureError(str(damage[0]))
        return {}                                                  # a header only: the writer wrote nothing yet


def arrange(paths):
    """The captures among ``paths``: lists of files replayed one after the other (the files of
    one rotated capture in their recorded order), and what was wrong with the order given.

    Returns ``(captures, notes, bad)``: ``notes`` are lines for the user; ``bad`` is set for a
    repeated file or a missing file inside a rotated capture (the files after it are then
    replayed as a capture of their own, from the state their file carries)."""
    notes, bad = [], False
    seen, described = {}, []
    for given, path in enumerate(paths):
        real = os.path.realpath(path)
        if real in seen:
            notes.append(f"{path}: given twice (also as {seen[real]}); replayed once")
            bad = True
            continue
        seen[real] = path
        meta = describe_file(path)
        ident = (meta.get("host"), meta.get("pid"))
        index = meta.get("file_index") if type(meta.get("file_index")) is int else 0
        created = meta.get("created_ns") if type(meta.get("created_ns")) is int else 0
        if ident == (None, None):
            ident = ("file", real)
        described.append((ident, created, index, given, path))
    by_ident = collections.defaultdict(list)
    for item in described:
        by_ident[item[0]].append(item)
    captures = []
    for ident, items in by_ident.items():
        items.sort(key=lambda it: (it[1], it[2]))
        run = []
        for item in items:
            _, created, index, given, path = item
            if run:
                prev = run[-1]
                if index == prev[2] and created == prev[1]:
                    notes.append(f"{path}: the same file of the capture as {prev[4]} (file {index}); replayed once")
                    bad = True
                    continue
                if index != prev[2] + 1:
                    # file 0 starts another capture of the same process; a later one is a gap
                    if index > prev[2] + 1:
                        notes.append(f"{path}: file {index} of its capture follows file {prev[2]} ({prev[4]}): "
                                     f"{index - prev[2] - 1} file(s) missing; replayed from the state it carries")
                        bad = True
                    captures.append(run)
                    run = []
            run.append(item)
        if run:
            captures.append(run)
    captures.sort(key=lambda run: min(it[3] for it in run))
    for run in captures:
        given_order = sorted(run, key=lambda it: it[3])
        if given_order != run:
            notes.append("files given out of their recorded order, replayed as recorded: "
                         + ", ".join(it[4] for it in run))
    return [[it[4] for it in run] for run in captures], notes, bad
