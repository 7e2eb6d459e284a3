"""Running replays and comparisons: one task per capture, on local processes or on
the workers of a Dask distributed scheduler.

A task (``run_task``) replays one capture (its files one after the other) in
worker processes of its own (``_replay_worker``), one per implementation, on the
machine it runs on.  A comparison reads the workers' digest streams side by side
as they come, then, only where the digests differ, replays again to the last
call it needs the full observations of.  Results are plain dicts, merged by
``merge``.
"""
import collections
import json
import os
import queue
import signal
import subprocess
import sys
import threading

import msgpack

DETAIL_LIMIT = 1000            # differing calls described in full
_live = set()                  # worker processes running in this process
_live_lock = threading.Lock()


class TaskError(Exception):
    """A task that could not run: ``kind`` is "import", "capture" or "internal"."""

    def __init__(self, kind, message):
        super().__init__(message)
        self.kind = kind


def stop_all():
    """Ends every worker process this process started (an interrupted run)."""
    with _live_lock:
        procs = list(_live)
    for p in procs:
        try:
            p.kill()
        except OSError:
            pass
    for p in procs:
        try:
            p.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            pass


class Worker:
    """One worker process and the messages it sends, read on a thread of their own."""

    def __init__(self, plan, label):
        self.label = label
        env = dict(os.environ)
        env.pop("PYTHONSTARTUP", None)
        env["PYTHONHASHSEED"] = "0"           # the same iteration order of sets in every worker
        self.proc = subprocess.Popen([sys.executable, "-m", "tessaline_tools._replay_worker", json.dumps(plan)],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=env)
        with _live_lock:
            _live.add(self.proc)
        self.messages = queue.Queue(maxsize=256)
        self._stderr = collections.deque(maxlen=64)
        self._threads = [threading.Thread(target=self._read, daemon=True),
                         threading.Thread(target=self._read_stderr, daemon=True)]
        for t in self._threads:
            t.start()

    def _read(self):
        try:
            for msg in msgpack.Unpacker(_Available(self.proc.stdout), raw=False, strict_map_key=False,
                                        max_buffer_size=1 << 30):
                self.messages.put(msg)
        except Exception as exc:                                   # noqa: BLE001 - reported as the end
            self.messages.put(["error", "internal", f"unreadable worker output: {exc}"])
        self.messages.put(None)

    def _read_stderr(self):
        for line in self.proc.stderr:
            self._stderr.append(line.decode(errors="replace").rstrip())

    def next(self):
        """The next message; ``None`` once the process has said all it will."""
        return self.messages.get()

    def end(self):
        """Waits for the process; a process that ended without its closing message is an error."""
        code = self.proc.wait()
        for t in self._threads:
            t.join(timeout=10)
        with _live_lock:
            _live.discard(self.proc)
        return code

    def failure(self, code):
        if code < 0:
            try:
                how = f"was killed by {signal.Signals(-code).name}"
            except ValueError:
                how = f"was killed by signal {-code}"
        else:
            how = f"exited with status {code}"
        tail = " | ".join(line for line in self._stderr if line.strip())[-600:]
        return TaskError("internal", f"the replay process for {self.label['impl']} {how} before it finished"
                         + (f" ({tail})" if tail else ""))


class _Available:
    """A pipe read for what has arrived: a message is taken as soon as it is whole, not once a
    buffer's worth of them has come."""

    def __init__(self, stream):
        self.read = stream.read1


def _drain(worker, on_message, progress=None):
    """Reads one worker to its end; returns its summary or raises ``TaskError``."""
    done = None
    while True:
        msg = worker.next()
        if msg is None:
            break
        kind = msg[0]
        if kind == "loaded":
            worker.label["loaded"] = True
        elif kind == "progress":
            if progress is not None:
                progress(msg[1])
        elif kind == "done":
            done = msg[1]
        elif kind == "error":
            worker.end()
            raise TaskError(msg[1], msg[2])
        else:
            on_message(msg)
    code = worker.end()
    if done is None:
        raise _import_or_crash(worker, code)
    return done


def _import_or_crash(worker, code):
    err = worker.failure(code)
    if not worker.label.get("loaded"):
        # nothing replayed: the implementation took its process down while it loaded
        err.kind = "import"
        err.args = (f"{worker.label['impl']} does not import: {err.args[0]}",)
    return err


def _start(impl, files, mode, detail=None):
    label = {"impl": impl}
    plan = {"impl": impl, "paths": files, "mode": mode, "detail": detail}
    return Worker(plan, label)


def _progress_noting(worker, progress):
    def note(n):
        if progress is not None:
            progress(n)
    return note


# ---------------------------------------------------------------- one capture

def run_task(files, impls, limit=DETAIL_LIMIT, progress=None):
    """Replays one capture (``files`` in order) through ``impls`` (none: the installed module;
    one: replayed through it; more: compared with the first).  Returns the task's result;
    raises ``TaskError`` when it cannot run."""
    if len(impls) < 2:
        impl = impls[0] if impls else "-"
        w = _start(impl, files, "replay")
        summary = _drain(w, lambda m: None, _progress_noting(w, progress))
        return {"capture": files, "mode": "replay", "implementations": [impl], "summary": summary}
    return _compare(files, impls, limit, progress)


