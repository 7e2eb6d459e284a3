"""The end-of-run report: a dictionary (``build_report``) and its text (``render``).

Everything outside ``report["timing"]`` is a function of the options: two runs
with the same seed give equal reports apart from the timing section (and, in
threaded delivery, the sequence digest, which only single-thread delivery
fixes, and the timeline's minutes, which the host's clock places to within a
step there).  ``report["timeline"]`` and ``report["timing"]["latency_us_per_minute"]``
hold what the HTML page charts; the text leaves them out.
"""
from collections import Counter

import numpy as np

from corvix.tarrow.const import SIDE
from corvix.tarrow.core.events import EVENT
from pyvorn.sim_market import NS_PER_S, datetime_of

NS_PER_MIN = 60 * NS_PER_S


def percentiles_us(samples):
    """(p50, p99, max) of nanosecond samples, in microseconds (nearest rank)."""
    a = np.sort(np.frombuffer(samples, dtype=np.int64)) if len(samples) else None
    if a is None:
        return 0.0, 0.0, 0.0

    def rank(q):
        return float(a[min(len(a) - 1, max(0, int(np.ceil(q * len(a))) - 1))]) / 1000

    return rank(0.50), rank(0.99), float(a[-1]) / 1000


def _nearest_rank(sorted_samples, q):
    a = sorted_samples
    return float(a[min(len(a) - 1, max(0, int(np.ceil(q * len(a))) - 1))]) / 1000


def _minute(minute):
    return f"{datetime_of(minute * NS_PER_MIN):%Y-%m-%d %H:%M}"


def _moment(ns):
    return f"{datetime_of(ns):%Y-%m-%d %H:%M:%S.%f}"


def latency_by_minute(samples_by_minute):
    """Per simulated minute with calls: the p50, p90 and p99 of its callbacks' durations (µs)."""
    out = {"minutes": [], "calls": [], "p50": [], "p90": [], "p99": []}
    for minute in sorted(samples_by_minute):
        samples = samples_by_minute[minute]
        if not len(samples):
            continue
        a = np.sort(np.frombuffer(samples, dtype=np.int64))
        out["minutes"].append(_minute(minute))
        out["calls"].append(len(a))
        for q in (50, 90, 99):
            out[f"p{q}"].append(_nearest_rank(a, q / 100))
    return out


def build_timeline(host):
    """Events per minute by type, each order's life, and positions and cash as they moved."""
    minutes = sorted(host.events_by_minute)
    types = [et.name for et in EVENT if any(host.events_by_minute[m][et.name] for m in minutes)]
    orders = []
    for cid, order in host.orders.items():
        final = host.final_ns.get(cid)
        orders.append({"order_id": str(cid), "code": order.market_code,
                       "side": order.side.name, "quantity": order.quantity, "intent": host.intent.get(cid),
                       "sent": _moment(host.sent_ns[cid]), "final": _moment(final) if final is not None else None,
                       "status": order.status.name})
    positions = {}
    for ns, code, qty in host.position_moves:
        positions.setdefault(code, []).append([_moment(ns), qty])
    return {
        "minutes": [_minute(m) for m in minutes],
        "events_per_minute": {name: [host.events_by_minute[m][name] for m in minutes] for name in types},
        "orders": orders,
        "positions": {code: moves for code, moves in positions.items() if len({q for _, q in moves}) > 1},
        "cash": [[_moment(ns), round(cash, 2)] for ns, cash in host.cash_moves],
    }


def build_report(options, sim, host, result, logs, env):
    events = {et.name: host.drained[et.name] for et in EVENT if host.drained[et.name]}
    statuses = Counter(order.status.name for order in host.orders.values())
    by_intent = Counter(host.intent.values())
    buys = [(a, p) for cid, a, p in host.fills if host.orders[cid].side is SIDE.BUY]
    sells = [(a, p) for cid, a, p in host.fills if host.orders[cid].side is SIDE.SELL]
    counter = host.counter
    end_positions = counter.positions_at(sim.clock.now_ns())
    positions = []
    for code in host.codes:
        sid, mt = host._sid[code]
        positions.append({"code": code, "start": sim.initial_qty.get((sid, mt), 0),
                          "host": (host.positions or {}).get(code, 0),
                          "counter": end_positions.get((sid, mt), 0)})
    algo = []
    for d in sorted(host.algo):
        a = host.algo[d]
        last = a["last"]
        algo.append({"day": str(sim.trading_days[d]), "code": a["code"], "quantity": a["quantity"],
                     "filled": last.filled_quantity if last else 0,
                     "status": last.status.name if last else None, "answers": sorted(a["answers"])})
    latency = {}
    for name in sorted(result.latency_ns):
        p50, p99, mx = percentiles_us(result.latency_ns[name])
        latency[name] = {"calls": result.calls.get(name, 0), "p50_us": p50, "p99_us": p99, "max_us": mx}
    wall_s = result.wall_ns / 1e9
    return {
        "run": {
            "seed": options.seed, "instruments": options.instruments,
            "days": [str(d) for d in sim.trading_days], "delivery": "threaded" if options.threaded else "single",
            "snapshot_interval_ms": options.snapshot_interval_ms, "minutes_per_half": options.minutes_per_half,
            "step_ms": options.step_ms,
        },
        "events": events,
        "events_total": host.drained_total,
        "orders": {
            "sent": len(host.orders), "by_status": dict(sorted(statuses.items())),
            "by_intent": dict(sorted(by_intent.items())), "late_cancels": len(host.late_cancels),
            "cancel_rejections": sum(host.cancel_rejects.values()),
        },
        "fills": {
            "count": len(host.fills), "quantity": sum(a for _, a, _ in host.fills),
            "buy_quantity": sum(a for a, _ in buys), "sell_quantity": sum(a for a, _ in sells),
            "notional": round(sum(a * p for _, a, p in sorted(host.fills)), 2),
            "algo_count": len(host.algo_fill_list), "algo_quantity": sum(a for _, a, _ in host.algo_fill_list),
            "algo_notional": round(sum(a * p for _, a, p in sorted(host.algo_fill_list)), 2),
        },
        "algo": algo,
        "positions": positions,
        "cash": {"host": round(host.cash, 2) if host.cash is not None else None,
                 "counter": round(counter.cash_at(sim.clock.now_ns()), 2)},
        "invariants": host.inv.summary(),
        "errors": {"count": result.error_count, "first": result.errors[:5]},
        "log": {"lines": dict(sorted(logs.lines.items())), "not_trading_days": logs.not_trading_days},
        "digest": {"sequence": host.sequence_digest, "content": host.content_digest},
        "ok": host.inv.ok and result.error_count == 0,
        "timeline": build_timeline(host),
        "timing": {
            "wall_s": round(wall_s, 3), "callbacks": result.total_calls,
            "callbacks_per_s": round(result.total_calls / wall_s) if wall_s else 0,
            "steps": result.steps, "host_drains": host.drains, "largest_drain": host.largest_drain,
            "latency": latency,
            "latency_us_per_minute": latency_by_minute(getattr(sim, "latency_by_minute", {})),
        },
    }


