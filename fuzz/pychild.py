"""Codec calls in a child process that may crash or hang, for the Python fuzzers.

The parent (:class:`Runner`) keeps one child running and sends it one call at a
time through a pipe: the input bytes, the operation and its keyword arguments.
Since the parent holds every input before the child sees it, an input that
kills the child (a signal, an abort from an OpenJPH assertion, a nonzero exit)
or keeps it busy past the watchdog is saved to ``<out>/<prefix>-<sha1>.j2c``
(with a ``.txt`` beside it saying what happened) and the child is restarted.

Allowed outcomes of a call: a return value (``ok``), a return value with
warnings (``warn``), or one of ``OpenJphError`` (any subclass), ``ValueError``
and ``MemoryError``.  Any other exception is a finding too, but the child
lives on.  The child also checks that a decode into a caller's buffer leaves
the bytes after that buffer alone, and that a tiled decode matches the whole
one when both succeed.

The child runs under an address-space limit, so a header that declares an
impossible image cannot take the machine's memory; it reports its peak RSS
per call (the kernel's high-water mark is reset before each call).

Run as ``python pychild.py --child`` only by :class:`Runner`.
"""

from __future__ import annotations

import hashlib
import os
import pickle
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time
from collections import Counter
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TESTS = os.path.join(ROOT, "tests", "python")
# The tests' helpers (the codestreams toolkit, the leak scenarios) for the
# scripts outside the test suite: this is the one place that puts them on the
# path; the scripts import this module first.
if TESTS not in sys.path:
    sys.path.append(TESTS)
CORPUS = os.path.normpath(os.path.join(ROOT, "..", "shared", "corpus"))

ADDRESS_LIMIT = 4 << 30
ALLOWED = ("OpenJphError", "OpenJphUnsupportedFeature", "ValueError", "MemoryError")
CANARY = 0xA5
CANARY_BYTES = 64


# ---------------------------------------------------------------------------
# Child side


def _read_exact(fd: int, n: int) -> bytes:
    chunks = []
    while n:
        chunk = os.read(fd, n)
        if not chunk:
            raise EOFError
        chunks.append(chunk)
        n -= len(chunk)
    return b"".join(chunks)


def _send(fd: int, obj) -> None:
    blob = pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)
    _write_all(fd, struct.pack("<I", len(blob)) + blob)


def _write_all(fd: int, blob: bytes) -> None:
    view = memoryview(blob)
    while view:
        view = view[os.write(fd, view):]


def _reset_peak() -> None:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def _peak_mib() -> float:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return 0.0


class _Codec:
    """The operations a request may name, over the extension module."""

    def __init__(self):
        import numpy as np

        import ferroglyph.codecs._openjph as ojph
        self.np, self.ojph = np, ojph

    def info(self, data, **kw):
        return self.ojph.decode_info(data, **kw)

    def decode(self, data, out=None, compare=False, **kw):
        ojph = self.ojph
        if out is None:
            result = ojph.decode(data, **kw)
        else:
            result = self._decode_into(data, out, kw)
        if compare and kw.get("numthreads") != 1:
            try:
                # A decode into a caller's buffer is interleaved (see _decode_into).
                layout = {"planar": False} if out is not None else {}
                whole = ojph.decode(data, **{**kw, "numthreads": 1, **layout})
            except (ojph.OpenJphError, ValueError, MemoryError):
                whole = None
            if whole is not None and (whole.shape != result.shape
                                      or whole.tobytes() != result.tobytes()):
                raise AssertionError("the tiled decode differs from the whole decode")
        return result

    def _decode_into(self, data, how, kw):
        """Decodes into a buffer followed by canary bytes, which must survive."""
        np, ojph = self.np, self.ojph
        info = ojph.decode_info(data, reduce=kw.get("reduce", 0))
        dtype = info["dtype"] or np.dtype(np.uint8)
        c, h, w = info["components"], info["height"], info["width"]
        shape = (h, w) if c == 1 else (h, w, c)
        if how == "small":
            shape = (max(1, h - 1),) + shape[1:]
        elif how == "dtype":
            dtype = np.dtype(np.float64)
        count = int(np.prod(shape, dtype=np.int64))
        nbytes = count * dtype.itemsize
        if nbytes > 256 << 20:
            raise MemoryError("not allocating a caller buffer this large in the fuzzer")
        raw = np.full(nbytes + CANARY_BYTES, CANARY, np.uint8)
        out = raw[:nbytes].view(dtype).reshape(shape)
        result = ojph.decode(data, out=out, planar=False, **kw)
        if not (raw[nbytes:] == CANARY).all():
            raise AssertionError("the decode wrote past the end of the caller's buffer")
        return result

    def tiles(self, data, decode_tiles=False):
        ojph = self.ojph
        plan = ojph._tile_plan(data)
        if plan is None:
            return None
        mv, main, tiles = plan
        for tile in tiles[:64]:
            single = ojph._tile_codestream(mv, main, tile)
            if decode_tiles:
                try:
                    ojph.decode_info(single)
                except (ojph.OpenJphError, ValueError):
                    pass
        return len(tiles)


