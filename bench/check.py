"""Faithfulness of the twins: `python bench/check.py OUT.json`.

Binds every implementation to a recording host (the light host's objects,
each wrapped so that every record attribute read, every host call with its
arguments, every enumeration member read, every read and write on the host
order and every event posted is written to a log), drives the same sequence
of callbacks and queries through each, and compares the logs. Identical logs
mean the twins do what the extension does, in the same order, on these inputs
(the benchmark inputs among them).

Then the same for every record layout (plain, slots, dict, namespace,
namedtuple, cext, pybind), with the records, the host order (of the same
layout where a host order can have it) and the strategy handed over as they
are (no proxy in between, so that the extension reads them the way it reads a real SDK's
records): host calls with their arguments, posted events (by value), results
and exceptions, and after every call the host order's and the strategy's
attributes, over the benchmark's calls, an interleaved stretch of the stream
and every order-report branch. The three implementations must agree on every
layout, and each layout must give what the slotted records give.
"""
import json
import re
import sys
import types

import profiles

NS = types.SimpleNamespace
ATOMS = (type(None), bool, int, float, str)


class Recorder:
    def __init__(self, by_value=False):
        self.log = []
        self.ids = {}
        # by value: containers shown by their contents only, at any depth (a
        # pybind11 record makes a new list at each read)
        self.by_value = by_value

    def summ(self, v, depth=0):
        if isinstance(v, ATOMS):
            return repr(v)
        if isinstance(v, Proxy):
            return object.__getattribute__(v, "_name")
        if self.by_value and isinstance(v, (list, tuple, dict, slice)) and depth < 8:
            if isinstance(v, dict):
                return "{" + ", ".join(f"{k}: {self.summ(x, depth + 1)}" for k, x in v.items()) + "}"
            if isinstance(v, slice):
                return f"slice({self.summ(v.start, depth + 1)}, {self.summ(v.stop, depth + 1)})"
            return type(v).__name__ + "[" + ", ".join(self.summ(x, depth + 1) for x in v) + "]"
        key = id(v)
        first = key not in self.ids
        if first:
            self.ids[key] = (len(self.ids), v)  # keep v alive so ids stay unique
        tag = f"{type(v).__name__}#{self.ids[key][0]}"
        if depth > 2:
            return tag
        if isinstance(v, (list, tuple)):
            return tag + "[" + ", ".join(self.summ(x, depth + 1) for x in v) + "]"
        if isinstance(v, dict):
            return tag + "{" + ", ".join(f"{k}: {self.summ(x, depth + 1)}" for k, x in v.items()) + "}"
        if isinstance(v, slice):
            return tag + f"({self.summ(v.start, depth + 1)}, {self.summ(v.stop, depth + 1)})"
        return tag

    def callable_(self, name, fn):
        def logged(*args, **kwargs):
            self.log.append(("call", name, self.summ(args), self.summ(kwargs)))
            return fn(*args, **kwargs)
        return logged


class Proxy:
    """Logs data reads and writes; callables it hands out log their calls."""

    def __init__(self, rec, name, target):
        object.__setattr__(self, "_rec", rec)
        object.__setattr__(self, "_name", name)
        object.__setattr__(self, "_target", target)

    def __getattr__(self, attr):
        rec = object.__getattribute__(self, "_rec")
        name = object.__getattribute__(self, "_name")
        value = getattr(object.__getattribute__(self, "_target"), attr)
        path = f"{name}.{attr}"
        if isinstance(value, NS):
            rec.log.append(("get", path))
            return Proxy(rec, path, value)
        if callable(value) and not isinstance(value, ATOMS + (dict,)):
            return rec.callable_(path, value)
        rec.log.append(("get", path))
        return value

    def __setattr__(self, attr, value):
        rec = object.__getattribute__(self, "_rec")
        rec.log.append(("set", f"{object.__getattribute__(self, '_name')}.{attr}", rec.summ(value)))
        setattr(object.__getattribute__(self, "_target"), attr, value)


