"""ferroglyph's benchmark: the module against raw OpenJPH and against peers.

Run by ``make bench``.  In one run it

1. builds the images (real photographs, bench/images.py) and encodes each
   with ferroglyph and with ``ojph_raw`` (bench/ojph_raw.cpp, OpenJPH called
   directly with the settings the bridge uses), checking that both give the
   same codestream byte for byte and that both decode it to the same samples;
2. checks each peer's decode of the same codestreams against ours
   (bench/peers.py) and drops the ones that cannot read a case, with reason;
3. times every contender of a case in rounds, A B C ... then ... C B A, so
   that a drift in machine speed cancels; ``ojph_raw`` is a long-lived
   process driven one step at a time over a pipe, ferroglyph and Pillow run
   in this process, each step timed with time.perf_counter around the calls;
4. measures the peak resident memory of a decode and an encode of the
   4096 x 4096 images in fresh processes (bench/memprobe.py);
5. prints the table and the figures with PASS/FAIL, draws the throughput
   plot and records both in BENCHMARKS.md.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from typing import Callable

import numpy as np

import ferroglyph
import images
import peers as peer_mod
from ferroglyph.codecs import _openjph as fg

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
BIG = 4096
FLOAT_SIZE = 2048
TILE = (1024, 1024)
# Cases the command-line peers decode; on the small images their process
# start-up would be all that is measured.
CLI_PEER_CASES = {"rgb8", "rgb8-q90", "grey12", "rgb8-tiled", "float32"}
# Cases timed in batches of calls (about 30 ms of raw OpenJPH per batch).
SMALL_CASES = {"rgb8-256", "rgb8-64"}

# The figures to reach.
MAX_BIG_RATIO = 1.03          # ferroglyph time / raw OpenJPH time, 4096 x 4096
MAX_SMALL_OVERHEAD_US = 20.0  # per call above raw OpenJPH, 64 x 64
MIN_TILED_SPEEDUP = 1.8       # numthreads=1 time / default time, tiled
MIN_PILLOW_SPEEDUP = 3.0      # Pillow time / ferroglyph time, 4096 x 4096
# Memory: ferroglyph's peak above raw OpenJPH's (plus, for an encode, the one
# copy of the codestream into bytes) may exceed it by this share of the
# array, at least MEM_SLACK_MIN bytes; a second full-size copy would not fit.
MEM_SLACK_SHARE = 0.10
MEM_SLACK_MIN = 4 << 20


def say(*args: object) -> None:
    print(*args, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# The raw OpenJPH program

class RawProgram:
    """ojph_raw in serving mode: one command line in, one reply line out."""

    def __init__(self, exe: Path, log: Path) -> None:
        self.exe = exe
        self._log = open(log, "w")
        self._proc = subprocess.Popen([str(exe)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=self._log, text=True, bufsize=1)

    def run(self, command: str) -> list[float]:
        assert self._proc.stdin is not None and self._proc.stdout is not None
        self._proc.stdin.write(command + "\n")
        self._proc.stdin.flush()
        reply = self._proc.stdout.readline().strip()
        if not reply.startswith("ok"):
            raise RuntimeError(f"ojph_raw: {reply or 'no reply'} (command: {command})")
        return [float(t) for t in reply.split()[1:]]

    def close(self) -> None:
        if self._proc.poll() is None:
            assert self._proc.stdin is not None
            self._proc.stdin.write("quit\n")
            self._proc.stdin.close()
            self._proc.wait()
        self._log.close()


# ---------------------------------------------------------------------------
# Cases, jobs and contenders

@dataclass
class Case:
    key: str
    label: str
    image: np.ndarray
    level: float | None = None
    tile: tuple[int, int] | None = None
    big: bool = False
    # Filled in by prepare():
    raw_file: Path | None = None
    cs_file: Path | None = None
    codestream: bytes = b""

    @property
    def lossless(self) -> bool:
        return self.level is None

    def encode(self) -> bytes:
        return fg.encode(self.image, self.level, tile=self.tile)

    def raw_encode_args(self) -> str:
        """ojph_raw's encode command for this case: the module's defaults."""
        a = self.image
        comps = a.shape[2] if a.ndim == 3 else 1
        is_float = a.dtype.kind == "f"
        args = {
            "input": self.raw_file, "h": a.shape[0], "w": a.shape[1], "c": comps,
            "bps": a.dtype.itemsize, "signed": int(a.dtype.kind in "if"), "planar": 0,
            "reversible": int(self.level is None),
            "qfactor": int(self.level) if self.level is not None and self.level >= 1 else 0,
            "ct": int(comps in (3, 4) and not is_float), "nlt": int(is_float),
        }
        if self.tile:
            args["tile_w"], args["tile_h"] = self.tile
        return "enc " + " ".join(f"{k}={v}" for k, v in args.items())


@dataclass
class Contender:
    name: str
    kind: str                       # "raw", "ours" or "peer"
    step: Callable[[], float] | None
    rounds: int = 0
    reason: str = ""                # why a peer is n/a
    times: list[float] = field(default_factory=list)

    @property
    def median(self) -> float | None:
        return statistics.median(self.times) if self.times else None


@dataclass
class Job:
    case: str
    op: str                         # "decode" or "encode"
    pixels: int                     # per call: output pixels (decode), input (encode)
    big: bool
    batch: int
    contenders: list[Contender]
    key: str = ""

    def get(self, kind: str, name: str | None = None) -> Contender | None:
        for c in self.contenders:
            if c.kind == kind and (name is None or c.name == name) and c.times:
                return c
        return None

    def ferroglyph(self) -> Contender | None:
        """ferroglyph as a user calls it: the default decode where there are several."""
        return self.get("ours", "ferroglyph default") or self.get("ours")


def timed_calls(fn: Callable[[], object], batch: int) -> Callable[[], float]:
    """A step of `batch` calls of fn, each timed, its result freed untimed.

    The step's time is its median call: a batch of tiny calls is a sample
    of the per-call cost that a preemption of one call must not move.
    """
    def step() -> float:
        times = []
        for _ in range(batch):
            t0 = time.perf_counter()
            result = fn()
            t1 = time.perf_counter()
            del result
            times.append(t1 - t0)
        return statistics.median(times)
    return step


def raw_step(raw: RawProgram, command: str, batch: int) -> Callable[[], float]:
    line = f"{command} reps={batch}"
    return lambda: statistics.median(raw.run(line))


def batched(step: Callable[[], float], batch: int) -> Callable[[], float]:
    return lambda: statistics.median(step() for _ in range(batch))


# ---------------------------------------------------------------------------
# Preparation and checks

class Checks:
    def __init__(self) -> None:
        self.failures: list[str] = []
        self.notes: list[str] = []

    def expect(self, ok: bool, what: str) -> None:
        (self.notes if ok else self.failures).append(what)
        if not ok:
            say(f"  CHECK FAILED: {what}")


def prepare(case: Case, raw: RawProgram, work: Path, checks: Checks) -> None:
    """Writes the case's samples, encodes it both ways and compares."""
    case.raw_file = work / f"{case.key}.raw"
    case.image.tofile(case.raw_file)
    case.codestream = case.encode()
    case.cs_file = work / f"{case.key}.j2c"
    case.cs_file.write_bytes(case.codestream)
    raw_cs = work / f"{case.key}.raw.j2c"
    raw.run(f"{case.raw_encode_args()} reps=1 dump={raw_cs}")
    checks.expect(raw_cs.read_bytes() == case.codestream,
                  f"{case.label}: ferroglyph and raw OpenJPH write the same codestream")