def _declared_samples(codec, data: bytes) -> int:
    """Samples of the image the header declares (0 when it has none)."""
    try:
        info = codec.ojph.decode_info(data)
    except Exception:  # noqa: BLE001 - any refusal means nothing to decode
        return 0
    return info["width"] * info["height"] * info["components"]


def child_main() -> None:
    import resource
    limit = int(os.environ.get("PYCHILD_ADDRESS_LIMIT", ADDRESS_LIMIT))
    if limit > 0:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    import faulthandler
    import traceback
    import warnings
    faulthandler.enable()
    codec = _Codec()
    allowed = (codec.ojph.OpenJphError, ValueError, MemoryError)
    rfd, wfd = sys.stdin.fileno(), sys.stdout.fileno()
    _send(wfd, ("ready", os.getpid()))
    while True:
        try:
            (n,) = struct.unpack("<I", _read_exact(rfd, 4))
            op, kw, data = pickle.loads(_read_exact(rfd, n))
        except EOFError:
            return
        _reset_peak()
        detail = ""
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            start = time.perf_counter()
            try:
                getattr(codec, op)(data, **kw)
                outcome, ok = "ok", True
            except allowed as e:
                outcome, ok = type(e).__name__, True
                detail = str(e)[:300]
            except Exception as e:  # noqa: BLE001 - every other type is a finding
                outcome, ok = type(e).__name__, False
                detail = "".join(traceback.format_exception(e))[-3000:]
            seconds = time.perf_counter() - start
        if outcome == "ok" and caught:
            outcome = "warn"
        _send(wfd, (outcome, ok, detail, seconds, _peak_mib(), _declared_samples(codec, data)))


# ---------------------------------------------------------------------------
# Parent side


# A call is slow when it takes more than `slow` seconds beyond what the
# image its header declares accounts for at this many samples per second (a
# mutated SIZ can legitimately declare millions of samples; OpenJPH decodes
# well over 50 million per second, even from damaged data).
SAMPLE_RATE = 2e6


@dataclass
class Result:
    outcome: str  # "ok", "warn", an exception type name, "signal SIGxxx", "exit N" or "hang"
    ok: bool
    detail: str
    seconds: float
    peak_mib: float = 0.0
    samples: int = 0  # of the image the header declares


@dataclass
class Finding:
    path: str
    what: str
    op: str
    kw: dict


def describe(op: str, kw: dict) -> str:
    args = ", ".join(f"{k}={v!r}" for k, v in kw.items())
    return f"{op}({args})" if args else f"{op}()"