class AppendLog:
    def __init__(self, rec):
        self.rec = rec
        self.items = []

    def append(self, event):
        self.rec.log.append(("post", self.rec.summ(event)))
        self.items.append(event)


_HOST = None


def bind_recording(mod, rec):
    # one light host for every implementation: the same member objects, so the
    # same texts where a member is formatted
    global _HOST
    if _HOST is None:
        _HOST = profiles.LightHost()
    host = _HOST
    host.bind(mod)
    for name, value in host.names.items():
        if name == "deque":
            continue
        if isinstance(value, NS):
            setattr(mod, name, Proxy(rec, name, value))
        else:
            setattr(mod, name, rec.callable_(name, value))
    mod.event_queue = AppendLog(rec)
    return host


def scenario(mod, rec):
    host = bind_recording(mod, rec)
    records = profiles.make_records("light", host)
    strat = mod.VornStrategy(NS(base=NS()))
    out = rec.log

    def run(label, fn, *args):
        out.append(("begin", label))
        try:
            result = fn(*args)
            out.append(("returned", rec.summ(result)))
        except Exception as exc:  # noqa: BLE001 - part of what is compared
            out.append(("raised", type(exc).__name__, str(exc)))

    def P(name, target):
        return Proxy(rec, name, target)

    snaps = records.snapshots
    for i, s in enumerate([snaps[0], snaps[1], snaps[0]]):
        run("on_snapshot", strat.on_snapshot, P(f"snapshot{i}", s))
    run("get_current_tick", mod.get_current_tick, records.code)
    run("get_current_tick?", mod.get_current_tick, "999999.XSHE")
    for count in (2, 0, -1, 100, True):
        run(f"history_ticks {count}", mod.history_ticks, records.code, count)
    run("history_ticks?", mod.history_ticks, "999999.XSHE", 5)
    for i, t in enumerate(records.tick_orders[:2]):
        run("on_tick_order", strat.on_tick_order, P(f"tick_order{i}", t))
    for i, t in enumerate(records.tick_trades[:2]):
        run("on_tick_trade", strat.on_tick_trade, P(f"tick_trade{i}", t))
    bars = records.bars
    for i, b in enumerate(bars[:3]):
        run("on_bar", strat.on_bar, P(f"bar{i}", b))
    out.append(("strategy", strat.bar_cnt, repr(strat.current_trade_dt)))

    # orders: the benchmark cycle, a late acceptance, and the other branches
    status = host.OrderStatusType
    cx = host.new_order(records.client_order_id)
    mod.orders_dict[records.client_order_id] = P("cx_order", cx)
    sent, partial, filled = records.reports
    for i, r in enumerate((sent, partial, filled, sent)):
        run("on_order", strat.on_order, P(f"report{i}", r))
    extra = [("Cancelled", 0, 0), ("WaitCancelled", 100, 100), ("PartiallyFilledWaitCancelled", 0, 300),
             ("PartiallyFilledPartiallyCancelled", 50, 350), ("Reject", 0, 0), ("Sended", 0, 0)]
    for i, (st, match, traded) in enumerate(extra):
        cx.status = host.ORDER_STATUS.PENDING_NEW
        cx.filled_quantity = 0
        r = NS(**{k: getattr(sent, k) for k in sent.__slots__})
        r.order_status = getattr(status, st)
        r.last_match_qty = match
        r.trade_qty = traded
        r.total_trade_value = traded * 10.0
        r.error_code = 17
        r.error_msg = "no money"
        r.counter_order_id = 0 if st == "Sended" else 90001
        run(f"on_order {st}", strat.on_order, P(f"report_{st}", r))
    unknown = NS(**{k: getattr(sent, k) for k in sent.__slots__})
    unknown.client_order_id = 4242
    run("on_order unknown", strat.on_order, P("report_unknown", unknown))

    positions = [P(f"position{i}", p) for i, p in enumerate(records.positions[:3])]
    broken = NS(**{k: getattr(records.positions[3], k) for k in records.positions[3].__slots__})
    del broken.profit_loss
    positions.insert(1, P("position_broken", broken))
    run("on_query_position", strat.on_query_position, positions, 7, 0, "ok")
    run("on_query_position failed", strat.on_query_position, positions, 8, 5, "denied")
    run("on_query_position empty", strat.on_query_position, [], 9, 0, "ok")
    run("on_query_position tuple", strat.on_query_position, tuple(positions), 10, 0.0, "ok")
    return out