def ours_vs_raw(label: str, ours: np.ndarray, raw: RawProgram, cs_file: Path, reduce: int,
                work: Path, checks: Checks) -> None:
    dump = work / "raw-decode.bin"
    raw.run(f"dec input={cs_file} reduce={reduce} planar=0 reps=1 dump={dump}")
    checks.expect(dump.read_bytes() == ours.tobytes(),
                  f"{label}: ferroglyph and raw OpenJPH decode the same samples")
    dump.unlink()


def peer_contenders(peers: list[peer_mod.Peer], case: Case, ours: np.ndarray, reduce: int,
                    lossless: bool, reps: int, peer_reps: int, cli: bool) -> list[Contender]:
    out = []
    for p in peers:
        if p.cli and not cli:
            continue
        assert case.cs_file is not None
        step, result = p.prepare(case.cs_file, case.codestream, reduce)
        try:
            reason = peer_mod.compare(result(), ours, lossless)
        except peer_mod.PeerUnavailable as e:
            reason = f"cannot read it ({e})"
        if reason:
            say(f"  {p.name}: n/a, {reason}")
            out.append(Contender(p.name, "peer", None, reason=reason))
        else:
            out.append(Contender(p.name, "peer", step, rounds=peer_reps if p.cli else reps))
    return out