@dataclass
class Runner:
    """Runs calls in a child and keeps the score."""

    out_dir: str
    prefix: str = "py"
    watchdog: float = 60.0
    slow: float | None = None  # calls slower than this are listed ...
    slow_findings: bool = True  # ... and are findings
    address_limit: int = ADDRESS_LIMIT
    verbose: bool = True
    counts: Counter = field(default_factory=Counter)
    findings: list = field(default_factory=list)
    slow_calls: list = field(default_factory=list)
    calls: int = 0
    restarts: int = 0
    slowest: tuple = (0.0, "", b"")
    max_peak_mib: float = 0.0

    def __post_init__(self):
        self._proc = None
        self._err = None
        self._seen = set()

    # -- child management --------------------------------------------------

    def _start(self) -> None:
        self._err = tempfile.TemporaryFile()
        env = dict(os.environ, PYCHILD_ADDRESS_LIMIT=str(self.address_limit),
                   PYTHONPATH=os.pathsep.join(filter(None, [TESTS, os.environ.get("PYTHONPATH")])))
        self._proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child"],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=self._err, env=env, bufsize=0)
        reply = self._receive(60.0)
        if reply is None or reply[0] != "ready":
            raise RuntimeError(f"the child did not start: {self._stderr_tail()}")

    def _stop(self) -> None:
        proc, self._proc = self._proc, None
        if proc is None:
            return
        if proc.poll() is None:
            proc.kill()  # our own child, by its handle
        proc.wait()
        for stream in (proc.stdin, proc.stdout):
            try:
                stream.close()
            except OSError:
                pass

    def close(self) -> None:
        if self._proc is not None and self._proc.poll() is None:
            self._proc.stdin.close()
            try:
                self._proc.wait(5)
            except subprocess.TimeoutExpired:
                pass
        self._stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _stderr_tail(self, limit: int = 4000) -> str:
        if self._err is None:
            return ""
        self._err.seek(0)
        text = self._err.read().decode("utf-8", "replace")
        return text[-limit:]

    def _receive(self, timeout: float):
        """The child's next reply, or None when it died or stalled."""
        fd = self._proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        buf = b""
        need = 4
        size = None
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                return None
            chunk = os.read(fd, need - len(buf))
            if not chunk:
                return None
            buf += chunk
            if len(buf) == need:
                if size is None:
                    size = struct.unpack("<I", buf)[0]
                    buf, need = b"", size
                else:
                    return pickle.loads(buf)

    # -- calls --------------------------------------------------------------

    def call(self, data: bytes, op: str, **kw) -> Result:
        if self._proc is None:
            self._start()
        data = bytes(data)
        blob = pickle.dumps((op, kw, data), protocol=pickle.HIGHEST_PROTOCOL)
        wall = time.perf_counter()
        try:
            _write_all(self._proc.stdin.fileno(), struct.pack("<I", len(blob)) + blob)
            reply = self._receive(self.watchdog)
        except (BrokenPipeError, OSError):
            reply = None
        wall = time.perf_counter() - wall
        if reply is None:
            result = self._lost(wall)
        else:
            result = Result(*reply)
        self.calls += 1
        self.counts[result.outcome] += 1
        self.max_peak_mib = max(self.max_peak_mib, result.peak_mib)
        if result.seconds > self.slowest[0]:
            self.slowest = (result.seconds, describe(op, kw), data)
        if not result.ok:
            self._record(data, op, kw, result)
        elif self.slow is not None and result.seconds > self._budget(result, kw):
            self.slow_calls.append((result.seconds, describe(op, kw), len(data)))
            if self.slow_findings:
                self._record(data, op, kw, Result(f"slow ({result.seconds:.2f} s)", False,
                                                  result.detail, result.seconds))
        return result

    def _budget(self, result: Result, kw: dict) -> float:
        """Seconds a call may take: `slow` per decode plus the declared image's
        share; a compared tiled decode decodes twice."""
        one = self.slow + result.samples / SAMPLE_RATE
        return 2 * one if kw.get("compare") else one

    def _lost(self, wall: float) -> Result:
        proc = self._proc
        hung = proc.poll() is None
        if hung:
            self._stop()
            what = f"hang (no answer within {self.watchdog:.0f} s)"
        else:
            proc.wait()
            rc = proc.returncode
            what = f"signal {signal.Signals(-rc).name}" if rc < 0 else f"exit {rc}"
            self._stop()
        detail = self._stderr_tail()
        self.restarts += 1
        return Result("hang" if hung else what, False, detail, wall)

    def _record(self, data: bytes, op: str, kw: dict, result: Result) -> None:
        digest = hashlib.sha1(data).hexdigest()
        key = (digest, result.outcome)
        if key in self._seen:
            return
        self._seen.add(key)
        os.makedirs(self.out_dir, exist_ok=True)
        path = os.path.join(self.out_dir, f"{self.prefix}-{digest}.j2c")
        with open(path, "wb") as f:
            f.write(data)
        with open(path[:-4] + ".txt", "a") as f:
            f.write(f"{result.outcome}: {describe(op, kw)} on {len(data)} bytes\n{result.detail}\n\n")
        self.findings.append(Finding(path, result.outcome, op, kw))
        if self.verbose:
            print(f"FINDING {result.outcome}: {describe(op, kw)} -> {path}", flush=True)
            if result.detail:
                print("  " + result.detail.strip().replace("\n", "\n  "), flush=True)

    # -- report --------------------------------------------------------------

    def finish(self, counts: str, elapsed: float) -> int:
        """Prints `counts` and the report; the exit status of a fuzz run."""
        print(counts)
        for line in self.report_lines(elapsed):
            print(line)
        return 1 if self.findings else 0

    def report_lines(self, elapsed: float) -> list[str]:
        rate = self.calls / elapsed if elapsed > 0 else 0.0
        counts = ", ".join(f"{k} {v}" for k, v in sorted(self.counts.items(),
                                                          key=lambda kv: -kv[1]))
        seconds, what, data = self.slowest
        lines = [
            f"executions: {self.calls} in {elapsed:.1f} s ({rate:.0f}/s), child restarts: "
            f"{self.restarts}",
            f"outcomes: {counts}",
            f"slowest call: {seconds * 1000:.1f} ms, {what} on {len(data)} bytes "
            f"(sha1 {hashlib.sha1(data).hexdigest()[:12]})",
            f"child peak RSS of one call: {self.max_peak_mib:.0f} MiB",
        ]
        for s, what, n in self.slow_calls[:20]:
            lines.append(f"slow call: {s:.2f} s, {what} on {n} bytes")
        lines.append(f"findings: {len(self.findings)}")
        lines += [f"  {f.what}: {describe(f.op, f.kw)} -> {f.path}" for f in self.findings]
        return lines


if __name__ == "__main__" and sys.argv[1:] == ["--child"]:
    child_main()
