"""Memory of one implementation: `python bench/memory.py IMPL PROFILE OUT.json`.

1,000,000 snapshots over 2,000 instruments (BENCH_MEM_SNAPSHOTS,
BENCH_MEM_INSTRUMENTS), the host draining the event queue every 10,000
events. Reported: resident memory (RSS) at the start, after the run (tick
histories full: 2,000 x 60 dictionaries), its peak, and after the host empties
the histories and drains the queue; the allocator's live block count and the
collector's object count at the same points; then, under tracemalloc, the
bytes still allocated after a second run of 50,000 snapshots once the
histories are emptied and the queue drained: what the implementation itself
keeps beyond its histories and its queue.
"""
import gc
import json
import os
import resource
import sys
import time
import tracemalloc

import profiles
import _benchloop

PAGE_KB = os.sysconf("SC_PAGE_SIZE") // 1024


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE_KB


def peak_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def point():
    gc.collect()
    return {"rss_kb": rss_kb(), "blocks": sys.getallocatedblocks(), "gc_objects": len(gc.get_objects())}


def main(impl, profile, out_path):
    total = int(os.environ.get("BENCH_MEM_SNAPSHOTS", "1000000"))
    ninstr = int(os.environ.get("BENCH_MEM_INSTRUMENTS", "2000"))
    mods, errors = profiles.load_impls()
    mod = mods[impl]
    if profile == "light":
        host = profiles.LightHost()
        market = "XSHE"
    else:
        host = profiles.SandboxHost()
        market = host.market
        from corvix.tarrow.environment import Environment
        Environment.reset(universe=[f"{i:06d}.XSHE" for i in range(1, ninstr + 1)])
    from pyvorn.records import Snapshot
    host.bind(mod)
    strat = mod.VornStrategy(profiles.NS(base=profiles.NS()))
    records = [Snapshot(security_id=f"{i:06d}", market_type=market, orig_time=20250102093000000 + 3 * i,
                        pre_close_price=10.0, open_price=10.1, high_price=10.5, low_price=9.9, last_price=10.2,
                        total_volume_trade=1000 + i, total_value_trade=10200.0 + i,
                        bid_price=[10.19, 10.18], bid_volume=[100, 200], ask_price=[10.2, 10.21],
                        ask_volume=[300, 400])
               for i in range(1, ninstr + 1)]
    calls = [(type(strat).on_snapshot, strat, r) for r in records]
    per_drain = max(1, 10000 // ninstr)

    def drain():
        q = mod.event_queue
        n = 0
        while len(q):
            q.popleft()
            n += 1
        return n

    def feed(count):
        done = drained = 0
        while done < count:
            k = min(per_drain, (count - done) // ninstr) or 1
            _benchloop.loop_ns(k, calls)
            done += k * ninstr
            drained += drain()
        return done, drained

    def empty():
        mod.history_tick.clear()
        drain()

    def release():
        # numpy_ringbuffer's popleft moves its index but leaves the popped
        # object in the backing array until the slot is overwritten: a drained
        # ring buffer still holds up to its capacity of past events. This lets
        # go of them (the slots set to None in place).
        q = mod.event_queue
        if hasattr(q, "_arr"):
            q._arr.fill(None)

    feed(ninstr)          # warm-up: one snapshot per instrument, then back to empty
    empty()
    release()
    start = point()
    t0 = time.perf_counter()
    done, drained = feed(total)
    elapsed = time.perf_counter() - t0
    full = point()
    history = {"instruments": len(mod.history_tick), "ticks": sum(len(d) for d in mod.history_tick.values())}
    one_tick = next(iter(mod.history_tick.values()))[-1]
    tick_dict_bytes = sys.getsizeof(one_tick)  # the dict and its key table
    peak = peak_kb()
    empty()
    drained_point = point()
    release()
    cleared = point()

    tracemalloc.start()
    gc.collect()
    traced0 = tracemalloc.get_traced_memory()[0]
    feed(min(total, 50000))
    gc.collect()
    traced_full = tracemalloc.get_traced_memory()[0]
    empty()
    release()
    gc.collect()
    traced_end = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    result = {"impl": impl, "profile": profile, "snapshots": done, "instruments": ninstr, "events_drained": drained,
              "elapsed_s": elapsed, "start": start, "full": full, "peak_rss_kb": peak, "drained": drained_point,
              "cleared": cleared,
              "history": history, "tick_dict_bytes": tick_dict_bytes, "traced_bytes_base": traced0, "traced_bytes_full": traced_full,
              "traced_bytes_after_clear": traced_end, "traced_delta_bytes": traced_end - traced0,
              "import_errors": errors}
    with open(out_path, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3])
