"""Session and replay reports as one self-contained HTML page with charts.

``write_session_report(path, report)`` takes the simulator's report (what
``tessaline-sim --json`` writes); ``write_replay_report(path, result)`` what
``tessaline-replay --json`` writes, for a replay or a comparison.  Either page
needs no network: the plotting library's script, the styles and the data are
all inline.  Any part of the input may be missing; the page shows what is
there.  The values come from captures and so from outside: text is escaped
for HTML, and the chart data is JSON whose ``<`` is escaped, so nothing in a
capture can end a script element or run code in the page.

Times are simulated (or captured) local wall time.  Charts over time share
one time axis that skips the hours without data (nights, the lunch break,
weekends).
"""
import html
import json
import math
import os
from datetime import datetime, timedelta

import plotly.graph_objects as go
from plotly.offline import get_plotlyjs
from plotly.subplots import make_subplots

MAX_ORDERS_DRAWN = 2000
MAX_AXIS_BREAKS = 400
GAP = timedelta(minutes=20)                 # a pause in the data longer than this is cut out of the time axis
STATUS_COLOURS = {"FILLED": "#2a9d3f", "CANCELLED": "#8c8c8c", "REJECTED": "#d62728",
                  "PARTIALLY_FILLED": "#ff7f0e", "ACTIVE": "#1f77b4"}

STYLE = """
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; margin: 24px auto; max-width: 1240px;
       color: #222; padding: 0 16px; }
h1 { font-size: 22px; margin-bottom: 4px; } h2 { font-size: 17px; margin: 28px 0 6px; }
.verdict { font-weight: 600; } .ok { color: #2a9d3f; } .failed { color: #d62728; }
table { border-collapse: collapse; margin: 6px 0 12px; } td, th { padding: 2px 10px; text-align: left; }
th { font-weight: 600; border-bottom: 1px solid #ccc; } td.n { text-align: right; font-variant-numeric: tabular-nums; }
.tables { display: flex; flex-wrap: wrap; gap: 12px 40px; align-items: flex-start; }
.chart { width: 100%; min-height: 320px; } .note { color: #666; font-size: 13px; }
pre { background: #f6f6f6; padding: 8px; overflow-x: auto; font-size: 12px; }
"""

# collects errors from the first line on, so that a test (or a reader) can see that every chart drew
PRELUDE = """
window.reportErrors = [];
window.addEventListener("error", function (e) { window.reportErrors.push(String(e.message || e)); });
"""

RENDER = """
(function () {
  var charts = JSON.parse(document.getElementById("chart-data").textContent);
  var ids = Object.keys(charts), drawn = 0, body = document.body;
  body.setAttribute("data-charts", String(ids.length));
  function done() {
    body.setAttribute("data-rendered", String(drawn));
    body.setAttribute("data-errors", String(window.reportErrors.length));
  }
  ids.forEach(function (id) {
    var fig = charts[id];
    Plotly.newPlot(id, fig.data, fig.layout, {responsive: true, displaylogo: false}).then(function (el) {
      if (el.querySelector(".main-svg")) { drawn += 1; el.setAttribute("data-rendered", "1"); }
      done();
    }, function (err) { window.reportErrors.push(String(err)); done(); });
  });
  done();
})();
"""


# ---------------------------------------------------------------- the two reports

