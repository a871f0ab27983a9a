"""Builds nothing; runs the fuzz targets of build/fuzz and keeps what they find.

    python fuzz/run_fuzz.py [--seconds N] [--targets ...] [--parallel N] [--smoke]

Each libFuzzer target runs for --seconds in fork mode (crashes, timeouts and
out-of-memory reports are kept and fuzzing goes on), on its own growing
corpus under build/fuzz/corpus/<target>, seeded by fuzz/make_seeds.py and by
the regression inputs of fuzz/regressions/<target>.  Every crash is
minimised and copied into fuzz/regressions/<target>/, which the normal test
suites replay.  `python` is the module-level fuzzer (fuzz/pyfuzz.py).

--smoke replays the seeds and regression inputs and fuzzes each target
briefly, with a fixed seed and without fork mode: any finding fails the run
(for CI).
Prints a table and writes build/fuzz/summary.json.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, "build", "fuzz")
NATIVE = ("fuzz_decode_info", "fuzz_decode", "fuzz_tile_plan")
ALL = NATIVE + ("python",)
# What libFuzzer keeps; slow units (over 10 s, below the timeout) are
# counted, not treated as findings.
ARTIFACT = re.compile(r"^(crash|leak|timeout|oom)-")


def libfuzzer_args(target: str, seconds: int) -> list[str]:
    return [
        os.path.join(BUILD, target),
        f"-dict={os.path.join(HERE, 'htj2k.dict')}",
        f"-max_total_time={seconds}",
        "-timeout=25",
        "-rss_limit_mb=2560",
        # OpenJPH reserves its working memory in one block sized from the
        # header (many tiles: gigabytes, mostly never touched) and reports a
        # failed malloc as an error; let large reservations through to it and
        # let the sanitizer's allocator fail them as the system's would.
        "-malloc_limit_mb=65536",
        "-max_len=70000",
        "-print_final_stats=1",
    ]


ENV = dict(os.environ, ASAN_OPTIONS="allocator_may_return_null=1")


def run_native(target: str, seconds: int, smoke: bool) -> dict:
    corpus = os.path.join(BUILD, "corpus", target)
    findings = os.path.join(BUILD, "findings", target)
    regressions = os.path.join(HERE, "regressions", target)
    for d in (corpus, findings, regressions):
        os.makedirs(d, exist_ok=True)
    log = os.path.join(BUILD, f"{target}.log")
    args = libfuzzer_args(target, seconds) + [f"-artifact_prefix={findings}/"]
    if smoke:
        # A scratch corpus: the smoke run must not depend on earlier runs.
        corpus = os.path.join(BUILD, "smoke-corpus", target)
        shutil.rmtree(corpus, ignore_errors=True)
        os.makedirs(corpus)
        # A fixed seed: the run's verdict must not depend on luck (the same
        # mutations on every machine, fewer on a slower one); exploring is
        # what `make fuzz` is for.
        args.append("-seed=1")
    else:
        args += ["-fork=1", "-ignore_crashes=1", "-ignore_ooms=1", "-ignore_timeouts=1"]
    args += [corpus, os.path.join(BUILD, "seeds"), regressions]
    started = time.monotonic()
    with open(log, "w") as out:
        rc = subprocess.call(args, stdout=out, stderr=subprocess.STDOUT, cwd=BUILD, env=ENV)
    elapsed = time.monotonic() - started
    text = open(log, errors="replace").read()
    new = minimise_findings(target, findings, regressions)
    return {
        "target": target,
        "seconds": round(elapsed),
        "executions": executions(text),
        "corpus": len(os.listdir(corpus)),
        "trapped_assertions": text.count("Assertion `"),
        "slow_units": sum(n.startswith("slow-unit-") for n in os.listdir(findings)),
        "findings": new,
        "exit_status": rc,
        "log": os.path.relpath(log, ROOT),
    }


def executions(log: str) -> int:
    """Total executions: the final statistics, or in fork mode the sum over
    jobs of the last progress line's count."""
    final = re.findall(r"stat::number_of_executed_units: (\d+)", log)
    if final:
        return sum(int(n) for n in final)
    progress = re.findall(r"^#(\d+):?\s", log, re.M)
    return int(progress[-1]) if progress else 0


def minimise_findings(target: str, findings: str, regressions: str) -> list[str]:
    saved = []
    for name in sorted(os.listdir(findings)):
        path = os.path.join(findings, name)
        if not ARTIFACT.match(name) or name.endswith((".min", ".kept")):
            continue
        small = path + ".min"
        if name.startswith("crash-"):
            subprocess.call(
                [os.path.join(BUILD, target), "-minimize_crash=1", "-max_total_time=120",
                 f"-exact_artifact_path={small}", path],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=BUILD, env=ENV)
        data = open(small if os.path.exists(small) else path, "rb").read()
        kind = name.split("-", 1)[0]
        dest = os.path.join(regressions, f"{kind}-{hashlib.sha1(data).hexdigest()[:16]}")
        with open(dest, "wb") as f:
            f.write(data)
        os.replace(path, path + ".kept")
        saved.append(os.path.relpath(dest, ROOT))
    return saved


def run_python(seconds: int, smoke: bool) -> dict:
    out = os.path.join(BUILD, "findings", "python")
    os.makedirs(out, exist_ok=True)
    log = os.path.join(BUILD, "python.log")
    started = time.monotonic()
    with open(log, "w") as f:
        rc = subprocess.call(
            [sys.executable, os.path.join(HERE, "pyfuzz.py"), "--seconds", str(seconds),
             "--out", out] + (["--seed", "1"] if smoke else []),
            stdout=f, stderr=subprocess.STDOUT)
    text = open(log, errors="replace").read()
    runs = re.findall(r"executions: (\d+)", text)
    return {
        "target": "python",
        "seconds": round(time.monotonic() - started),
        "executions": int(runs[-1].replace(",", "")) if runs else 0,
        "corpus": None,
        "trapped_assertions": text.count("Assertion `"),
        "findings": sorted(os.listdir(out)) if rc != 0 else [],
        "exit_status": rc,
        "log": os.path.relpath(log, ROOT),
    }


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=1800)
    parser.add_argument("--targets", nargs="+", default=list(ALL), choices=ALL)
    parser.add_argument("--parallel", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--smoke", action="store_true")
    args = parser.parse_args(argv)

    seeds = os.path.join(BUILD, "seeds")
    if not os.path.isdir(seeds) or not os.listdir(seeds):
        subprocess.check_call([sys.executable, os.path.join(HERE, "make_seeds.py"), seeds])

    def one(target):
        if target == "python":
            return run_python(args.seconds, args.smoke)
        return run_native(target, args.seconds, args.smoke)

    with concurrent.futures.ThreadPoolExecutor(args.parallel) as pool:
        results = list(pool.map(one, args.targets))

    print(f"{'target':<18}{'seconds':>8}{'executions':>13}{'corpus':>8}{'trapped':>9}  findings")
    for r in results:
        corpus = "" if r["corpus"] is None else r["corpus"]
        print(f"{r['target']:<18}{r['seconds']:>8}{r['executions']:>13,}{corpus:>8}"
              f"{r['trapped_assertions']:>9}  {', '.join(r['findings']) or 'none'}")
    with open(os.path.join(BUILD, "summary.json"), "w") as f:
        json.dump(results, f, indent=1)
    failed = [r for r in results if r["findings"] or (args.smoke and r["exit_status"] != 0)]
    for r in failed:
        print(f"{r['target']}: see {r['log']}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
