"""One replay in a process of its own: ``python -m tessaline_tools._replay_worker PLAN``.

An implementation is loaded under the module's full name, so each one needs a
fresh interpreter; one that exits or crashes while it imports takes only this
process down.  The plan (JSON) names the implementation (``-`` for the installed
module), the capture files and what to send back.  Messages go to standard
output as a msgpack stream:

    ["loaded", module file]                     the implementation imported
    ["progress", calls]                         now and then
    ["digests", first position, call digests]   8 bytes per call, in batches
    ["strategies", [position, digest, ...]]     the strategy's attributes after those calls (before
                                                the batch of call digests they fall in)
    ["strategy", position, digest]              the strategy's attributes after the last call
    ["stores", position, digest]                the module-level stores after that call
    ["detail", position, observation]           the normalised outcome of a call asked for
    ["state", position, normalised state]       the state after a call asked for
    ["state_digests", first position, digests]  the whole state after each call of a range
    ["done", status]                            the summary; or
    ["error", kind, message]                    "import", "capture" or "internal"
"""
import gc
import json
import os
import signal
import sys

import msgpack

BATCH = 4096


class _Out:
    def __init__(self, stream):
        self._stream = stream
        self._packer = msgpack.Packer(use_bin_type=True)

    def send(self, *message):
        self._stream.write(self._packer.pack(list(message)))

    def tell(self, calls):
        """Progress goes out at once: the parent's progress bar waits on it."""
        self.send("progress", calls)
        self._stream.flush()

    def flush(self):
        self._stream.flush()


def _plain(obj):
    """A value msgpack can carry (the normalised forms are plain already; this is a guard)."""
    return json.loads(json.dumps(obj, default=str))


def run(plan, out):
    from tessaline_tools._capture_file import CaptureError
    from tessaline_tools._replay_engine import ImplementationError, installed_module, load_implementation, \
        replay_capture
    impl = plan.get("impl", "-")
    try:
        module = load_implementation(impl) if impl != "-" else installed_module()
    except ImplementationError as exc:
        out.send("error", "import", str(exc))
        return 3
    out.send("loaded", getattr(module, "__file__", None))
    # a replay makes and drops a few objects per call, nearly all freed by their counts: the
    # collector need not look at the young ones every few hundred allocations
    gc.freeze()
    gc.set_threshold(50_000, 20, 20)
    mode = plan.get("mode", "replay")
    sink = None
    tail = []
    if mode != "replay":
        sink, tail = _comparison_sink(plan, out)
    try:
        summary, reader = replay_capture(module, plan["paths"], progress=out.tell,
                                         sink=sink, stop_after=(plan.get("detail") or {}).get("stop_after"))
    except CaptureError as exc:
        out.send("error", "capture", str(exc))
        return 4
    for flush in tail:
        flush()
    summary["files"] = _files(plan["paths"], reader)
    summary["module_file"] = getattr(module, "__file__", None)
    out.send("done", _plain(summary))
    return 0


def _files(paths, reader):
    calls_by_path = reader.calls_by_path if hasattr(reader, "calls_by_path") else {}
    gaps = {}
    for g in reader.gaps:
        gaps.setdefault(g["path"], []).append(g)
    return [{"path": p, "calls": calls_by_path.get(p), "gaps": gaps.get(p, [])} for p in paths]


