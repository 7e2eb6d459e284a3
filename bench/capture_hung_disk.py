"""Peak memory of a capture whose disk hangs: market-data callbacks at a steady
rate while every write after the first blocks, then the process's peak
resident size against the same run without a capture.

    .venv/bin/python bench/capture_hung_disk.py                 # 60 s at 5,000 snapshots/s
    .venv/bin/python bench/capture_hung_disk.py --seconds 10 --rate 20000

Each measurement runs in a fresh process (peak resident size is per process).
The hung disk is a stand-in for the capture file's write that waits until the
run ends; the capture is then closed with a short timeout.
"""
import argparse
import json
import subprocess
import sys

CHILD = r"""
import json, os, resource, sys, tempfile, threading, time
seconds, rate, capture = float(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "1"
import types
import corvix.tarrow.utils.tessaline as tl
from pyvorn.enums import MarketType
from pyvorn.records import Snapshot
config = types.SimpleNamespace(base=types.SimpleNamespace(accounts={}))
cls = tl.VornStrategy
writer = None
if capture:
    from tessaline_tools import _capture_file as cf
    from tessaline_tools.capture import CaptureWriteError, capturing
    hang = threading.Event()
    real = cf.ChunkFile.write
    def write(f, raw, n):
        if f.chunks >= 1:
            hang.wait()
        return real(f, raw, n)
    cf.ChunkFile.write = write
    path = os.path.join(tempfile.mkdtemp(), "hung.tlcap")
    try:
        cls = capturing(tl.VornStrategy, path, close_timeout=1.0)
    except TypeError:                                  # a writer without a close timeout
        cls = capturing(tl.VornStrategy, path)
    writer = cls.capture
strategy = cls(config)
start = time.perf_counter()
n = 0
while True:
    elapsed = time.perf_counter() - start
    if elapsed >= seconds:
        break
    due = int(elapsed * rate)
    while n < due:
        snap = Snapshot(security_id="%06d" % (n % 20), market_type=MarketType.SZSE, orig_time=20250110093000000 + n,
                        last_price=10.0 + n % 100 / 100, bid_price=[10.0 - i / 100 for i in range(10)],
                        bid_volume=[100 * i for i in range(10)], ask_price=[10.0 + i / 100 for i in range(10)],
                        ask_volume=[100 * i for i in range(10)])
        try:
            strategy.on_snapshot(snap)
        except Exception:
            pass
        n += 1
    time.sleep(0.001)
peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
out = {"calls": n, "peak_rss_mb": peak_kb / 1024}
if writer is not None:
    out["dropped"] = writer.dropped
    out["waiting_peak_mb"] = getattr(writer, "peak_bytes", 0) / 2 ** 20
print(json.dumps(out))
sys.stdout.flush()
os._exit(0)                                            # the hung writer is not waited for
"""


def run(seconds, rate, capture):
    out = subprocess.run([sys.executable, "-c", CHILD, str(seconds), str(rate), "1" if capture else "0"],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--rate", type=int, default=5000, help="snapshots per second")
    p.add_argument("--json", metavar="PATH")
    args = p.parse_args(argv)
    plain = run(args.seconds, args.rate, False)
    captured = run(args.seconds, args.rate, True)
    print(f"{captured['calls']} snapshots in {args.seconds:g} s with the disk hung after the first chunk")
    print(f"peak resident size: {plain['peak_rss_mb']:.0f} MB without a capture, "
          f"{captured['peak_rss_mb']:.0f} MB with it (+{captured['peak_rss_mb'] - plain['peak_rss_mb']:.0f} MB); "
          f"records waiting at most {captured.get('waiting_peak_mb', 0):.1f} MB, "
          f"{captured.get('dropped', 0)} calls dropped")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({"plain": plain, "capture": captured, "seconds": args.seconds, "rate": args.rate}, f, indent=2)


if __name__ == "__main__":
    main()
