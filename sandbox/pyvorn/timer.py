"""Timer services behind ``Context.add_timer_interval``.

A timer calls its callback once, with no arguments, after an interval in
nanoseconds; a zero or negative interval means "as soon as possible".  Timers
due at the same moment fire in registration order.

``ThreadTimerService`` fires in real time on one dispatcher thread of its own
(started with the first timer).  A callback that raises is logged on the
"pyvorn.timer" logger and kept in ``errors``; the dispatcher goes on.

``VirtualTimerService`` never fires by itself: the owner of the simulated clock
calls ``advance_to(t)``, which fires every timer due at or before ``t`` in due
order, moving ``now_ns()`` to each timer's due time before its callback runs
(so callbacks that register further timers schedule them from that moment, and
those too fire within the same call when due by ``t``).  A callback that raises
stops the advance with that exception: the clock stays at that timer's due time
and later timers stay pending.
"""
import heapq
import itertools
import logging
import threading
import time

_log = logging.getLogger("pyvorn.timer")

PENDING = "pending"
RUNNING = "running"
FIRED = "fired"
CANCELLED = "cancelled"


def _check_interval(interval_ns):
    if isinstance(interval_ns, bool) or not isinstance(interval_ns, int):
        raise TypeError(f"timer interval must be an int of nanoseconds, got {interval_ns!r}")


class TimerHandle:
    """One registered timer.  ``wait(timeout)`` blocks until its callback has run."""

    __slots__ = ("timer_id", "interval_ns", "callback", "registered_ns", "due_ns", "state",
                 "error", "_done", "_service")

    def __init__(self, timer_id, interval_ns, callback, registered_ns, service):
        self.timer_id = timer_id
        self.interval_ns = interval_ns
        self.callback = callback
        self.registered_ns = registered_ns
        self.due_ns = registered_ns + max(interval_ns, 0)
        self.state = PENDING
        self.error = None
        self._done = threading.Event()
        self._service = service

    def __lt__(self, other):
        return (self.due_ns, self.timer_id) < (other.due_ns, other.timer_id)

    @property
    def fired(self):
        return self.state == FIRED

    def cancel(self):
        """Keep a pending timer from firing; returns whether it was still pending."""
        return self._service.cancel(self)

    def wait(self, timeout=None):
        """Block until the callback has run (or raised); returns False on timeout."""
        return self._done.wait(timeout)

    def _fire(self):
        self.state = RUNNING
        try:
            self.callback()
        except BaseException as exc:
            self.error = exc
            raise
        finally:
            self.state = FIRED
            self._done.set()

    def __repr__(self):
        return (f"TimerHandle(#{self.timer_id}, interval_ns={self.interval_ns}, due_ns={self.due_ns}, "
                f"state={self.state!r}, callback={self.callback!r})")


class TimerService:
    """Common bookkeeping; subclasses provide the clock and the firing."""

    def __init__(self):
        self._lock = threading.RLock()
        self._heap = []
        self._ids = itertools.count(1)

    def now_ns(self):
        raise NotImplementedError

    def add(self, interval_ns, callback):
        """Register ``callback`` to run once after ``interval_ns``; returns its ``TimerHandle``."""
        _check_interval(interval_ns)
        if not callable(callback):
            raise TypeError(f"timer callback must be callable, got {callback!r}")
        with self._lock:
            handle = TimerHandle(next(self._ids), interval_ns, callback, self.now_ns(), self)
            heapq.heappush(self._heap, handle)
            self._wake()
        return handle

    def cancel(self, handle):
        with self._lock:
            if handle.state != PENDING:
                return False
            handle.state = CANCELLED
            handle._done.set()
            return True

    def pending(self):
        """Pending timers in firing order."""
        with self._lock:
            return sorted(h for h in self._heap if h.state == PENDING)

    def next_due_ns(self):
        with self._lock:
            self._drop_cancelled()
            return self._heap[0].due_ns if self._heap else None

    def close(self):
        pass

    def _wake(self):
        pass

    def _drop_cancelled(self):
        while self._heap and self._heap[0].state != PENDING:
            heapq.heappop(self._heap)


class VirtualTimerService(TimerService):
    """Timers in simulated time; see the module docstring."""

    def __init__(self, start_ns=0):
        super().__init__()
        self._now = start_ns

    def now_ns(self):
        return self._now

    def advance_to(self, t_ns, max_fires=1_000_000):
        """Fire every timer due at or before ``t_ns``; returns how many fired.

        More than ``max_fires`` firings in one call raise RuntimeError: that is a
        callback re-registering itself with a non-positive interval, which would
        otherwise never let the clock move.
        """
        if t_ns < self._now:
            raise ValueError(f"virtual clock cannot go back from {self._now} to {t_ns}")
        fired = 0
        while True:
            if fired >= max_fires:
                raise RuntimeError(f"{fired} timers fired without reaching {t_ns}: a callback keeps "
                                   f"re-registering itself with a non-positive interval?")
            with self._lock:
                self._drop_cancelled()
                if not self._heap or self._heap[0].due_ns > t_ns:
                    self._now = t_ns
                    return fired
                handle = heapq.heappop(self._heap)
                self._now = max(self._now, handle.due_ns)
            handle._fire()
            fired += 1

    def advance_by(self, delta_ns):
        return self.advance_to(self._now + delta_ns)

    def run_due(self):
        """Fire the timers already due (zero or negative intervals) without moving the clock."""
        return self.advance_to(self._now)


class ThreadTimerService(TimerService):
    """Timers in real (monotonic) time, fired on a daemon dispatcher thread."""

    def __init__(self, name="pyvorn-timer"):
        super().__init__()
        self._cond = threading.Condition(self._lock)
        self._name = name
        self._thread = None
        self._closed = False
        self.errors = []

    def now_ns(self):
        return time.monotonic_ns()

    def _wake(self):
        if self._closed:
            raise RuntimeError("timer service is closed")
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name=self._name, daemon=True)
            self._thread.start()
        self._cond.notify()

    def _run(self):
        while True:
            with self._cond:
                while True:
                    if self._closed:
                        return
                    self._drop_cancelled()
                    if self._heap:
                        delay_ns = self._heap[0].due_ns - self.now_ns()
                        if delay_ns <= 0:
                            handle = heapq.heappop(self._heap)
                            break
                        self._cond.wait(min(delay_ns / 1e9, threading.TIMEOUT_MAX))
                    else:
                        self._cond.wait()
            try:
                handle._fire()
            except Exception as exc:
                self.errors.append((handle, exc))
                _log.exception("timer callback %r raised", handle.callback)

    def close(self, timeout=5.0):
        """Stop the dispatcher; pending timers never fire."""
        with self._cond:
            self._closed = True
            self._cond.notify_all()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(timeout)
