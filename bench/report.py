#!/usr/bin/env python3
"""Turns one `make bench` run into a table, bench/RESULTS.md and a chart.

Reads the Google Benchmark JSON files and the callgrind dumps that
scripts/run-bench leaves in its results directory, prints the tables, and,
with --markdown and --chart, writes the results page and an SVG chart of the
overhead ratios, the handle scaling and the thread hand-over. Standard library
only; the SVG is written by hand.
"""

import argparse
import datetime
import glob
import json
import math
import os
import platform
import re
import statistics
import subprocess
import sys

CRYPTO_ROWS = [
    ("Sign", 2048),
    ("Sign", 4096),
    ("Verify", 2048),
    ("Encrypt", 2048),
    ("Decrypt", 2048),
]
VARIANTS = ("table", "capi", "openssl")
# A 1-minute load average from which the figures count as taken on a busy
# machine.
BUSY_LOAD = 1.5
ENTRY_OF = {"Sign": "KspSignHash(", "Verify": "KspVerifySignature(", "Encrypt": "KspEncrypt(",
            "Decrypt": "KspDecrypt("}


# ---- Reading ---------------------------------------------------------------


def load_runs(directory):
    """Every per-repetition run of every JSON file, and the 1-minute load
    average at the start of each file's run."""
    runs = []
    loads = []
    for path in sorted(glob.glob(os.path.join(directory, "*.json"))):
        with open(path, encoding="utf-8") as handle:
            data = json.load(handle)
        load_avg = data.get("context", {}).get("load_avg") or []
        if load_avg:
            loads.append(float(load_avg[0]))
        for bench in data.get("benchmarks", []):
            if bench.get("run_type") == "iteration" and not bench.get("error_occurred"):
                # A run's own minimum time shows in its name; the figures
                # are looked up without it.
                bench["name"] = re.sub(r"/min_time:[^/]*", "", bench["name"])
                runs.append(bench)
    return runs, loads


def median_of(runs, name, field):
    values = [r[field] for r in runs if r["name"] == name and field in r]
    return statistics.median(values) if values else None


def cpu_ns(runs, name):
    """Median CPU time per iteration in nanoseconds."""
    values = []
    for run in runs:
        if run["name"] != name:
            continue
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[run["time_unit"]]
        values.append(run["cpu_time"] * scale)
    return statistics.median(values) if values else None


def callgrind_counts(directory):
    """Instructions per call by operation, from the callgrind dumps.

    Each dump names its operation ("desc: Trigger: Client Request: <op>");
    its total divided by the number of calls (calls.txt: "<op> <N>" lines)
    is the count per call. callgrind_annotate gives the inclusive cost of the
    functions in it, for the breakdowns.
    """
    counts = {}
    breakdown = {}
    calls = {}
    calls_file = os.path.join(directory, "calls.txt")
    if os.path.exists(calls_file):
        with open(calls_file, encoding="utf-8") as handle:
            for line in handle:
                parts = line.split()
                if len(parts) == 2:
                    calls[parts[0]] = int(parts[1])
    for path in sorted(glob.glob(os.path.join(directory, "*.out.*"))):
        operation = None
        total = None
        with open(path, encoding="utf-8", errors="replace") as handle:
            for line in handle:
                if line.startswith("desc: Trigger: Client Request: "):
                    operation = line.split(":", 3)[3].strip()
                elif line.startswith("totals:"):
                    total = int(line.split()[1])
        if operation is None or total is None:
            continue
        n = calls.get(operation)
        if not n:
            continue
        counts[operation] = total / n
        breakdown[operation] = inclusive_costs(path, n)
    return counts, breakdown