BROKEN = "on_query_position broken"


def layout_scenario(mod, rec, layout_name):
    """The records of one layout, the host order and the strategy as they are;
    host calls and events logged, object states logged after every call."""
    host = bind_recording(mod, rec)
    records = profiles.make_records("light", host, layout_name)
    L = records.layout
    strat = mod.VornStrategy(NS(base=NS()))
    cx = host.new_order(records.client_order_id, layout_name)
    mod.orders_dict[records.client_order_id] = cx
    out = rec.log

    def state(obj):
        if obj is cx:
            return profiles.order_state(obj)
        return {k: v for k, v in vars(obj).items() if k != "first_dt"}

    def run(label, fn, *args):
        out.append(("begin", label))
        try:
            result = fn(*args)
            out.append(("returned", rec.summ(result)))
        except Exception as exc:  # noqa: BLE001 - part of what is compared
            out.append(("raised", type(exc).__name__, str(exc)))
        out.append(("order", rec.summ(state(cx))))
        out.append(("strategy", rec.summ(state(strat))))

    for s in records.snapshots[:3] + records.snapshots[:1]:
        run("on_snapshot", strat.on_snapshot, s)
    run("get_current_tick", mod.get_current_tick, records.code)
    run("history_ticks", mod.history_ticks, records.code, 3)
    for t in records.tick_orders[:2]:
        run("on_tick_order", strat.on_tick_order, t)
    for t in records.tick_trades[:2]:
        run("on_tick_trade", strat.on_tick_trade, t)
    for b in records.bars:
        run("on_bar", strat.on_bar, b)
    # the stream: record types and instruments interleaved, order reports among them
    by_kind = {"snapshot": (strat.on_snapshot, records.snapshots), "tick_order": (strat.on_tick_order,
               records.tick_orders), "tick_trade": (strat.on_tick_trade, records.tick_trades),
               "bar": (strat.on_bar, records.bars), "report": (strat.on_order, records.reports)}
    for kind, i in profiles.stream_plan()[:300]:
        fn, recs = by_kind[kind]
        run(f"stream {kind}", fn, recs[i])
    sent = records.reports[0]
    extra = [("Cancelled", 0, 0), ("WaitCancelled", 100, 100), ("PartiallyFilledWaitCancelled", 0, 300),
             ("PartiallyFilledPartiallyCancelled", 50, 350), ("Reject", 0, 0), ("Sended", 0, 0)]
    for st, match, traded in extra:
        cx.status = host.ORDER_STATUS.PENDING_NEW
        cx.filled_quantity = 0
        r = L.copy(sent, "OrderReport", order_status=getattr(host.OrderStatusType, st), last_match_qty=match,
                   trade_qty=traded, total_trade_value=traded * 10.0, error_code=17, error_msg="no money",
                   counter_order_id=0 if st == "Sended" else 90001)
        run(f"on_order {st}", strat.on_order, r)
    run("on_order unknown", strat.on_order, L.copy(sent, "OrderReport", client_order_id=4242))
    positions = records.positions[:3]
    run("on_query_position", strat.on_query_position, positions, 7, 0, "ok")
    run("on_query_position tuple", strat.on_query_position, tuple(positions), 10, 0.0, "ok")
    # a record that lacks a field: a deleted slot or instance attribute, an
    # emptied getset field; a pybind11 field or a namedtuple's cannot be
    # emptied, so a plain object stands in for it there
    src = records.positions[3]
    if layout_name in ("pybind", "namedtuple"):
        broken = NS(**{k: getattr(src, k) for k in L.fields("PositionRecord") if k != "profit_loss"})
    else:
        broken = L.copy(src, "PositionRecord")
        delattr(broken, "market_id" if layout_name == "cext" else "profit_loss")
    run(BROKEN, strat.on_query_position, [positions[0], broken, positions[1]], 8, 0, "ok")
    return out


