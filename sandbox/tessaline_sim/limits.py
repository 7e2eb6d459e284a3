"""What ``tessaline-sim`` accepts: each option's range, and whether the machine can carry the session.

The simulated market builds a whole trading day of every instrument before the
day starts (the price path, the order book volumes and the level-2 flow as
Python lists), and keeps the previous day while the next one is built.  Its
size grows with instruments x snapshots per day x (1 + level-2 orders per
snapshot); the rest of the process is small beside it.  The per-snapshot costs
below were measured on CPython 3.11 (maximum resident size of whole runs) and
are rounded up: the default session (20 instruments, two days) is estimated at 260 MiB and
takes 187 MB; 80 instruments for one day at 420 MiB, taking 313 MB.
"""
import os
from datetime import date

LIMITS = {
    "instruments": (1, 999_999),            # the universe's codes are 000001 ..  999999
    "days": (1, 250),
    "seed": (0, 2**63 - 1),
    "start": (date(1990, 1, 1), date(2099, 12, 31)),
    "snapshot-interval-ms": (100, 60_000),
    "minutes-per-half": (11, 120),          # the demo strategy's day needs eleven minutes a half
    "l2-rate": (0.0, 50.0),
    "step-ms": (1, 60_000),
}

BASE_BYTES = 100 * 2**20                    # interpreter, numpy, module, stand-ins
BYTES_PER_SNAPSHOT = 800                    # price, phase, book volumes of one snapshot of one instrument
BYTES_PER_L2_ORDER = 150                    # side, aggressiveness, size and offset of one level-2 order


def describe_range(name):
    lo, hi = LIMITS[name]
    if isinstance(lo, float):
        return f"a number within {lo:g}..{hi:g}"
    return f"an integer within {lo}..{hi}"


def estimated_bytes(options):
    """Peak memory of a session with ``options`` (an upper estimate)."""
    per_day = options.plan().snapshots_per_day * options.instruments
    per_day_bytes = per_day * (BYTES_PER_SNAPSHOT + BYTES_PER_L2_ORDER * options.l2_orders_per_snapshot)
    days_held = min(options.days, 2)        # the day being run and the next one, built at the day switch
    return BASE_BYTES + days_held * per_day_bytes


def available_bytes():
    """Memory available to a new allocation now (MemAvailable), or None where it cannot be read."""
    try:
        with open("/proc/meminfo", encoding="ascii") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return None


def check_memory(options, available=None):
    """None when the session fits in the available memory, else the reason it does not."""
    need = estimated_bytes(options)
    available = available_bytes() if available is None else available
    if available is None or need <= available:
        return None
    return (f"--instruments {options.instruments} with --l2-rate {options.l2_orders_per_snapshot:g} and "
            f"--snapshot-interval-ms {options.snapshot_interval_ms} needs about {_size(need)} of memory "
            f"(each day's market is built in advance); {_size(available)} is available")


def _size(n):
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB"):
        if n < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} TiB"


# A capture keeps 44-48 bytes a call (msgpack, then zstd); the lower figure, so that only a
# session that surely cannot fit is refused (one that fills the disk anyway is reported then).
CAPTURE_BYTES_PER_CALL = 40
TRANSACTIONS_PER_L2_ORDER = 0.6             # an aggressive order trades at once


def estimated_calls(options):
    """Callbacks of a session: snapshots, level-2 orders and transactions, and bars."""
    plan = options.plan()
    per_day = options.instruments * (plan.snapshots_per_day * (1 + options.l2_orders_per_snapshot
                                                               * (1 + TRANSACTIONS_PER_L2_ORDER))
                                     + plan.bars_per_day)
    return int(per_day * options.days)


def check_disk(options, directory, free=None):
    """None when the capture of the session fits on the disk of ``directory``, else why not."""
    try:
        free = free if free is not None else _free_bytes(directory)
    except OSError:
        return None
    need = estimated_calls(options) * CAPTURE_BYTES_PER_CALL
    if need <= free:
        return None
    return (f"the capture of this session takes at least {_size(need)} (about {estimated_calls(options):,} "
            f"calls); {_size(free)} is free in {directory}")


def _free_bytes(directory):
    st = os.statvfs(directory)
    return st.f_bavail * st.f_frsize