def inclusive_costs(path, n):
    try:
        text = subprocess.run(
            ["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
    except (OSError, subprocess.CalledProcessError):
        return {}
    costs = {}
    pattern = re.compile(r"^\s*([\d,]+)\s+\([^)]*\)\s+(?:[^:\s]*:)?(.+?)\s+\[")
    for line in text.splitlines():
        match = pattern.match(line)
        if match:
            costs.setdefault(match.group(2), int(match.group(1).replace(",", "")) / n)
    return costs


def cost_of(costs, prefix):
    """The inclusive cost per call of the functions whose name starts so."""
    return sum(v for k, v in costs.items() if k.startswith(prefix))


# ---- Machine ---------------------------------------------------------------


def machine():
    info = {}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            key, _, value = line.partition(":")
            info[key.strip()] = value.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    mem_kib = 0
    try:
        with open("/proc/meminfo", encoding="utf-8") as handle:
            for line in handle:
                if line.startswith("MemTotal:"):
                    mem_kib = int(line.split()[1])
    except OSError:
        pass
    return {
        "cpu": info.get("Model name", platform.processor() or "unknown"),
        "cores": info.get("CPU(s)", str(os.cpu_count())),
        "memory": f"{mem_kib / 1024 / 1024:.1f} GiB" if mem_kib else "unknown",
        "kernel": f"{platform.system()} {platform.release()}",
    }


# ---- Formatting --------------------------------------------------------------


def fmt(value, digits=1, suffix=""):
    if value is None:
        return "—"
    return f"{value:,.{digits}f}{suffix}"


def fmt_ratio(value):
    return "—" if value is None else f"{value:.4f}"


def fmt_percent(ratio):
    return "—" if ratio is None else f"{(ratio - 1) * 100:+.2f} %"


def table(headers, rows, align=None):
    align = align or (["l"] + ["r"] * (len(headers) - 1))
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) if rows else len(str(h))
              for i, h in enumerate(headers)]

    def line(cells):
        out = []
        for i, cell in enumerate(cells):
            cell = str(cell)
            out.append(cell.ljust(widths[i]) if align[i] == "l" else cell.rjust(widths[i]))
        return "| " + " | ".join(out) + " |"

    rule = "|" + "|".join(("-" * (w + 1) + ":") if a == "r" else (":" + "-" * (w + 1))
                          for w, a in zip(widths, align)) + "|"
    return "\n".join([line(headers), rule] + [line(r) for r in rows])


# ---- The figures -------------------------------------------------------------


def crypto_figures(runs, counts, breakdown):
    rows = []
    ir_rows = []
    data = []
    for operation, bits in CRYPTO_ROWS:
        name = f"Crypto/{operation}/{bits}"
        t = {v: median_of(runs, name, f"{v}_us") for v in VARIANTS}
        bridge = median_of(runs, name, "table/capi")
        csp = median_of(runs, name, "capi/openssl")
        total = median_of(runs, name, "table/openssl")
        key = operation.lower()
        ir = {v: counts.get(f"{key}-{v}") if bits == 2048 else None for v in VARIANTS}
        ir_ratio = ir["table"] / ir["capi"] if ir["table"] and ir["capi"] else None
        # From the inclusive costs of the table's dump: the module's own
        # instructions (its entry less every CryptoAPI call it makes), and
        # the CryptoAPI queries it makes beyond the direct sequence (the key
        # length and the hash size).
        own = extra = None
        costs = breakdown.get(f"{key}-table") if bits == 2048 else None
        if costs:
            in_entry = cost_of(costs, ENTRY_OF[operation])
            in_capi = sum(v for k, v in costs.items() if k.startswith("Crypt"))
            if in_entry:
                own = in_entry - in_capi
            extra = cost_of(costs, "CryptGetKeyParam") + cost_of(costs, "CryptGetHashParam")
        data.append({"label": f"{operation} {bits}", "bridge": bridge, "total": total, "csp": csp,
                     "instructions": ir_ratio})
        rows.append([
            f"{operation} RSA-{bits}",
            fmt(t["table"]), fmt(t["capi"]), fmt(t["openssl"]),
            f"{fmt_ratio(bridge)} ({fmt_percent(bridge)})",
            fmt_ratio(csp), fmt_ratio(total),
        ])
        if bits == 2048:
            ir_rows.append([
                f"{operation} RSA-{bits}",
                fmt(ir["table"], 0), fmt(ir["capi"], 0), fmt(ir["openssl"], 0),
                f"{fmt_ratio(ir_ratio)} ({fmt_percent(ir_ratio)})" if ir_ratio else "—",
                fmt(own, 0), fmt(extra, 0),
            ])
    headers = ["operation", "table µs", "CryptoAPI µs", "OpenSSL µs", "table / CryptoAPI",
               "CryptoAPI / OpenSSL", "table / OpenSSL"]
    ir_headers = ["operation", "table", "CryptoAPI", "OpenSSL", "table / CryptoAPI", "the module's own code",
                  "its extra CryptoAPI queries"]
    return table(headers, rows), table(ir_headers, ir_rows), data