def without(log, label):
    """The log without the entries of the runs labelled `label`."""
    out, skip = [], False
    for entry in log:
        if entry[0] == "begin":
            skip = entry[1] == label
        if not skip:
            out.append(entry)
    return out


def as_order(log):
    """The log with the host order (whose class follows the layout) named
    alike: the object every deep copy is taken of."""
    token = next((m.group(1) for entry in log if entry[:2] == ("call", "copy.deepcopy")
                  for m in [re.match(r"tuple\[(\w+#\d+)\]$", entry[2])] if m), None)
    if token is None:
        return log
    pattern = re.compile(re.escape(token) + r"(?!\d)")
    return [json.loads(pattern.sub("HostOrder", json.dumps(entry, default=str))) for entry in log]


def compare(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return {"index": i, "module": x, "other": y, "context": a[max(0, i - 3):i]}
    if len(a) != len(b):
        return {"index": min(len(a), len(b)), "length": [len(a), len(b)]}
    return None


def main(out_path):
    mods, errors = profiles.load_impls()
    logs = {impl: scenario(mod, Recorder()) for impl, mod in mods.items()}
    result = {"entries": len(logs.get("module", [])), "import_errors": errors, "diff": {}}
    if "module" in logs:
        for impl in ("twin", "cython"):
            if impl in logs:
                result["diff"][impl] = compare(logs["module"], logs[impl])
    # which module callbacks raised (e.g. not built yet)
    raised = {}
    for impl, log in logs.items():
        label = None
        for entry in log:
            if entry[0] == "begin":
                label = entry[1]
            elif entry[0] == "raised":
                raised.setdefault(impl, []).append(f"{label}: {entry[1]}: {entry[2]}")
    result["raised"] = raised
    # every layout, records as they are
    result["layouts"] = []
    module_logs = {}
    for lay in profiles.LAYOUTS:
        try:
            profiles.layout(lay)
        except Exception as exc:  # noqa: BLE001 - a layout not built is reported, not fatal
            result["diff"][f"{lay}: layout"] = f"not available: {type(exc).__name__}: {exc}"
            continue
        result["layouts"].append(lay)
        logs = {impl: layout_scenario(mod, Recorder(by_value=True), lay) for impl, mod in mods.items()}
        if "module" not in logs:
            continue
        module_logs[lay] = logs["module"]
        result["layout_entries"] = len(logs["module"])
        for impl in ("twin", "cython"):
            if impl in logs:
                result["diff"][f"{lay}: {impl}"] = compare(logs["module"], logs[impl])
        for impl, log in logs.items():
            for entry in log:
                if entry[0] == "begin":
                    label = entry[1]
                elif entry[0] == "raised" and label != BROKEN:
                    raised.setdefault(f"{lay}: {impl}", []).append(f"{label}: {entry[1]}: {entry[2]}")
    if "slots" in module_logs:
        ref = as_order(without(module_logs["slots"], BROKEN))
        for lay, log in module_logs.items():
            if lay != "slots":
                result["diff"][f"{lay}: module against slots"] = compare(ref, as_order(without(log, BROKEN)))
    with open(out_path, "w") as f:
        json.dump(result, f, indent=1, default=str)
    return result


if __name__ == "__main__":
    r = main(sys.argv[1])
    print(json.dumps(r, indent=1, default=str)[:3000])