def batch_for(raw: RawProgram, command: str, target: float) -> int:
    """Calls per step so that a raw step lasts about `target` seconds."""
    per_call = statistics.median(raw.run(f"{command} reps=20"))
    return max(1, min(5000, round(target / max(per_call, 1e-7))))


# ---------------------------------------------------------------------------
# Running

def run_job(job: Job) -> None:
    say(f"[time] {job.op} {job.case} (x{job.batch} per step)")
    active = [c for c in job.contenders if c.step is not None]
    for c in active:
        if c.kind != "peer":  # a warm-up step; the peers' checks were theirs
            assert c.step is not None
            c.step()
    rounds = max(c.rounds for c in active)
    gc.collect()
    gc.disable()
    try:
        for r in range(rounds):
            for c in (active if r % 2 == 0 else active[::-1]):
                if len(c.times) < c.rounds:
                    assert c.step is not None
                    c.times.append(c.step())
    finally:
        gc.enable()


@dataclass
class MemResult:
    case: str
    op: str
    array_bytes: int
    codestream_bytes: int
    raw_delta: int
    ours_delta: int

    @property
    def allowed(self) -> int:
        slack = max(MEM_SLACK_MIN, int(MEM_SLACK_SHARE * self.array_bytes))
        extra = self.codestream_bytes if self.op == "encode" else 0
        return self.raw_delta + extra + slack

    @property
    def passed(self) -> bool:
        return self.ours_delta <= self.allowed


def peak_kib(argv: list[str]) -> int:
    run = subprocess.run([sys.executable, str(BENCH / "memprobe.py"), "rss", *argv],
                         capture_output=True, text=True)
    if run.returncode != 0:
        raise RuntimeError(f"memory probe {argv} failed:\n{run.stderr}")
    return int(run.stdout.split()[-1])


def measure_memory(case: Case, raw_exe: Path) -> list[MemResult]:
    say(f"[memory] {case.label}")
    assert case.raw_file is not None and case.cs_file is not None
    a = case.image
    py = [sys.executable, str(BENCH / "memprobe.py")]
    shape = "x".join(str(n) for n in a.shape)
    level = "none" if case.level is None else str(case.level)
    tile = "none" if case.tile is None else "x".join(str(n) for n in case.tile)
    probes = {
        "decode": ([str(raw_exe), "dec", f"input={case.cs_file}"],
                   py + ["dec", str(case.cs_file)]),
        "encode": ([str(raw_exe), *case.raw_encode_args().split()],
                   py + ["enc", str(case.raw_file), shape, a.dtype.str, level, tile]),
    }
    results = []
    for op, (raw_argv, ours_argv) in probes.items():
        deltas = []
        for base in (raw_argv, ours_argv):
            with_call = peak_kib(base + (["codec=1"] if base is raw_argv else ["1"]))
            without = peak_kib(base + (["codec=0"] if base is raw_argv else ["0"]))
            deltas.append((with_call - without) * 1024)
        results.append(MemResult(case.label, op, a.nbytes, len(case.codestream), *deltas))
    return results


# ---------------------------------------------------------------------------
# Machine facts

def cpu_model() -> str:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return platform.processor() or "unknown CPU"