def _n(x):
    return f"{x:,}"


def render(report):
    run, t = report["run"], report["timing"]
    out = []
    add = out.append
    days = run["days"]
    add(f"tessaline simulation: seed {run['seed']}, {run['instruments']} instruments, {len(days)} trading "
        f"day{'s' if len(days) != 1 else ''} ({days[0]} .. {days[-1]}), "
        f"{'threaded delivery (md, td, algo, timer threads)' if run['delivery'] == 'threaded' else 'single-thread delivery'}")
    add(f"  snapshots every {run['snapshot_interval_ms']} ms, {run['minutes_per_half']} + "
        f"{run['minutes_per_half']} continuous minutes a day")
    add(f"  wall time {t['wall_s']:.2f} s; {_n(t['callbacks'])} module callbacks, {_n(t['callbacks_per_s'])} per second; "
        f"{_n(report['events_total'])} events drained in {_n(t['host_drains'])} drains (at most {_n(t['largest_drain'])} "
        f"at once)")
    add("")
    add("Events by type")
    for name, n in report["events"].items():
        add(f"  {name:<28}{n:>12,}")
    add("")
    add("Callback latency (module callbacks, µs)")
    add(f"  {'callback':<36}{'calls':>10}{'p50':>9}{'p99':>9}{'max':>10}")
    for name, s in t["latency"].items():
        add(f"  {name:<36}{s['calls']:>10,}{s['p50_us']:>9.1f}{s['p99_us']:>9.1f}{s['max_us']:>10.1f}")
    add("")
    o = report["orders"]
    add(f"Orders: {o['sent']} sent; by final status: "
        + ", ".join(f"{k} {v}" for k, v in o["by_status"].items()))
    add("  by intent: " + ", ".join(f"{k} {v}" for k, v in o["by_intent"].items()))
    add(f"  late cancels {o['late_cancels']}, rejected by the counter {o['cancel_rejections']}")
    f = report["fills"]
    add(f"Fills: {f['count']} trades, {_n(f['quantity'])} shares (bought {_n(f['buy_quantity'])}, "
        f"sold {_n(f['sell_quantity'])}), notional {f['notional']:,.2f}")
    add(f"  algo child fills: {f['algo_count']}, {_n(f['algo_quantity'])} shares, notional {f['algo_notional']:,.2f}")
    for a in report["algo"]:
        add(f"  algo {a['day']} {a['code']}: {a['filled']:,}/{a['quantity']:,} {a['status']} "
            f"({', '.join(x.replace('PARENT_ORDER_', '').lower() for x in a['answers'])})")
    add("")
    moved = [p for p in report["positions"] if p["host"] != p["start"] or p["counter"] != p["start"]]
    add(f"Final positions, {len(moved)} of {len(report['positions'])} changed")
    add(f"  {'code':<14}{'start':>10}{'host':>10}{'counter':>10}")
    for p in moved:
        mark = "" if p["host"] == p["counter"] else "   <-- differs"
        add(f"  {p['code']:<14}{p['start']:>10,}{p['host']:>10,}{p['counter']:>10,}{mark}")
    c = report["cash"]
    add(f"  cash: host {c['host']:,.2f}, counter {c['counter']:,.2f}" if c["host"] is not None else "  cash: unknown")
    add("")
    failed = [i for i in report["invariants"] if i["failures"]]
    add(f"Invariants: {len(report['invariants']) - len(failed)} of {len(report['invariants'])} held")
    for i in report["invariants"]:
        add(f"  {'ok ' if not i['failures'] else 'FAIL'} {i['name']:<44}{i['checks']:>10,} checks"
            + (f", {i['failures']:,} failed" if i["failures"] else ""))
        for ex in i["examples"]:
            add(f"         e.g. {ex}")
    e = report["errors"]
    add(f"Callback errors: {e['count']}")
    for err in e["first"]:
        add(f"  {err['callback']} at {err['sim_time']}: {err['error']}")
    lg = report["log"]
    add("Host log lines: " + ", ".join(f"{k} {v:,}" for k, v in lg["lines"].items())
        + f"; non-trading days seen by the clock: {lg['not_trading_days']}")
    d = report["digest"]
    add(f"Event digest: content {d['content']}" + (f", sequence {d['sequence'][:16]}" if d["sequence"] else ""))
    add("RESULT: " + ("OK" if report["ok"] else "FAILED"))
    return "\n".join(out)