def frame_figures(runs, counts, breakdown):
    rows = []
    entries = [
        ("GetProviderProperty(\"Version\")", "Frame/GetProviderProperty_Version", "version",
         "KspGetProviderProperty(", "CKspProviderContext::GetProviderProperty("),
        ("EnumAlgorithms", "Frame/EnumAlgorithms", "enum", "KspEnumAlgorithms(",
         "CKspProviderContext::EnumAlgorithms("),
    ]
    for label, name, key, entry, operation in entries:
        costs = breakdown.get(key, {})
        in_entry = cost_of(costs, entry) or None
        lock = (cost_of(costs, "CTSSyncLock::CTSSyncLock(") + cost_of(costs, "CTSSyncLock::~CTSSyncLock(")) or None
        op = cost_of(costs, operation) or None
        rows.append([label, fmt(cpu_ns(runs, name)), fmt(counts.get(key), 0), fmt(in_entry, 0), fmt(lock, 0),
                     fmt(op, 0)])
    rows.append(["CryptGetKeyParam(KP_KEYLEN), direct (for scale)",
                 fmt(cpu_ns(runs, "Frame/CryptGetKeyParam_direct")), "—", "—", "—", "—"])
    headers = ["call (reaches no CSP)", "ns / call", "instr. / call", "instr. in the entry",
               "of which the lock", "of which the operation"]
    return table(headers, rows)


def module_own(breakdown, key, entry):
    """The module's own instructions per call: its entry less every
    CryptoAPI call it makes."""
    costs = breakdown.get(key)
    if not costs or not cost_of(costs, entry):
        return None
    return cost_of(costs, entry) - sum(v for k, v in costs.items() if k.startswith("Crypt"))


def protector_figures(with_ssp, without_ssp):
    """The stack protector's cost: each figure from the build without it and
    from the build with it, and their ratio."""
    (runs_on, counts_on, breakdown_on), (runs_off, counts_off, breakdown_off) = with_ssp, without_ssp
    rows = []

    def row(label, off, on, digits):
        change = f"{fmt_ratio(on / off)} ({fmt_percent(on / off)})" if on and off else "—"
        rows.append([label, fmt(off, digits), fmt(on, digits), change])

    for operation, bits in CRYPTO_ROWS:
        name = f"Crypto/{operation}/{bits}"
        row(f"{operation} RSA-{bits}: table / CryptoAPI (time)", median_of(runs_off, name, "table/capi"),
            median_of(runs_on, name, "table/capi"), 4)
    for operation, bits in CRYPTO_ROWS:
        if bits == 2048:
            key = f"{operation.lower()}-table"
            row(f"{operation} RSA-2048: the module's own instructions", module_own(breakdown_off, key, ENTRY_OF[operation]),
                module_own(breakdown_on, key, ENTRY_OF[operation]), 0)
    for label, key, name in (("GetProviderProperty(\"Version\")", "version", "Frame/GetProviderProperty_Version"),
                             ("EnumAlgorithms", "enum", "Frame/EnumAlgorithms")):
        row(f"frame, {label}: instructions / call", counts_off.get(key), counts_on.get(key), 0)
        row(f"frame, {label}: ns / call", cpu_ns(runs_off, name), cpu_ns(runs_on, name), 1)
    return table(["figure", "without", "with -fstack-protector-strong", "with / without"], rows)


def handle_figures(runs):
    counts = sorted({int(r["name"].rsplit("/", 1)[1]) for r in runs if r["name"].startswith("Handles/")})
    rows = []
    data = []
    for n in counts:
        lookup = cpu_ns(runs, f"Handles/Lookup_table/{n}")
        lookup_capi = cpu_ns(runs, f"Handles/Lookup_capi/{n}")
        hot = cpu_ns(runs, f"Handles/LookupHot_table/{n}")
        open_table = median_of(runs, f"Handles/OpenFree/{n}", "table_us")
        open_capi = median_of(runs, f"Handles/OpenFree/{n}", "capi_us")
        ratio = median_of(runs, f"Handles/OpenFree/{n}", "table/capi")
        share = lookup - lookup_capi if lookup is not None and lookup_capi is not None else None
        data.append({"n": n, "lookup": lookup, "lookup_capi": lookup_capi, "hot": hot})
        rows.append([f"{n:,}", fmt(lookup), fmt(lookup_capi), fmt(share), fmt(hot),
                     fmt(open_table), fmt(open_capi), fmt_ratio(ratio)])
    headers = ["keys open", "lookup ns (table, random key)", "CryptoAPI ns (random key)", "table − CryptoAPI",
               "lookup ns (table, same key)", "OpenKey+FreeKey µs (median)", "CryptoAPI µs (median)",
               "table / CryptoAPI"]
    return table(headers, rows), data


