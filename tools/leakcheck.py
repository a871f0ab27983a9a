#!/usr/bin/env python3
"""Long leak check of ferroglyph.codecs._openjph.

Runs every scenario of tests/python/leak_scenarios.py (each public call and
each failure path) many times and prints, per scenario, resident memory and
tracemalloc's traced memory at the two checkpoints, the change in the
reference counts of the scenario's inputs, and the verdict.  Exits with 1
when any scenario grew, 0 otherwise.

    .venv/bin/python tools/leakcheck.py --iterations 2000
    .venv/bin/python tools/leakcheck.py --iterations 500 -k tiled

``--iterations`` is the number of calls between the two checkpoints (after a
warm-up); costlier scenarios (tiled decodes on worker threads) run a third
as many.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "fuzz"))
import pychild  # noqa: E402,F401  (puts the tests' helpers on the path)

import leak_scenarios  # noqa: E402

MIB = 1024 * 1024


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=2000,
                        help="calls per scenario between the checkpoints (default 2000)")
    parser.add_argument("-k", dest="select", default=None,
                        help="only scenarios whose name contains this text")
    args = parser.parse_args(argv)
    if args.iterations < 3:
        parser.error("--iterations must be at least 3")

    chosen = [s for s in leak_scenarios.scenarios()
              if args.select is None or args.select in s.name]
    if not chosen:
        parser.error(f"no scenario matches {args.select!r}")

    width = max(len(s.name) for s in chosen)
    head = (f"{'scenario':<{width}}  {'calls':>6}  {'RSS before':>10}  {'RSS after':>9}  "
            f"{'traced before':>13}  {'traced after':>12}  {'refcounts':>9}  {'gc objs':>7}  "
            f"verdict")
    print(head)
    print("-" * len(head))
    failed = 0
    started = time.perf_counter()
    for scenario in chosen:
        per = args.iterations if scenario.cost <= 1 else max(3, args.iterations // 3)
        n = max(1, per // 3)
        try:
            f = leak_scenarios.measure(scenario, n)
        except AssertionError as e:
            failed += 1
            print(f"{scenario.name:<{width}}  wrong outcome: {e}")
            continue
        deltas = f.refcount_deltas
        ref = "+0" if not any(deltas) else ",".join(f"{d:+d}" for d in deltas)
        verdict = "ok" if f.ok else "GREW: " + "; ".join(f.problems)
        failed += not f.ok
        print(f"{f.name:<{width}}  {f.iterations:>6}  {f.rss_before / MIB:>8.2f}Mi  "
              f"{f.rss_after / MIB:>7.2f}Mi  {f.traced_before / 1024:>11.1f}Ki  "
              f"{f.traced_after / 1024:>10.1f}Ki  {ref:>9}  {f.gc_objects_delta:>+7d}  {verdict}",
              flush=True)
    print("-" * len(head))
    print(f"{len(chosen)} scenarios, {failed} with growth or a wrong outcome, "
          f"{time.perf_counter() - started:.1f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