def _compare(files, impls, limit, progress):
    workers = [_start(impl, files, "digest") for impl in impls]
    try:
        found = _digest_phase(workers, progress)
    except BaseException:
        for w in workers:
            w.proc.kill()
            w.end()
        raise
    statuses = found["statuses"]
    result = {"capture": files, "mode": "compare", "implementations": impls,
              "replays": [{"impl": impl, "ok": True, "summary": s} for impl, s in zip(impls, statuses)],
              "calls_compared": found["compared"]}
    differences, differing, state_diff = [], 0, None
    others = range(1, len(impls))
    for k in others:
        positions, state_range = found["calls"][k], found["state"][k]
        if not positions and state_range is None:
            continue
        detail = _detail_phase(files, [impls[0], impls[k]], positions[:limit], state_range)
        confirmed = detail["differences"]
        for d in confirmed:
            d["implementation"] = impls[k]
        differences.extend(confirmed)
        # calls beyond those described in full are counted by their digests
        differing += len(confirmed) + max(0, found["counts"][k] - min(len(positions), limit))
        if detail["state"] is not None and state_diff is None:
            state_diff = dict(detail["state"], implementation=impls[k])
    differences.sort(key=lambda d: d["position"])
    result.update(calls_differing=differing, differences=differences[:limit],
                  differences_at=sorted({d["position"] for d in differences}),
                  state_difference=state_diff, agree=differing == 0 and state_diff is None)
    return result