def thread_figures(runs):
    series = [("Sign_table", "SignHash via the table"), ("Sign_capi", "CryptSignHashW direct"),
              ("Version_table", "GetProviderProperty(\"Version\") via the table")]
    threads = sorted({r["threads"] for r in runs if r["name"].startswith("Threads/")})
    rows = []
    data = {key: [] for key, _ in series}
    base = {}
    for key, _ in series:
        base[key] = median_of(runs, f"Threads/{key}/real_time/threads:1", "items_per_second")
    for t in threads:
        row = [str(t)]
        for key, _ in series:
            ips = median_of(runs, f"Threads/{key}/real_time/threads:{t}", "items_per_second")
            rel = ips / base[key] if ips and base[key] else None
            data[key].append((t, rel))
            if key == "Version_table":
                row += [fmt(ips / 1e6 if ips else None, 2, " M/s"), fmt_ratio(rel)]
            else:
                row += [fmt(ips, 0, " /s"), fmt_ratio(rel)]
        rows.append(row)
    headers = ["threads", "table sign", "vs 1 thread", "CryptoAPI sign", "vs 1 thread", "table Version",
               "vs 1 thread"]
    return table(headers, rows), data, series


def memory_figures(runs):
    name = "Memory/OpenSignFree/iterations:1"
    get = lambda field: median_of(runs, name, field)  # noqa: E731
    if get("cycles") is None:
        return "(not measured)"
    rows = [[fmt(get("cycles"), 0), fmt(get("rss_before_kib"), 0, " KiB"), fmt(get("rss_after_kib"), 0, " KiB"),
             fmt(get("rss_growth_kib"), 0, " KiB"), fmt(get("module_blocks_before"), 0),
             fmt(get("module_blocks_after"), 0)]]
    headers = ["open/sign/free cycles", "resident before", "resident after", "growth",
               "module blocks before", "module blocks after"]
    return table(headers, rows)


# ---- The chart ---------------------------------------------------------------

PALETTE = ["#1f6feb", "#d9480f", "#2f9e44", "#7048e8"]


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


class Svg:
    def __init__(self, width, height):
        self.width, self.height = width, height
        self.parts = []

    def add(self, element):
        self.parts.append(element)

    def text(self, x, y, s, size=12, anchor="start", weight="normal", color="#222", rotate=None):
        transform = f' transform="rotate({rotate} {x:.1f} {y:.1f})"' if rotate else ""
        self.add(f'<text x="{x:.1f}" y="{y:.1f}" font-size="{size}" text-anchor="{anchor}" '
                 f'font-weight="{weight}" fill="{color}"{transform}>{esc(s)}</text>')

    def line(self, x1, y1, x2, y2, color="#999", width=1, dash=None):
        dash_attr = f' stroke-dasharray="{dash}"' if dash else ""
        self.add(f'<line x1="{x1:.1f}" y1="{y1:.1f}" x2="{x2:.1f}" y2="{y2:.1f}" stroke="{color}" '
                 f'stroke-width="{width}"{dash_attr}/>')

    def rect(self, x, y, w, h, color):
        self.add(f'<rect x="{x:.1f}" y="{y:.1f}" width="{max(w, 0):.1f}" height="{max(h, 0):.1f}" fill="{color}"/>')

    def polyline(self, points, color, width=2):
        pts = " ".join(f"{x:.1f},{y:.1f}" for x, y in points)
        self.add(f'<polyline points="{pts}" fill="none" stroke="{color}" stroke-width="{width}"/>')
        for x, y in points:
            self.add(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="3.5" fill="{color}"/>')

    def render(self):
        return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{self.width}" height="{self.height}" '
                f'viewBox="0 0 {self.width} {self.height}" font-family="DejaVu Sans, Arial, sans-serif">\n'
                f'<rect width="100%" height="100%" fill="white"/>\n' + "\n".join(self.parts) + "\n</svg>\n")