def write_session_report(path, report):
    """Writes the page of one simulated session (``report`` as ``tessaline-sim --json`` writes it)."""
    report = report if isinstance(report, dict) else {}
    run = _dict(report.get("run"))
    days = _list(run.get("days"))
    title = (f"tessaline simulation: seed {run.get('seed', '?')}, {run.get('instruments', '?')} instruments, "
             f"{len(days)} trading day{'s' if len(days) != 1 else ''}"
             + (f" ({days[0]} .. {days[-1]})" if days else ""))
    page = Page(title)
    ok = report.get("ok")
    page.verdict(ok, "RESULT: OK — every invariant held, no callback raised" if ok else "RESULT: FAILED")
    tables = _session_tables(report)
    page.tables(tables[:2])
    timeline = _dict(report.get("timeline"))
    latency = _dict(_dict(report.get("timing")).get("latency_us_per_minute"))
    page.axis_times(_list(timeline.get("minutes")) + _list(latency.get("minutes"))
                    + [o.get("sent") for o in _list(timeline.get("orders")) if isinstance(o, dict)])
    page.events_per_minute(timeline)
    page.latency_per_minute(latency)
    page.order_lives(_list(timeline.get("orders")))
    page.positions_and_cash(_dict(timeline.get("positions")), _list(timeline.get("cash")))
    page.heading("Details")
    page.tables(tables[2:])
    page.write(path)


def write_replay_report(path, result):
    """Writes the page of a replay or of a comparison (``result`` as ``tessaline-replay --json`` writes it)."""
    result = result if isinstance(result, dict) else {}
    comparison = "replays" in result or "implementations" in result
    capture = result.get("capture")
    names = ", ".join(map(str, capture)) if isinstance(capture, list) else str(capture or "")
    page = Page(f"tessaline {'comparison' if comparison else 'replay'}" + (f": {names}" if names else ""))
    if comparison:
        agree = result.get("agree")
        differing = result.get("calls_differing")
        compared = result.get("calls_compared", result.get("calls"))
        if agree:
            page.verdict(True, f"the implementations agree on all {compared} calls")
        elif agree is None:
            page.verdict(False, "the comparison could not be made (an implementation or the capture failed)")
        else:
            page.verdict(False, f"the implementations differ on {differing} of {compared} calls")
    page.tables(_replay_tables(result, comparison))
    timelines = _dict(result.get("timelines")) if comparison else {}
    if not timelines and isinstance(result.get("timeline"), dict):
        timelines = {"replay": result["timeline"]}
    times = []
    for tl in timelines.values():
        tl = _dict(tl)
        times += _list(tl.get("minutes")) + [o.get("sent") for o in _list(tl.get("orders")) if isinstance(o, dict)]
    page.axis_times(times)
    if comparison:
        page.differences_along(result)
        page.differences_listed(_list(result.get("differences")))
    labelled = len(timelines) > 1
    for label, tl in timelines.items():
        tl = _dict(tl)
        prefix = f"{label}: " if labelled else ""
        page.events_per_minute(tl, prefix)
        page.latency_per_minute(dict(_dict(tl.get("latency_us_per_minute")), minutes=tl.get("minutes")), prefix,
                                replayed=True)
        page.order_lives(_list(tl.get("orders")), prefix)
    page.write(path)


# ---------------------------------------------------------------- the page