def busy_jiffies() -> tuple[int, int]:
    """(busy, total) CPU ticks of the whole machine since boot."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    idle = values[3] + (values[4] if len(values) > 4 else 0)
    return sum(values) - idle, sum(values)


def own_cpu_seconds() -> float:
    s = resource.getrusage(resource.RUSAGE_SELF)
    c = resource.getrusage(resource.RUSAGE_CHILDREN)
    return s.ru_utime + s.ru_stime + c.ru_utime + c.ru_stime


def openjph_version(codestream: bytes) -> str:
    tag = b"OpenJPH Ver "
    at = codestream.find(tag)
    if at < 0:
        return "OpenJPH"
    end = at + len(tag)
    while end < len(codestream) and codestream[end:end + 1] in b"0123456789.":
        end += 1
    return "OpenJPH " + codestream[at + len(tag):end].decode().rstrip(".")


# ---------------------------------------------------------------------------
# Report

def fmt_time(t: float | None) -> str:
    if t is None:
        return "n/a"
    if t < 1e-3:
        return f"{t * 1e6:.1f} µs"
    if t < 1:
        return f"{t * 1e3:.2f} ms"
    return f"{t:.3f} s"


def fmt_mib(n: int) -> str:
    return f"{n / 2**20:.1f} MiB"


def table(jobs: list[Job]) -> list[str]:
    lines = ["| case | op | contender | median | MP/s | ÷ raw | ÷ ferroglyph | runs |",
             "|---|---|---|---:|---:|---:|---:|---:|"]
    for job in jobs:
        raw = job.get("raw")
        ours = job.ferroglyph()
        first = True
        for c in job.contenders:
            head = f"| {job.case} | {job.op} " if first else "| | "
            first = False
            if c.median is None:
                lines.append(f"{head}| {c.name} | n/a: {c.reason} | | | | |")
                continue
            mps = job.pixels / c.median / 1e6
            vs_raw = f"{c.median / raw.median:.3f}" if raw and raw.median else ""
            vs_ours = f"{c.median / ours.median:.2f}" if ours and ours.median else ""
            runs = f"{len(c.times)} × {job.batch}" if job.batch > 1 else f"{len(c.times)}"
            lines.append(f"{head}| {c.name} | {fmt_time(c.median)} | {mps:,.1f} | {vs_raw} | "
                         f"{vs_ours} | {runs} |")
    return lines


def memory_table(mem: list[MemResult]) -> list[str]:
    lines = ["| case | op | array | codestream | raw OpenJPH peak Δ | ferroglyph peak Δ | "
             "ferroglyph − raw |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for m in mem:
        lines.append(f"| {m.case} | {m.op} | {fmt_mib(m.array_bytes)} | "
                     f"{fmt_mib(m.codestream_bytes)} | {fmt_mib(m.raw_delta)} | "
                     f"{fmt_mib(m.ours_delta)} | {fmt_mib(m.ours_delta - m.raw_delta)} |")
    return lines


def figures(jobs: list[Job], mem: list[MemResult]) -> list[tuple[bool | None, str]]:
    out: list[tuple[bool | None, str]] = []
    for job in jobs:
        raw, ours = job.get("raw"), job.get("ours")
        if job.big and raw and ours:
            for c in job.contenders:
                if c.kind == "ours" and c.times and "default" not in c.name:
                    r = c.median / raw.median
                    paired = statistics.median(o / w for o, w in zip(c.times, raw.times))
                    out.append((r <= MAX_BIG_RATIO,
                                f"{job.op} {job.case}, {c.name}: {r:.3f}× raw OpenJPH "
                                f"(target ≤ {MAX_BIG_RATIO}; median of the per-round "
                                f"ratios {paired:.3f})"))
    for job in jobs:
        raw, ours = job.get("raw"), job.get("ours")
        if job.key.startswith("rgb8-64") and raw and ours:
            extra = (ours.median - raw.median) * 1e6
            out.append((extra <= MAX_SMALL_OVERHEAD_US,
                        f"{job.op} {job.case}: {extra:+.1f} µs per call over raw OpenJPH "
                        f"({fmt_time(ours.median)} vs {fmt_time(raw.median)}; "
                        f"target ≤ {MAX_SMALL_OVERHEAD_US:.0f} µs)"))
    for job in jobs:
        single = next((c for c in job.contenders if c.name.endswith("numthreads=1") and c.times),
                      None)
        default = next((c for c in job.contenders if c.name.endswith("default") and c.times),
                       None)
        if single and default:
            s = single.median / default.median
            out.append((s >= MIN_TILED_SPEEDUP,
                        f"{job.op} {job.case}: default {s:.2f}× faster than numthreads=1 on "
                        f"{os.cpu_count()} cores (target ≥ {MIN_TILED_SPEEDUP})"))
    for job in jobs:
        if not (job.big and job.op == "decode"):
            continue
        pil = next((c for c in job.contenders if c.name == "Pillow"), None)
        ours = job.ferroglyph()
        if pil is None or ours is None:
            continue
        if pil.median is None:
            out.append((None, f"decode {job.case}: Pillow n/a ({pil.reason})"))
            continue
        s = pil.median / ours.median
        out.append((s >= MIN_PILLOW_SPEEDUP,
                    f"decode {job.case}: {ours.name} {s:.2f}× faster than Pillow "
                    f"(target ≥ {MIN_PILLOW_SPEEDUP:.0f})"))
    for m in mem:
        if m.op == "decode":
            work = m.raw_delta - m.array_bytes
            text = (f"decode memory {m.case}: peak +{fmt_mib(m.ours_delta)} = output "
                    f"{fmt_mib(m.array_bytes)} + {fmt_mib(m.ours_delta - m.array_bytes)} "
                    f"(raw OpenJPH's working memory: {fmt_mib(work)}); "
                    f"allowed ≤ {fmt_mib(m.allowed)}")
        else:
            text = (f"encode memory {m.case}: peak +{fmt_mib(m.ours_delta)} vs raw OpenJPH "
                    f"+{fmt_mib(m.raw_delta)} (input {fmt_mib(m.array_bytes)}, codestream "
                    f"{fmt_mib(m.codestream_bytes)}); allowed ≤ raw + one codestream + slack "
                    f"= {fmt_mib(m.allowed)}")
        out.append((m.passed, text))
    return out


def plot(jobs: list[Job], path: Path, title: str) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        say("matplotlib is missing: no plot")
        return False
    fixed = {"OpenJPH raw": "#555555", "ferroglyph": "#1f5fbf",
             "ferroglyph numthreads=1": "#7fa7e6", "ferroglyph default": "#1f5fbf",
             "Pillow": "#e08a1e"}
    palette = iter(["#2ca02c", "#98df8a", "#d62728", "#ff9896", "#9467bd", "#c5b0d5"] * 4)
    names = list(dict.fromkeys(c.name for j in jobs for c in j.contenders))
    colours = {n: fixed[n] if n in fixed else next(palette) for n in names}
    groups = [("decode", [j for j in jobs if j.op == "decode"]),
              ("encode", [j for j in jobs if j.op == "encode"])]
    heights = [sum(len(j.contenders) for j in g) + len(g) for _, g in groups]
    fig, axes = plt.subplots(2, 1, figsize=(11, 0.2 * sum(heights) + 1.5),
                             height_ratios=heights)
    for ax, (op, group) in zip(axes, groups, strict=True):
        y = 0.0
        ticks, labels = [], []
        for job in group:
            start = y
            for c in job.contenders:
                if c.median is not None:
                    mps = job.pixels / c.median / 1e6
                    ax.barh(y, mps, color=colours[c.name], height=0.85)
                    ax.text(mps, y, f" {mps:,.1f}", va="center", fontsize=6)
                else:
                    ax.text(0, y, f" {c.name}: n/a", va="center", fontsize=6)
                y += 1
            ticks.append((start + y - 1) / 2)
            labels.append(job.case)
            y += 1
        ax.set_yticks(ticks, labels, fontsize=8)
        ax.set_ylim(y - 0.5, -1)
        ax.set_xlim(0, ax.get_xlim()[1] * 1.08)
        ax.set_title(f"{op}: megapixels per second (higher is better)", fontsize=9, loc="left")
        ax.tick_params(axis="x", labelsize=7)
        ax.grid(axis="x", alpha=0.3)
    handles = [plt.Rectangle((0, 0), 1, 1, color=colours[n]) for n in names]
    fig.legend(handles, names, loc="center left", bbox_to_anchor=(0.79, 0.5), fontsize=7,
               frameon=False)
    fig.suptitle(title, fontsize=9)
    fig.tight_layout(rect=(0, 0, 0.79, 0.98))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def write_json(path: Path, date: str, jobs: list[Job], mem: list[MemResult],
               figs: list[tuple[bool | None, str]]) -> None:
    """Every time measured, for a closer look than the medians."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps({
        "date": date,
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "jobs": [{"case": j.case, "op": j.op, "pixels": j.pixels, "calls_per_run": j.batch,
                  "contenders": [{"name": c.name, "seconds": c.times, "na": c.reason or None}
                                 for c in j.contenders]} for j in jobs],
        "memory": [vars(m) for m in mem],
        "figures": [{"pass": ok, "text": text} for ok, text in figs],
    }, indent=1))