def nice_ticks(lo, hi, count=5):
    span = hi - lo if hi > lo else 1.0
    step = 10 ** math.floor(math.log10(span / count))
    for mult in (1, 2, 2.5, 5, 10):
        if span / (step * mult) <= count:
            step *= mult
            break
    first = math.floor(lo / step) * step
    ticks = []
    value = first
    while value <= hi + step * 1e-9:
        ticks.append(round(value, 10))
        value += step
    return ticks


def legend(svg, x, y, entries):
    for i, (label, color) in enumerate(entries):
        svg.rect(x, y + i * 18 - 9, 12, 12, color)
        svg.text(x + 18, y + i * 18 + 2, label, size=11)


def panel_overhead(svg, x0, y0, w, h, data):
    svg.text(x0 + w / 2, y0 + 16, "Cost over the direct call, % (median)", size=14, anchor="middle", weight="bold")
    left, top, bottom = x0 + 50, y0 + 40, y0 + h - 88
    right = x0 + w - 10
    series = [("bridge", "time, table vs CryptoAPI direct", PALETTE[0]),
              ("instructions", "instructions, table vs CryptoAPI direct", PALETTE[3]),
              ("total", "time, table vs OpenSSL alone", PALETTE[1])]
    values = [(d[key] - 1) * 100 for d in data for key, _, _ in series if d[key] is not None]
    lo = min([0.0] + values)
    hi = max([1.0] + values) * 1.15
    ticks = nice_ticks(lo, hi)
    lo, hi = min(lo, ticks[0]), max(hi, ticks[-1])
    scale = lambda v: bottom - (v - lo) / (hi - lo) * (bottom - top)  # noqa: E731
    for t in ticks:
        svg.line(left, scale(t), right, scale(t), color="#e5e5e5")
        svg.text(left - 6, scale(t) + 4, f"{t:g}", size=10, anchor="end")
    svg.line(left, scale(0), right, scale(0), color="#444")
    svg.line(left, scale(1), right, scale(1), color="#c92a2a", dash="5,4")
    svg.text(left + 4, scale(1) - 4, "1 %", size=10, color="#c92a2a")
    group = (right - left) / max(len(data), 1)
    bar = group / (len(series) + 1.5)
    for i, d in enumerate(data):
        gx = left + i * group + bar * 0.75
        for j, (key, _, color) in enumerate(series):
            if d[key] is None:
                continue
            v = (d[key] - 1) * 100
            y1, y2 = scale(max(v, 0)), scale(min(v, 0))
            svg.rect(gx + j * bar, y1, bar * 0.9, y2 - y1, color)
            svg.text(gx + j * bar + bar * 0.45, y1 - 3 if v >= 0 else y2 + 11, f"{v:.1f}", size=9, anchor="middle")
        svg.text(left + i * group + group / 2, bottom + 16, d["label"], size=11, anchor="middle")
    legend(svg, left, bottom + 36, [(label, color) for _, label, color in series])


def panel_handles(svg, x0, y0, w, h, data):
    svg.text(x0 + w / 2, y0 + 16, "Key-handle lookup, ns of CPU (log scales)", size=14, anchor="middle",
             weight="bold")
    left, top, bottom = x0 + 55, y0 + 40, y0 + h - 88
    right = x0 + w - 15
    series = [("lookup", "table, random key", PALETTE[0]), ("lookup_capi", "CryptoAPI direct, random key", PALETTE[1]),
              ("hot", "table, same key each time", PALETTE[2])]
    points = [d for d in data if d["n"] > 0]
    values = [d[key] for d in points for key, _, _ in series if d[key]]
    if not points or not values:
        return
    ylo = 10 ** math.floor(math.log10(min(values)))
    yhi = 10 ** math.ceil(math.log10(max(values)))
    xs = [math.log10(d["n"]) for d in points]
    xlo, xhi = min(xs), max(xs) if max(xs) > min(xs) else min(xs) + 1
    sx = lambda n: left + (math.log10(n) - xlo) / (xhi - xlo) * (right - left)  # noqa: E731
    sy = lambda v: bottom - (math.log10(v) - math.log10(ylo)) / (math.log10(yhi) - math.log10(ylo)) * (bottom - top)  # noqa: E731,E501
    decade = ylo
    while decade <= yhi * 1.0001:
        svg.line(left, sy(decade), right, sy(decade), color="#e5e5e5")
        svg.text(left - 6, sy(decade) + 4, f"{decade:g}", size=10, anchor="end")
        decade *= 10
    for d in points:
        svg.line(sx(d["n"]), top, sx(d["n"]), bottom, color="#f0f0f0")
        svg.text(sx(d["n"]), bottom + 16, f"{d['n']:,}", size=10, anchor="middle")
    svg.text((left + right) / 2, bottom + 32, "keys open", size=11, anchor="middle")
    for key, _, color in series:
        svg.polyline([(sx(d["n"]), sy(d[key])) for d in points if d[key]], color)
    legend(svg, left, bottom + 52, [(label, color) for _, label, color in series])