class Page:
    def __init__(self, title):
        self.title = title
        self.parts = []
        self.charts = {}
        self.breaks = []
        self.ticks = None

    def verdict(self, ok, text):
        self.parts.append(f'<p class="verdict {"ok" if ok else "failed"}">{_e(text)}</p>')

    def tables(self, tables):
        out = ['<div class="tables">']
        for caption, head, rows in tables:
            if not rows:
                continue
            out.append(f"<table><caption>{_e(caption)}</caption>")
            if head:
                out.append("<tr>" + "".join(f"<th>{_e(h)}</th>" for h in head) + "</tr>")
            for row in rows:
                out.append("<tr>" + "".join(_cell(v) for v in row) + "</tr>")
            out.append("</table>")
        out.append("</div>")
        self.parts.append("".join(out))

    def heading(self, text, note=None):
        self.parts.append(f"<h2>{_e(text)}</h2>" + (f'<p class="note">{_e(note)}</p>' if note else ""))

    def chart(self, fig, height=380):
        chart_id = f"chart-{len(self.charts) + 1}"
        fig.update_layout(height=height, margin=dict(l=60, r=20, t=30, b=40), template="plotly_white",
                          legend=dict(font=dict(size=11)), hovermode="closest")
        self.charts[chart_id] = fig
        self.parts.append(f'<div class="chart" id="{chart_id}"></div>')

    def axis_times(self, times):
        """Cuts the pauses longer than ``GAP`` out of every time axis of the page."""
        moments = sorted({t for t in (_parse_time(x) for x in times) if t is not None})
        segments = []                       # runs of data without a pause longer than GAP
        for t in moments:
            if segments and t - segments[-1][1] <= GAP:
                segments[-1][1] = t
            else:
                segments.append([t, t])
        if not 1 < len(segments) <= MAX_AXIS_BREAKS:
            self.breaks, self.ticks = [], None
            return
        self.breaks = [dict(bounds=[_iso(a[1] + timedelta(minutes=2)), _iso(b[0] - timedelta(minutes=1))])
                       for a, b in zip(segments, segments[1:])]
        # the automatic ticks ignore the cuts; these mark each run's start and its full hours (quarter
        # hours in a short run), leaving out a tick too close along the axis to the one before it,
        # except that a day's first tick (which carries the date) takes the place of its neighbour
        # (a weekend's timer runs are a few minutes wide)
        visible = sum((end - start for start, end in segments), timedelta()) + len(segments) * timedelta(minutes=3)
        spacing = visible / 24
        ticks, last_day, offset = [], None, timedelta()
        for start, end in segments:
            quarter = end - start < timedelta(hours=2)
            t = start
            while t <= end:
                at = offset + (t - start)
                new_day = t.date() != last_day
                last_day = t.date()
                tick = (at, _iso(t), f"{t:%H:%M}<br>{t:%a %Y-%m-%d}" if new_day else f"{t:%H:%M}", new_day)
                if not ticks or at - ticks[-1][0] >= spacing:
                    ticks.append(tick)
                elif new_day:                  # of two days close together, the later one goes on
                    ticks[-1] = tick
                floor = t.replace(minute=t.minute // 15 * 15 if quarter else 0, second=0, microsecond=0)
                t = floor + (timedelta(minutes=15) if quarter else timedelta(hours=1))
            offset += end - start + timedelta(minutes=3)
        self.ticks = ([t[1] for t in ticks], [t[2] for t in ticks])

    def _time_axes(self, fig):
        fig.update_xaxes(type="date", rangebreaks=self.breaks)
        if self.ticks:
            fig.update_xaxes(tickmode="array", tickvals=self.ticks[0], ticktext=self.ticks[1], tickangle=0,
                             tickfont=dict(size=10))

    # -- charts

    def events_per_minute(self, timeline, prefix=""):
        minutes = _list(timeline.get("minutes"))
        per_type = _dict(timeline.get("events_per_minute"))
        if not minutes or not per_type:
            return
        fig = go.Figure()
        for name, counts in per_type.items():
            counts = _list(counts)
            fig.add_trace(go.Scatter(x=minutes, y=[c if _positive(c) else None for c in counts], name=str(name),
                                     mode="lines+markers", marker=dict(size=3), line=dict(width=1),
                                     connectgaps=False))
        fig.update_yaxes(type="log", title_text="events per minute")
        self._time_axes(fig)
        self.heading(f"{prefix}Events per minute by type",
                     "Each event type the host drained, per minute of the day (log scale; a minute without "
                     "that type shows no point). Click a type in the legend to hide it.")
        self.chart(fig, 420)

    def latency_per_minute(self, latency, prefix="", replayed=False):
        minutes = _list(latency.get("minutes"))
        if not minutes or not any(_list(latency.get(q)) for q in ("p50", "p90", "p99")):
            return
        fig = go.Figure()
        for q, colour in (("p50", "#1f77b4"), ("p90", "#ff7f0e"), ("p99", "#d62728")):
            values = _list(latency.get(q))
            if values:
                fig.add_trace(go.Scatter(x=minutes, y=[v if _positive(v) else None for v in values], name=q,
                                         mode="lines", line=dict(width=1.2, color=colour)))
        fig.update_yaxes(type="log", title_text="µs")
        self._time_axes(fig)
        what = "the replayed callbacks' own time in the replay" if replayed else "each module callback's duration"
        self.heading(f"{prefix}Callback latency percentiles per minute",
                     f"p50, p90 and p99 of {what}, per minute (µs, log scale).")
        self.chart(fig)

    def order_lives(self, orders, prefix=""):
        orders = [o for o in orders if isinstance(o, dict) and _parse_time(o.get("sent"))]
        if not orders:
            return
        shown = sorted(orders, key=lambda o: str(o.get("sent")))[:MAX_ORDERS_DRAWN]
        by_status = {}
        for o in shown:
            by_status.setdefault(str(o.get("status") or "unknown"), []).append(o)
        fig = go.Figure()
        labels = []
        for status, group in sorted(by_status.items()):
            xs, ys, texts = [], [], []
            for o in group:
                label = " ".join(str(o[k]) for k in ("order_id", "code", "side", "quantity") if o.get(k) is not None)
                labels.append(label)
                sent, final = o.get("sent"), o.get("final")
                text = f"{label}<br>{status}" + (f" ({o['intent']})" if o.get("intent") else "") + \
                       f"<br>sent {sent}<br>final {final or '—'}"
                ends = [sent, final] if _parse_time(final) else [sent]
                xs += ends + [None]
                ys += [label] * len(ends) + [None]
                texts += [text] * len(ends) + [None]
            fig.add_trace(go.Scatter(x=xs, y=ys, name=status, mode="lines+markers", hovertext=texts,
                                     hoverinfo="text", marker=dict(size=5), line=dict(width=3),
                                     marker_color=STATUS_COLOURS.get(status, "#9467bd"),
                                     line_color=STATUS_COLOURS.get(status, "#9467bd")))
        order_of_labels = [" ".join(str(o[k]) for k in ("order_id", "code", "side", "quantity")
                                    if o.get(k) is not None) for o in shown]
        fig.update_yaxes(type="category", categoryorder="array", categoryarray=order_of_labels[::-1],
                         tickfont=dict(size=9), showticklabels=len(shown) <= 150)
        self._time_axes(fig)
        note = "Each order from the moment it was sent to the report that gave it its final status, " \
               "coloured by that status (a single point: no final status)."
        if len(orders) > len(shown):
            note += f" The first {len(shown)} of {len(orders)} orders are drawn."
        self.heading(f"{prefix}Each order's life", note)
        self.chart(fig, max(320, min(3000, 60 + 13 * len(shown))))

    def positions_and_cash(self, positions, cash):
        positions = {code: _list(moves) for code, moves in positions.items() if _list(moves)}
        cash = [c for c in cash if isinstance(c, (list, tuple)) and len(c) == 2]
        if not positions and not cash:
            return
        fig = make_subplots(rows=2, cols=1, shared_xaxes=True, vertical_spacing=0.06, row_heights=[0.6, 0.4],
                            subplot_titles=("position (shares), every line that moved", "cash"))
        for code, moves in sorted(positions.items()):
            pairs = [m for m in moves if isinstance(m, (list, tuple)) and len(m) == 2]
            fig.add_trace(go.Scatter(x=[m[0] for m in pairs], y=[m[1] for m in pairs], name=str(code),
                                     mode="lines", line_shape="hv", line=dict(width=1.2)), row=1, col=1)
        if cash:
            fig.add_trace(go.Scatter(x=[c[0] for c in cash], y=[c[1] for c in cash], name="cash",
                                     mode="lines", line_shape="hv", line=dict(width=1.5, color="#222")),
                          row=2, col=1)
        self._time_axes(fig)
        self.heading("Positions and cash over the day",
                     "The host's own book, from its first position and asset answers, moved by every fill.")
        self.chart(fig, 560)

    def differences_along(self, result):
        at = [p for p in _list(result.get("differences_at")) if isinstance(p, int) and not isinstance(p, bool)]
        if not at:
            at = [d.get("position") for d in _list(result.get("differences"))
                  if isinstance(d, dict) and isinstance(d.get("position"), int)]
        total = result.get("calls_compared") or result.get("calls")
        if not at:
            if result.get("agree"):
                self.heading("Where along the capture the differences fall", "Nowhere: no call differs.")
            return
        fig = go.Figure()
        end = total if isinstance(total, int) and total > 0 else max(at) + 1
        fig.add_trace(go.Histogram(x=at, name="differing calls", marker_color="#d62728",
                                   xbins=dict(start=0, end=end, size=max(1, end // 200)),
                                   hovertemplate="calls %{x}<br>%{y} differ<extra></extra>"))
        start = 0
        for f in _list(result.get("files"))[:-1]:
            if isinstance(f, dict) and isinstance(f.get("calls"), int):
                start += f["calls"]
                fig.add_vline(x=start, line_dash="dot", line_color="#888")
        fig.update_xaxes(title_text="call position in the capture", range=[0, end])
        fig.update_yaxes(title_text="differing calls")
        self.heading("Where along the capture the differences fall",
                     f"{len(at)} differing calls over {end} calls, in bins of {max(1, end // 200)} calls"
                     + (" (dotted lines: where each capture file ends)" if len(_list(result.get("files"))) > 1
                        else "") + ".")
        self.chart(fig, 300)

    def differences_listed(self, differences):
        if not differences:
            return
        out = ["<h2>The first differences</h2>"]
        for d in differences[:10]:
            if not isinstance(d, dict):
                continue
            out.append(f"<p>#{_e(d.get('position'))} {_e(d.get('callback'))} "
                       f"({_e(d.get('implementation'))})</p>")
            what = d.get("what")
            lines = what if isinstance(what, list) else [what]
            out.append("<pre>" + _e("\n".join(str(x) for x in lines if x is not None)) + "</pre>")
        self.parts.append("".join(out))

    # -- output

    def html(self):
        data = {cid: _finite(json.loads(fig.to_json())) for cid, fig in self.charts.items()}
        payload = json.dumps(data, separators=(",", ":"), allow_nan=False, default=str).replace("<", "\\u003c")
        body = "\n".join(self.parts) if self.parts else "<p>No data.</p>"
        return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">\n'
                f'<meta name="viewport" content="width=device-width, initial-scale=1">\n'
                f"<title>{_e(self.title)}</title>\n<style>{STYLE}</style>\n"
                f"<script>{PRELUDE}</script>\n<script>{get_plotlyjs()}</script>\n</head>\n<body>\n"
                f"<h1>{_e(self.title)}</h1>\n{body}\n"
                f'<script type="application/json" id="chart-data">{payload}</script>\n'
                f"<script>{RENDER}</script>\n</body></html>\n")

    def write(self, path):
        text = self.html()
        if hasattr(path, "write"):
            path.write(text)
            return
        with open(os.fspath(path), "w", encoding="utf-8") as f:
            f.write(text)


# ---------------------------------------------------------------- tables

def _session_tables(report):
    run = _dict(report.get("run"))
    timing = _dict(report.get("timing"))
    rows = [("seed", run.get("seed")), ("instruments", run.get("instruments")),
            ("trading days", ", ".join(map(str, _list(run.get("days"))))), ("delivery", run.get("delivery")),
            ("snapshot interval", f"{run.get('snapshot_interval_ms')} ms"),
            ("continuous minutes", f"{run.get('minutes_per_half')} + {run.get('minutes_per_half')}"),
            ("wall time", f"{timing.get('wall_s')} s"), ("module callbacks", timing.get("callbacks")),
            ("events drained", report.get("events_total"))]
    tables = [("The session", None, [r for r in rows if r[1] not in (None, "", "None ms", "None + None")])]
    latency = _dict(timing.get("latency"))
    tables.append(("Callback latency (µs)", ("callback", "calls", "p50", "p99", "max"),
                   [(name, s.get("calls"), s.get("p50_us"), s.get("p99_us"), s.get("max_us"))
                    for name, s in latency.items() if isinstance(s, dict)]))
    orders = _dict(report.get("orders"))
    fills = _dict(report.get("fills"))
    cash = _dict(report.get("cash"))
    rows = [("sent", orders.get("sent"))] + [(f"final status {k}", v) for k, v in
                                              _dict(orders.get("by_status")).items()]
    rows += [("fills", fills.get("count")), ("shares filled", fills.get("quantity")),
             ("notional", fills.get("notional")), ("algo child fills", fills.get("algo_count")),
             ("cash (host)", cash.get("host")), ("cash (counter)", cash.get("counter"))]
    tables.insert(1, ("Orders and fills", None, [r for r in rows if r[1] is not None]))
    tables.append(("Events by type", ("event", "count"), list(_dict(report.get("events")).items())))
    invariants = [i for i in _list(report.get("invariants")) if isinstance(i, dict)]
    tables.append(("Invariants", ("invariant", "checks", "failed"),
                   [(i.get("name"), i.get("checks"), i.get("failures")) for i in invariants]))
    return tables


def _replay_tables(result, comparison):
    tables = []
    files = [f for f in _list(result.get("files")) if isinstance(f, dict)]
    if files:
        tables.append(("Capture files", ("file", "calls", "gaps"),
                       [(f.get("path"), f.get("calls"), f.get("gaps")) for f in files]))
    if comparison:
        rows = []
        for s in _list(result.get("replays")):
            s = _dict(s)
            sm = _dict(s.get("summary"))
            rows.append((s.get("impl"), "ok" if s.get("ok") else f"failed: {s.get('error', '')}",
                         sm.get("calls"), sm.get("seconds"), sum(v for v in _dict(sm.get("events")).values()
                                                                 if isinstance(v, int)),
                         len(_dict(sm.get("raised_replay")))))
        tables.append(("Implementations", ("implementation", "replay", "calls", "seconds", "events", "raised"),
                       rows))
    else:
        rows = [("calls", result.get("calls")), ("seconds", result.get("seconds")),
                ("calls per second", result.get("calls_per_second")),
                ("raised live", len(_dict(result.get("raised_live")))),
                ("raised in the replay", len(_dict(result.get("raised_replay"))))]
        tables.append(("The replay", None, [r for r in rows if r[1] is not None]))
        tables.append(("Callbacks", ("callback", "calls"), list(_dict(result.get("callbacks")).items())))
        tables.append(("Events", ("event", "count"), list(_dict(result.get("events")).items())))
    return tables


# ---------------------------------------------------------------- helpers

def _e(value):
    return html.escape("" if value is None else str(value))


def _cell(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return f"<td>{_e(value)}</td>"
    return f'<td class="n">{value:,}</td>' if isinstance(value, int) else f'<td class="n">{value:,.2f}</td>'


def _dict(value):
    return value if isinstance(value, dict) else {}


def _list(value):
    return value if isinstance(value, list) else []


def _positive(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool) and value > 0 and value == value \
        and value != float("inf")


def _finite(value):
    """NaN and infinities become null: a browser's JSON parser takes neither."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, list):
        return [_finite(v) for v in value]
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    return value


def _iso(t):
    return t.strftime("%Y-%m-%d %H:%M:%S")


def _parse_time(text):
    if not isinstance(text, str):
        return None
    for fmt in ("%Y-%m-%d %H:%M:%S.%f", "%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M"):
        try:
            return datetime.strptime(text, fmt)
        except ValueError:
            continue
    return None