def _comparison_sink(plan, out):
    from tessaline_tools._replay_compare import STATE_EVERY, STRATEGY_EVERY, Digester
    detail = plan.get("detail") or {}
    want_calls = set(detail.get("calls", ()))
    want_state = set(detail.get("state_at", ()))
    state_range = detail.get("state_range")
    digest_mode = plan["mode"] == "digest"
    every = int(plan.get("state_every", STATE_EVERY))
    strategy_every = int(plan.get("strategy_every", STRATEGY_EVERY))
    holder = {}
    range_digests = bytearray()
    range_first = [None]

    def digester(replay, native=None, fallback=None):
        d = holder.get("d")
        if d is None or d.replay is not replay:
            if d is not None:
                _send_batch(d, holder.get("strategies", []), out)
            d = holder["d"] = Digester(replay, strategy_every, native, fallback)
        d.sync()
        return d

    if digest_mode:
        return _digest_sink(digester, holder, out, every, strategy_every), \
            [lambda: _flush_digests(holder.get("d"), holder["strategies"], out)]

    def sink(replay, call, events, error, logs, ctx):
        d = digester(replay)
        pos = call.position
        if pos in want_calls:
            obs = d.norm.observe(call, events, error, logs, ctx)
            obs["path"] = call.path
            out.send("detail", pos, _plain(obs))
        if state_range is not None and state_range[0] <= pos <= state_range[1]:
            if range_first[0] is None:
                range_first[0] = pos
            range_digests.extend(d.strategy_state() + d.stores_state())
        if pos in want_state:
            out.send("state", pos, _plain({"state": d.norm.state(), "path": call.path, "cb": call.name}))

    def flush():
        if range_first[0] is not None:
            out.send("state_digests", range_first[0], bytes(range_digests))
    return sink, [flush]


def _digest_sink(digester, holder, out, every, strategy_every):
    """The sink of a digest replay: the native digester itself, which takes nearly every call
    without Python code in between and hands the rest to ``fallback``: the calls it leaves to
    the slow path, a new replay or strategy to follow, and the state's checkpoints."""
    from tessaline_tools._replay_compare import MARKET_DATA, _classifier
    from tessaline_tools import _digest_native

    def fallback(replay, call, events, error, logs, ctx, answer):
        if answer is None:                    # the first call, or a new strategy: follow it, then read the call
            d = digester(replay, native, fallback)
            answer = d.native.market(call, events, error, logs, ctx)
            if answer is True:
                return
        d = holder["d"]
        if answer is False:
            d.slow(call, events, error, logs, ctx)
            answer = call.position
            if (answer + 1) % strategy_every:
                return
        # the strategy's digests go with the calls' (one message a batch: the parent reads every one)
        strategies.extend((answer, d.strategy_state()))
        if not (answer + 1) % every:
            out.send("stores", answer, d.stores_state())
        if d.native.pending >= BATCH:
            _send_batch(d, strategies, out)

    strategies = holder["strategies"] = []
    # made before the replay, which it learns of at its first call (through the fallback)
    native = _digest_native.Digester(_classifier({}), (), {}, MARKET_DATA, strategy_every, fallback)
    return native


def _send_batch(d, strategies, out):
    """The strategy's digests since the last batch, then the calls' digests."""
    if strategies:
        out.send("strategies", strategies)
        strategies.clear()
    if d.native.pending:
        out.send("digests", d.native.first, d.take())


def _flush_digests(d, strategies, out):
    if d is None:
        return
    _send_batch(d, strategies, out)
    if d.native.last >= 0:
        out.send("strategy", d.native.last, d.strategy_state())
        out.send("stores", d.native.last, d.stores_state())


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    # the parent ends this process when it is interrupted; a Ctrl-C of the terminal is its to report
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # messages get standard output to themselves: whatever the module prints goes to standard error
    sys.stdout.flush()
    channel = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    out = _Out(channel)
    try:
        plan = json.loads(argv[0])
        code = run(plan, out)
    except Exception as exc:                                       # noqa: BLE001 - reported by the parent
        # one line for the user; the whole story for whoever debugs the tool
        if os.environ.get("TESSALINE_REPLAY_DEBUG"):
            import traceback
            traceback.print_exc()
        out.send("error", "internal", f"{type(exc).__name__}: {exc}")
        code = 4
    try:
        out.flush()
    except BrokenPipeError:                                        # the parent stopped listening
        os._exit(code)
    return code


if __name__ == "__main__":
    sys.exit(main())
