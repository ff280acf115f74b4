#!/usr/bin/env python3
"""Prints one benchmark table from a hyperfine JSON export and a peak-RSS file.

Usage: bench_table.py TITLE RESULTS.json RSS.tsv BASELINE FLOOR

RSS.tsv holds "command name<TAB>peak RSS in KiB" lines. BASELINE names the
command the others are divided by (bramwex; empty when it was not timed) and
FLOOR the floor walker at full thread count.
"""

import json
import sys


def main() -> None:
    title, results_path, rss_path, baseline, floor = sys.argv[1:6]
    with open(results_path) as f:
        results = json.load(f)["results"]
    rss = {}
    with open(rss_path) as f:
        for line in f:
            name, _, kib = line.rstrip("\n").rpartition("\t")
            rss[name] = int(kib) if kib.isdigit() else None
    median = {r["command"]: r["median"] for r in results}
    base = median.get(baseline)

    rows = [("command", "median s", "mean ± σ s", "user+sys s", "peak RSS MiB", "vs bramwex")]
    for r in results:
        name = r["command"]
        kib = rss.get(name)
        rows.append(
            (
                name,
                f"{r['median']:.3f}",
                f"{r['mean']:.3f} ± {r['stddev'] or 0:.3f}",
                f"{r['user'] + r['system']:.2f}",
                f"{kib / 1024:.1f}" if kib is not None else "-",
                f"{r['median'] / base:.2f}x" if base else "-",
            )
        )
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    print(f"\n== {title}")
    for k, row in enumerate(rows):
        cells = [row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:], widths[1:])]
        print("  ".join(cells))
        if k == 0:
            print("  ".join("-" * w for w in widths))
    if base:
        print("vs bramwex = that command's median / bramwex's median (above 1: bramwex is faster)")
        if floor in median:
            print(f"bramwex / floor = {base / median[floor]:.2f} ({baseline} vs {floor})")


if __name__ == "__main__":
    main()