def panel_threads(svg, x0, y0, w, h, data, series):
    svg.text(x0 + w / 2, y0 + 16, "Threads at once: throughput vs 1 thread", size=14, anchor="middle",
             weight="bold")
    left, top, bottom = x0 + 45, y0 + 40, y0 + h - 88
    right = x0 + w - 15
    values = [rel for key, _ in series for _, rel in data.get(key, []) if rel]
    threads = sorted({t for key, _ in series for t, _ in data.get(key, [])})
    if not values or not threads:
        return
    hi = max(2.2, max(values) * 1.1)
    ticks = nice_ticks(0, hi)
    hi = ticks[-1]
    sx = lambda t: left + (math.log2(t) / math.log2(max(threads)) if max(threads) > 1 else 0) * (right - left)  # noqa: E731,E501
    sy = lambda v: bottom - v / hi * (bottom - top)  # noqa: E731
    for t in ticks:
        svg.line(left, sy(t), right, sy(t), color="#e5e5e5")
        svg.text(left - 6, sy(t) + 4, f"{t:g}", size=10, anchor="end")
    svg.line(left, sy(1), right, sy(1), color="#444", dash="5,4")
    for t in threads:
        svg.text(sx(t), bottom + 16, str(t), size=10, anchor="middle")
    svg.text((left + right) / 2, bottom + 32, "threads", size=11, anchor="middle")
    colors = {}
    for i, (key, _) in enumerate(series):
        colors[key] = PALETTE[i]
        svg.polyline([(sx(t), sy(rel)) for t, rel in data.get(key, []) if rel], PALETTE[i])
    legend(svg, left, bottom + 52, [(label, colors[key]) for key, label in series])


def write_chart(path, crypto, handles, threads, thread_series, subtitle):
    svg = Svg(1380, 520)
    svg.text(690, 24, "QvnTpmKsp: cost of the bridge", size=17, anchor="middle", weight="bold")
    svg.text(690, 42, subtitle, size=11, anchor="middle", color="#555")
    panel_overhead(svg, 10, 55, 470, 460, crypto)
    panel_handles(svg, 490, 55, 450, 460, handles)
    panel_threads(svg, 950, 55, 420, 460, threads, thread_series)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(svg.render())


# ---- The page ----------------------------------------------------------------