def update_doc(doc: Path, block: list[str]) -> None:
    begin, end = "<!-- results:begin -->", "<!-- results:end -->"
    text = doc.read_text() if doc.exists() else f"# Benchmarks\n\n{begin}\n{end}\n"
    if begin not in text or end not in text:
        text = text.rstrip("\n") + f"\n\n{begin}\n{end}\n"
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    doc.write_text(head + begin + "\n" + "\n".join(block) + "\n" + end + tail)


# ---------------------------------------------------------------------------
# Main

def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--raw", type=Path, default=REPO / "build" / "bench" / "ojph_raw",
                    help="the raw OpenJPH program (bench/ojph_raw.cpp, built)")
    ap.add_argument("--reps", type=int, default=7, help="timed runs of each contender")
    ap.add_argument("--small-reps", type=int, default=15,
                    help="timed runs (of a batch of calls) for the small images")
    ap.add_argument("--peer-reps", type=int, default=3,
                    help="timed runs of the command-line peers")
    ap.add_argument("--quick", action="store_true",
                    help="smoke test: few runs, smaller images, no memory probes, no doc")
    ap.add_argument("--no-doc", action="store_true", help="leave BENCHMARKS.md alone")
    ap.add_argument("--plot", type=Path, default=BENCH / "throughput.png")
    args = ap.parse_args()

    global BIG, FLOAT_SIZE, TILE
    if args.quick:
        BIG, FLOAT_SIZE, TILE = 1024, 512, (256, 256)
        args.reps, args.small_reps, args.peer_reps = 3, 3, 1
    if not args.raw.exists():
        say(f"{args.raw} is missing: build bench/ first (make bench)")
        return 2

    started = time.perf_counter()
    cpu0, busy0 = own_cpu_seconds(), busy_jiffies()
    load0 = os.getloadavg()
    date = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    shm = Path("/dev/shm")
    work = Path(tempfile.mkdtemp(prefix="ferroglyph-bench-",
                                 dir=shm if shm.is_dir() and os.access(shm, os.W_OK) else None))
    checks = Checks()
    raw = RawProgram(args.raw, work / "ojph_raw.log")
    try:
        peers, versions = peer_mod.available(work)
        say(f"[setup] peers: {', '.join(p.name for p in peers) or 'none'}")

        n = BIG
        rgb_big = images.rgb8(n)
        cases = {
            "rgb8": Case("rgb8", f"RGB 8-bit {n}², lossless", rgb_big, big=True),
            "rgb8-q90": Case("rgb8-q90", f"RGB 8-bit {n}², quality 90", rgb_big, level=90,
                             big=True),
            "grey12": Case("grey12", f"grey 12-bit {n}², lossless", images.grey12(n), big=True),
            "rgb8-tiled": Case("rgb8-tiled", f"RGB 8-bit {n}², {TILE[0]}² tiles, lossless", rgb_big,
                               tile=TILE, big=True),
            "float32": Case("float32", f"float32 {FLOAT_SIZE}², lossless",
                            images.float32(FLOAT_SIZE)),
            "rgb8-256": Case("rgb8-256", "RGB 8-bit 256², lossless", images.rgb8(256)),
            "rgb8-64": Case("rgb8-64", "RGB 8-bit 64², lossless", images.rgb8(64)),
        }
        for case in cases.values():
            say(f"[prepare] {case.label}")
            prepare(case, raw, work, checks)

        jobs: list[Job] = []

        # Decodes.
        def decode_job(case: Case, reduce: int = 0, label: str | None = None) -> Job:
            assert case.cs_file is not None
            say(f"[check] decode {label or case.label}")
            ours_out = fg.decode(case.codestream, reduce=reduce, numthreads=1)
            if reduce == 0 and case.lossless:
                same = (ours_out.view(case.image.dtype) == case.image).all() \
                    if ours_out.dtype.kind == "f" else (ours_out == case.image).all()
                checks.expect(bool(same), f"{case.label}: ferroglyph's decode is exact")
            ours_vs_raw(label or case.label, ours_out, raw, case.cs_file, reduce, work, checks)
            cmd = f"dec input={case.cs_file} reduce={reduce} planar=0"
            small = case.key in SMALL_CASES
            batch = batch_for(raw, cmd, 0.03) if small else 1
            reps = args.small_reps if small else args.reps
            contenders = [Contender("OpenJPH raw", "raw", raw_step(raw, cmd, batch), reps)]
            if case.tile:
                tiled_default = fg.decode(case.codestream)
                checks.expect((tiled_default == ours_out).all(),
                              f"{case.label}: the default (threaded) decode equals numthreads=1")
                contenders += [
                    Contender("ferroglyph numthreads=1", "ours", timed_calls(
                        lambda: fg.decode(case.codestream, numthreads=1), batch), reps),
                    Contender("ferroglyph default", "ours", timed_calls(
                        lambda: fg.decode(case.codestream), batch), reps),
                ]
            elif reduce:
                contenders.append(Contender("ferroglyph", "ours", timed_calls(
                    lambda: fg.decode(case.codestream, reduce=reduce), batch), reps))
            else:
                contenders.append(Contender("ferroglyph", "ours", timed_calls(
                    lambda: fg.decode(case.codestream), batch), reps))
            contenders += peer_contenders(peers, case, ours_out, reduce, case.lossless,
                                          reps, args.peer_reps, cli=case.key in CLI_PEER_CASES)
            if small:  # the peers' steps are single calls; batch them too
                for c in contenders:
                    if c.kind == "peer" and c.step is not None:
                        c.step = batched(c.step, batch)
            h, w = ours_out.shape[:2]
            return Job(label or case.label, "decode", h * w, case.big, batch, contenders,
                       key=case.key)

        def encode_job(case: Case) -> Job:
            small = case.key in SMALL_CASES
            cmd = case.raw_encode_args()
            batch = batch_for(raw, cmd, 0.03) if small else 1
            reps = args.small_reps if small else args.reps
            img, level, tile = case.image, case.level, case.tile
            contenders = [Contender("OpenJPH raw", "raw", raw_step(raw, cmd, batch), reps)]
            if tile:
                # The package's encode codes tiles on every core, byte for byte
                # the module's one call.
                checks.expect(ferroglyph.encode(img, level, tile=tile) == case.codestream,
                              f"{case.label}: the parallel encode equals the one-call encode")
                contenders += [
                    Contender("ferroglyph numthreads=1", "ours", timed_calls(
                        lambda: ferroglyph.encode(img, level, tile=tile, numthreads=1), batch),
                        reps),
                    Contender("ferroglyph default", "ours", timed_calls(
                        lambda: ferroglyph.encode(img, level, tile=tile), batch), reps),
                ]
            else:
                contenders.append(Contender("ferroglyph", "ours", timed_calls(
                    lambda: fg.encode(img, level, tile=tile), batch), reps))
            return Job(case.label, "encode", img.shape[0] * img.shape[1], case.big, batch,
                       contenders, key=case.key)

        plan = [
            lambda: decode_job(cases["rgb8"]),
            lambda: decode_job(cases["rgb8-q90"]),
            lambda: decode_job(cases["grey12"]),
            lambda: decode_job(cases["rgb8-tiled"]),
            lambda: decode_job(cases["rgb8"], reduce=2,
                               label=f"RGB 8-bit {BIG}², lossless, reduce=2"),
            lambda: encode_job(cases["rgb8"]),
            lambda: encode_job(cases["rgb8-q90"]),
            lambda: encode_job(cases["grey12"]),
            lambda: encode_job(cases["rgb8-tiled"]),
            lambda: decode_job(cases["float32"]),
            lambda: encode_job(cases["float32"]),
            lambda: decode_job(cases["rgb8-256"]),
            lambda: encode_job(cases["rgb8-256"]),
            lambda: decode_job(cases["rgb8-64"]),
            lambda: encode_job(cases["rgb8-64"]),
        ]
        for make in plan:
            job = make()
            run_job(job)
            jobs.append(job)

        mem: list[MemResult] = []
        if not args.quick:
            for key in ("rgb8", "grey12"):
                mem += measure_memory(cases[key], args.raw)
    finally:
        raw.close()
        shutil.rmtree(work, ignore_errors=True)

    elapsed = time.perf_counter() - started
    busy1 = busy_jiffies()
    hz = os.sysconf("SC_CLK_TCK")
    machine_busy_s = (busy1[0] - busy0[0]) / hz
    others = max(0.0, (machine_busy_s - (own_cpu_seconds() - cpu0)) / elapsed)
    load1 = os.getloadavg()
    cores = os.cpu_count() or 1

    figs = figures(jobs, mem)
    ver = openjph_version(cases["rgb8"].codestream)
    lines = [
        f"Run of {date} on {cpu_model()}, {cores} cores "
        f"({platform.system()} {platform.release()}), {elapsed:.0f} s.",
        "",
        f"- Command: `make bench` (`{Path(sys.executable).name} bench/run_bench.py"
        f"{' --quick' if args.quick else ''}`); runs per contender: {args.reps} "
        f"(small images: {args.small_reps} batches; command-line peers: {args.peer_reps}).",
        f"- Software: {ver}; Python {platform.python_version()}, NumPy {np.__version__}; "
        + "; ".join(versions.values()) + ".",
        f"- Other load: processes outside the benchmark used {others:.2f} of {cores} cores on "
        f"average during the run (load average {load0[0]:.2f} at the start, "
        f"{load1[0]:.2f} at the end)"
        + (" — **the machine was busy; rerun on a quiet machine for figures that count.**"
           if others > 0.15 * cores else "."),
        "",
        "### Times",
        "",
        "Medians; MP/s counts output pixels for decodes and input pixels for encodes. "
        "`÷ raw` and `÷ ferroglyph` divide the contender's time by raw OpenJPH's and by "
        "ferroglyph's (for peers: how many times slower than ferroglyph they are).",
        "",
        *table(jobs),
        "",
    ]
    if mem:
        lines += ["### Peak memory", "",
                  "Peak resident set of a process making the call minus that of the same "
                  "process doing everything but the call.", "", *memory_table(mem), ""]
    lines += ["### Figures", ""]
    for ok, text in figs:
        lines.append(f"- **{'PASS' if ok else 'FAIL' if ok is not None else 'N/A'}** {text}")
    for failure in checks.failures:
        lines.append(f"- **FAIL** check: {failure}")
    lines += ["", f"Consistency checks passed: {len(checks.notes)} "
              f"(identical codestreams and decodes against raw OpenJPH, exact lossless "
              f"round trips), failed: {len(checks.failures)}.", ""]
    if plot(jobs, args.plot, f"ferroglyph vs raw OpenJPH and peers — {cpu_model()}, "
            f"{cores} cores, {date}"):
        lines += [f"![throughput per case]({args.plot.relative_to(REPO)})"
                  if args.plot.is_relative_to(REPO) else f"Plot: {args.plot}", ""]

    print("\n".join(lines))
    write_json(BENCH / "out" / "results.json", date, jobs, mem, figs)
    passed = sum(1 for ok, _ in figs if ok)
    failed = sum(1 for ok, _ in figs if ok is False) + len(checks.failures)
    print(f"figures: {passed} PASS, {failed} FAIL")
    if not args.quick and not args.no_doc:
        update_doc(REPO / "BENCHMARKS.md", lines + [f"Figures: {passed} PASS, {failed} FAIL."])
        say("[done] BENCHMARKS.md updated")
    # Figures missed on a busy machine are reported, not an error; a broken
    # consistency check is.
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