def _digest_phase(workers, progress):
    n = len(workers)
    statuses = [None] * n
    batches = [collections.deque() for _ in range(n)]
    checkpoints = {"strategy": [collections.deque() for _ in range(n)],
                   "stores": [collections.deque() for _ in range(n)]}
    ranges = {kind: [None] * n for kind in checkpoints}
    last_equal = {kind: [-1] * n for kind in checkpoints}
    calls = [[] for _ in range(n)]
    counts = [0] * n
    compared = 0
    notes = [_progress_noting(w, progress if k == 0 else None) for k, w in enumerate(workers)]

    def pump(k):
        """Reads worker k until it has given one digest batch (or ended)."""
        while not batches[k] and statuses[k] is None:
            msg = workers[k].next()
            if msg is None:
                code = workers[k].end()
                raise _import_or_crash(workers[k], code)
            kind = msg[0]
            if kind == "loaded":
                workers[k].label["loaded"] = True
            elif kind == "progress":
                notes[k](msg[1])
            elif kind == "digests":
                batches[k].append(msg)
            elif kind in checkpoints:
                checkpoints[kind][k].append((msg[1], msg[2]))
            elif kind == "strategies":
                pairs = msg[1]
                checkpoints["strategy"][k].extend(zip(pairs[0::2], pairs[1::2]))
            elif kind == "done":
                statuses[k] = msg[1]
                workers[k].end()
            elif kind == "error":
                workers[k].end()
                raise TaskError(msg[1], msg[2])

    def check_state():
        for kind, queues in checkpoints.items():
            _compare_checkpoints(queues, ranges[kind], last_equal[kind])

    while True:
        for k in range(n):
            pump(k)
        if all(not b for b in batches):
            break
        if any(not b for b in batches):
            raise TaskError("internal", "the replays of the implementations gave different numbers of calls")
        rows = [b.popleft() for b in batches]
        first, a_calls = rows[0][1], rows[0][2]
        compared += len(a_calls) // 8
        for k in range(1, n):
            b_calls = rows[k][2]
            if b_calls != a_calls:
                for i in range(0, min(len(a_calls), len(b_calls)), 8):
                    if a_calls[i:i + 8] != b_calls[i:i + 8]:
                        counts[k] += 1
                        if len(calls[k]) < DETAIL_LIMIT:
                            calls[k].append(first + i // 8)
        check_state()
    check_state()
    return {"statuses": statuses, "calls": calls, "counts": counts, "compared": compared,
            "state": [_first_state_range(ranges["strategy"][k], ranges["stores"][k]) for k in range(n)]}


def _first_state_range(strategy, stores):
    """The calls within which the state first parts: the strategy's range, the stores', or
    where both differ, from the earlier start to the earlier end."""
    if strategy is None or stores is None:
        return strategy or stores
    return min(strategy[0], stores[0]), min(strategy[1], stores[1])


def _compare_checkpoints(queues, found, last_equal):
    base = queues[0]
    while base and all(queues[k] for k in range(1, len(queues))):
        pos, digest = base.popleft()
        for k in range(1, len(queues)):
            pos_k, digest_k = queues[k].popleft()
            if found[k] is None:
                if digest_k != digest or pos_k != pos:
                    found[k] = (last_equal[k] + 1, pos)
                else:
                    last_equal[k] = pos


def _detail_phase(files, impls, positions, state_range):
    """Full observations at ``positions`` and the state where it first differs."""
    stops = list(positions)
    if state_range is not None:
        stops.append(state_range[1])
    detail = {"calls": positions, "state_at": [],
              "state_range": list(state_range) if state_range is not None else None,
              "stop_after": max(stops)}
    seen = [_collect(_start(impl, files, "detail", detail)) for impl in impls]
    a, b = seen
    from tessaline_tools._replay_compare import describe_difference
    differences = []
    for pos in positions:
        x, y = a["calls"].get(pos), b["calls"].get(pos)
        if x is None or y is None or _same_outcome(x, y):
            continue
        differences.append({"position": pos, "callback": x["cb"], "file": x.get("path"),
                            "what": describe_difference(x, y), "a": x, "b": y})
    # the first call after which the state differs, within the calls between the last
    # agreeing digest of the state and the first differing one
    first_state = None
    if state_range is not None and a["range"] is not None and b["range"] is not None:
        (fa, da), (_, db) = a["range"], b["range"]
        for i in range(0, min(len(da), len(db)), 16):
            if da[i:i + 16] != db[i:i + 16]:
                first_state = fa + i // 16
                break
    state = None
    if first_state is not None:
        states = [a["states"].get(first_state), b["states"].get(first_state)]
        if states[0] is None or states[1] is None:
            detail = {"calls": [], "state_at": [first_state], "state_range": None, "stop_after": first_state}
            again = [_collect(_start(impl, files, "detail", detail)) for impl in impls]
            states = [again[0]["states"].get(first_state), again[1]["states"].get(first_state)]
        state = _describe_state(first_state, states)
    return {"differences": differences, "state": state}


def _same_outcome(x, y):
    return all(x[k] == y[k] for k in ("events", "error", "logs", "context"))


def _describe_state(pos, states):
    from tessaline_tools._replay_compare import describe_state_difference
    a, b = states
    if a is None or b is None:
        return None
    lines = describe_state_difference(a["state"], b["state"])
    if not lines:
        return None                    # the digests differed, the states are equal all the same
    return {"position": pos, "callback": a["cb"], "file": a["path"], "what": lines}


def _collect(worker):
    got = {"calls": {}, "states": {}, "range": None}

    def on(msg):
        kind = msg[0]
        if kind == "detail":
            got["calls"][msg[1]] = msg[2]
        elif kind == "state":
            got["states"][msg[1]] = msg[2]
        elif kind == "state_digests":
            got["range"] = (msg[1], msg[2])
    _drain(worker, on)
    return got


# ---------------------------------------------------------------- many captures

def run_local(captures, impls, jobs, progress=None):
    """Runs one task per capture on ``jobs`` local threads (each task's replays are processes);
    yields ``(index, result or TaskError)`` as they finish."""
    from concurrent.futures import ThreadPoolExecutor, as_completed
    with ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        futures = {pool.submit(_guarded, files, impls, progress): i for i, files in enumerate(captures)}
        try:
            for fut in as_completed(futures):
                yield futures[fut], fut.result()
        except BaseException:
            for fut in futures:
                fut.cancel()
            stop_all()
            raise


def _guarded(files, impls, progress=None):
    try:
        return run_task(files, impls, progress=progress)
    except TaskError as exc:
        return exc


def remote_task(files, impls):
    """The task as a Dask worker runs it: the same as a local one; errors come back as values."""
    result = _guarded(files, impls)
    if isinstance(result, TaskError):
        return {"task_error": result.kind, "message": str(result)}
    return result


def run_on_scheduler(address, captures, impls, progress=None, connect_timeout=30):
    """Runs one task per capture on the workers of the Dask scheduler at ``address``; yields
    ``(index, result or TaskError)`` as they finish.  The files and implementations must be at
    the same paths on the workers."""
    try:
        from distributed import Client, as_completed
    except ImportError:
        raise TaskError("setup", "--scheduler needs Dask distributed: pip install 'tessaline-tools[cluster]'") \
            from None
    try:
        client = Client(address, timeout=connect_timeout)
    except Exception as exc:                                       # noqa: BLE001 - any connection failure
        raise TaskError("setup", f"cannot reach the scheduler at {address}: {type(exc).__name__}: {exc}") from None
    with client:
        futures = {client.submit(remote_task, files, impls, pure=False, key=f"tessaline-replay-{i}-{os.getpid()}"): i
                   for i, files in enumerate(captures)}
        try:
            for fut in as_completed(futures):
                i = futures[fut]
                try:
                    result = fut.result()
                except Exception as exc:                           # noqa: BLE001 - a worker lost, say
                    yield i, TaskError("internal", f"the task failed on the cluster: {type(exc).__name__}: {exc}")
                    continue
                if "task_error" in result:
                    yield i, TaskError(result["task_error"], result["message"])
                    continue
                if progress is not None:
                    progress(_task_calls(result))
                yield i, result
        except BaseException:
            client.cancel(list(futures))
            raise


def _task_calls(result):
    if result.get("mode") == "replay":
        return result["summary"].get("calls", 0)
    return result.get("calls_compared", 0)