NOTES = """\
## How the figures are made

- **Side by side.** Each crypto benchmark runs, in one loop, one call through
  the module's function table, the CryptoAPI calls that an application makes
  to get the same result directly, and the same operation with OpenSSL alone
  on the same key (imported into the container as a PRIVATEKEYBLOB, so all
  three use one key; the run first checks that all three give the same
  signature bytes). The order rotates each iteration; each call is timed on
  its own (steady clock) and the figure is the median, so a burst of load
  elsewhere on the machine falls on all three alike. Ratios are the medians,
  over the repetitions, of each repetition's ratio of medians.
  OpenKey+FreeKey is measured the same way against its direct counterpart.
- **Direct CryptoAPI** means: sign and verify with `CryptCreateHash`,
  `CryptSetHashParam(HP_HASHVAL)`, `CryptSignHashW` / `CryptVerifySignatureW`,
  `CryptDestroyHash`; encrypt and decrypt with a copy into a key-sized buffer
  and `CryptEncrypt` / `CryptDecrypt`; OpenKey+FreeKey with
  `CryptAcquireContextW`, `CryptGetUserKey`, `CryptDestroyKey`,
  `CryptReleaseContext`. The table's overhead therefore includes the
  CryptoAPI queries that the module makes on top of these (the key length,
  asked of CryptoAPI at each check, and the hash size), its entry frame and
  lock, its handle lookups, its buffer and the byte reversal.
- **Instructions** are counted with `valgrind --tool=callgrind
  --collect-atstart=no`: the driver `qvn_callcount` makes a few warm-up calls,
  turns collection on, makes N calls, turns it off and dumps the counts under
  the operation's name; instructions per call = the dump's total / N (this
  includes the few instructions of the driver's loop). "In the entry" is the
  inclusive cost of the module's entry function (`callgrind_annotate
  --inclusive=yes`); "the lock" is the scoped lock holder's constructor and
  destructor (taking and releasing the global critical section). "The
  module's own code" is the inclusive cost of its entry function less that
  of every CryptoAPI call it makes (the frame, the lookups, the checks, the
  buffer, the byte reversal; on Linux also the stand-in's counting `malloc`
  wrapper); "its extra CryptoAPI queries" is the inclusive cost of its
  `CryptGetKeyParam` and `CryptGetHashParam` calls. Unlike times, these
  counts do not depend on the load of the machine; the totals of encryption
  do vary by some thousands from run to run (PKCS #1 padding is random
  bytes, and OpenSSL's random generator reseeds now and then), the module's
  own count does not.
- **The frame alone.** `GetProviderProperty("Version")` and
  `EnumAlgorithms` on the key storage provider's own handle reach no CSP;
  times are the median CPU time per call.
- **Handles.** Keys are held open both through the table and acquired
  directly, the same number each way. A lookup is a `SignHash` size query
  (`pbSignature` null): the entry resolves the provider, then the key in its
  map, and makes one CryptoAPI call (`CryptGetKeyParam(KP_KEYLEN)`), which is
  also timed alone on random keys of the direct set. "Same key" repeats the
  query on one key, so that its path stays in the caches. Times are CPU time.
- **Threads.** Each thread signs with its own key handle (or, directly, its
  own CryptoAPI context). Every entry of the module holds one process-wide
  lock for its whole body, so signing threads take turns: the table's
  throughput stays at the one-thread figure while direct CryptoAPI can use
  every core. "vs 1 thread" below 1.0 for the table is what handing the lock
  over costs; the `Version` column, a call with almost nothing inside the
  lock, shows the hand-over at its most expensive.
- **Memory.** Resident set size after 1 000 warm-up cycles and after the
  measured cycles (`OpenKey`, `SignHash`, `FreeKey`), and the module's own
  live heap blocks, which the platform's C runtime counts exactly.
- **The stack protector.** The Windows DLL is built with
  `-fstack-protector-strong`, and so is the module measured here; the same
  run builds it a second time with `-fno-stack-protector` (the platform
  stand-in and the benchmarks unchanged) and repeats the side-by-side runs,
  the frame and the instruction counts with it. The instruction counts are
  exact for each build; the time ratios move by the noise of the run, which
  is larger than the protector's share.

## Reading them

- On the Linux stand-in every CryptoAPI call also enters a record in the
  platform's test call log (kept full from the start of the run, so its cost
  is the same for every call); the module's extra CryptoAPI queries carry
  that cost, which real CSPs do not have.
- The stand-in's `CryptReleaseContext` sweeps every live key and hash for
  those of the released context, so freeing a key costs time linear in the
  keys open, directly or through the table alike (the OpenKey+FreeKey ratio
  stays near 1). For the same reason a run that ends with 100 000 keys open
  does not free them one by one: it removes the store and ends the process.
- Random-key lookups over 10 000 keys and more are dominated by cache
  misses, in the module's map and in the CSP's objects alike; the same-key
  column shows the lookup's own work, which grows with the depth of the map.
- Instructions are counted on RSA-2048 only: making a 4096-bit key under
  callgrind takes minutes. The module's own part does not grow with the key
  (only its byte reversal does, by 256 bytes), while the CSP's work grows
  more than tenfold, so at 4096 bits its share is smaller still.
- Google Benchmark on Debian reports its own library as a debug build; that
  concerns the harness, not the code measured (built Release).
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("results", help="directory with the JSON files and callgrind/")
    parser.add_argument("--markdown", help="write the results page here")
    parser.add_argument("--chart", help="write the SVG chart here")
    parser.add_argument("--without-stack-protector", metavar="RESULTS",
                        help="the crypto and frame results of the module built without the stack protector")
    parser.add_argument("--load-before", default="")
    parser.add_argument("--load-after", default="")
    args = parser.parse_args()

    runs, loads = load_runs(args.results)
    if not runs:
        print("report: no benchmark results in " + args.results, file=sys.stderr)
        return 1
    counts, breakdown = callgrind_counts(os.path.join(args.results, "callgrind"))

    crypto_md, crypto_ir_md, crypto_data = crypto_figures(runs, counts, breakdown)
    frame_md = frame_figures(runs, counts, breakdown)
    handles_md, handles_data = handle_figures(runs)
    threads_md, threads_data, thread_series = thread_figures(runs)
    memory_md = memory_figures(runs)

    box = machine()
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    machine_line = (f"{box['cpu']}, {box['cores']} CPUs, {box['memory']} memory, {box['kernel']}")
    for value in (args.load_before, args.load_after):
        try:
            loads.append(float(value))
        except ValueError:
            pass
    load_line = (f"1-minute load average between {min(loads):.2f} and {max(loads):.2f} at the start of each "
                 f"part of the run" if loads else "load average unknown")

    protector_md = None
    if args.without_stack_protector:
        runs_off, _ = load_runs(args.without_stack_protector)
        protector_md = protector_figures(
            (runs, counts, breakdown),
            (runs_off, *callgrind_counts(os.path.join(args.without_stack_protector, "callgrind"))))

    sections = [
        ("Signing, verification, encryption, decryption: median µs per call, side by side", crypto_md),
        ("The same, in instructions per call (callgrind, RSA-2048)", crypto_ir_md),
        ("The frame alone, on calls that reach no CSP", frame_md),
        ("Key handles: lookups and OpenKey+FreeKey with keys open", handles_md),
        ("Signing threads at once (RSA-2048, wall-clock throughput)", threads_md),
        ("Memory over open/sign/free cycles (RSA-2048)", memory_md),
    ]
    if protector_md:
        sections.append(("The stack protector's cost: the module without and with it", protector_md))
    busy = None
    if loads and max(loads) >= BUSY_LOAD:
        busy = (f"**Measured on a busy machine**: the 1-minute load average reached {max(loads):.2f} "
                f"(other work was running on its {box['cores']} CPUs; {BUSY_LOAD} or more counts as busy). "
                f"Absolute times and the threads' wall-clock throughput are affected by it; the side-by-side "
                f"ratios and the instruction counts much less so.")

    for title, body in sections:
        print(f"\n== {title}\n")
        print(body)
    print(f"\nMachine: {machine_line}; {load_line}.")
    if busy:
        print(busy.replace("**", ""))

    if args.chart:
        write_chart(args.chart, crypto_data, handles_data, threads_data, thread_series,
                    f"{when} · {box['cpu']}, {box['cores']} CPUs · {load_line}")
    if args.markdown:
        chart_name = os.path.relpath(args.chart, os.path.dirname(os.path.abspath(args.markdown))) \
            if args.chart else None
        lines = ["# Benchmark results", "",
                 "The latest figures of `make bench` (written by `bench/report.py`; do not edit by hand).", "",
                 f"- Date: {when}",
                 f"- Machine: {machine_line}",
                 f"- Load: {load_line}",
                 f"- Build: Release (`-O3`), module `QvnTpmKsp.so` loaded with `LoadLibraryW`, compiled with "
                 f"`-fstack-protector-strong` as the Windows DLL is, "
                 f"Linux platform stand-in with its simulated CSPs on OpenSSL {openssl_version()}",
                 ""]
        if busy:
            lines += [busy, ""]
        if chart_name:
            lines += [f"![Overhead ratios, handle scaling and thread hand-over]({chart_name})", ""]
        for title, body in sections:
            lines += [f"## {title}", "", body, ""]
        lines.append(NOTES)
        with open(args.markdown, "w", encoding="utf-8") as handle:
            handle.write("\n".join(lines))
    return 0


def openssl_version():
    try:
        return subprocess.run(["openssl", "version"], capture_output=True, text=True, check=True).stdout.split()[1]
    except (OSError, subprocess.CalledProcessError, IndexError):
        return "(version unknown)"


if __name__ == "__main__":
    sys.exit(main())
