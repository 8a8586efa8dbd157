"""Runs the fuzz targets of fuzz_targets.py.

An input passes when the calls return, or raise an ordinary exception with a
clear message (the rules of hostile_inputs.judge); a crash, an abort, a hang
or any other outcome is a finding, saved with the input that caused it.

    python tests/fuzz/fuzz.py pen_file --sample 600 --seed 1    # the CI sample, in-process
    python tests/fuzz/fuzz.py mp4_file --time 600               # a long run (atheris when installed)
    python tests/fuzz/fuzz.py all --time 300                    # each target in turn
    python tests/fuzz/fuzz.py pen_file --replay build/fuzz/pen_file/crash-...

The sample mutates the target's seeds with a fixed-seed generator and needs
nothing beyond the test requirements. A long run uses atheris (pip install
atheris) with libFuzzer's mutations mixed with the target's own, keeps its
corpus in build/fuzz/<target>/corpus and writes findings beside it; without
atheris it runs the sample's mutator for the given time.
"""
from __future__ import annotations

import argparse
import io
import os
import random
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import fuzz_targets  # noqa: E402
from hostile_inputs import judge  # noqa: E402

# Address space of a fuzzing process outside the sanitizer build: a request
# far beyond memory then fails at once as MemoryError.
MEMORY_LIMIT = 4 << 30

INTERESTING_INTS = [0, 1, 2, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0x8000, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000,
                    0xFFFFFFFF]
INTERESTING_TEXT = [b"0", b"-1", b"1e308", b"-1e308", b"1e400", b"NaN", b"Infinity", b"-Infinity", b"-2147483648",
                    b"2147483647", b"9223372036854775807", b"18446744073709551616", b"9" * 40, b"1e-400", b"0.5",
                    b"-0.0", b'""', b"null", b"true", b"[]", b"{}", b"\\ud800", b"\\u0000", b"\x00", b"\xff"]
NUMBER = re.compile(rb"-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?")
STRING = re.compile(rb'"(?:[^"\\]|\\.)*"')
INTERESTING_STRINGS = [b'""', b'"\\ud800"', b'"\\u0000"', b'"' + b"x" * 5000 + b'"', b'"/dev/null"', b'"."',
                       b'"0 nan nan 1 1 0 1"', b'"0 1e308 1e308 -1e308 0 0 1"', b'"0 0.5"', b'"0"', b'"\\n"',
                       b"5", b"null", b"[]", b"{}", b"true", b'["0 0.1 0.1 0.9 0.1 0.5 0.9"]']
# Operations that keep a text format's syntax: numbers and strings replaced.
SYNTAX_KEEPING = [6, 10]


def mutate(data: bytes, rng: random.Random, target, corpus) -> bytes:
    """One to four stacked mutations: bytes, binary integers, numbers and
    strings of a text format, the target's tokens, and splices with other
    inputs. Targets of a text format get mostly syntax-keeping ones."""
    b = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.choice(SYNTAX_KEEPING) if target.structured and rng.random() < 0.6 else rng.randrange(11)
        pos = rng.randrange(len(b) + 1)
        if op == 0 and b:  # flip a bit
            i = rng.randrange(len(b))
            b[i] ^= 1 << rng.randrange(8)
        elif op == 1 and b:  # any byte
            b[rng.randrange(len(b))] = rng.randrange(256)
        elif op == 2 and b:  # delete a range
            b[pos:pos + rng.randint(1, 32)] = b""
        elif op == 3 and b:  # duplicate a range
            n = rng.randint(1, 64)
            b[pos:pos] = b[pos:pos + n]
        elif op == 4 and target.tokens:  # a word of the format
            b[pos:pos] = rng.choice(target.tokens)
        elif op == 5 and len(b) >= 4:  # an interesting binary integer, big- or little-endian
            width = rng.choice([1, 2, 4])
            i = rng.randrange(len(b) - width + 1)
            v = rng.choice(INTERESTING_INTS) & ((1 << (8 * width)) - 1)
            b[i:i + width] = v.to_bytes(width, rng.choice(["big", "little"]))
        elif op == 6:  # a number of the text replaced
            numbers = list(NUMBER.finditer(bytes(b)))
            if numbers:
                m = rng.choice(numbers)
                b[m.start():m.end()] = rng.choice(INTERESTING_TEXT)
        elif op == 7:
            b[pos:pos] = rng.choice(INTERESTING_TEXT)
        elif op == 8 and corpus:  # splice with another input
            other = rng.choice(corpus)
            cut = rng.randrange(len(other) + 1)
            b = b[:pos] + bytearray(other[cut:])
        elif op == 9 and b:  # truncate
            del b[rng.randrange(len(b)):]
        elif op == 10:  # a string (or any value) of the text in place of a string
            strings = list(STRING.finditer(bytes(b)))
            if strings:
                m = rng.choice(strings)
                is_key = bytes(b[m.end():m.end() + 3]).lstrip().startswith(b":")
                b[m.start():m.end()] = rng.choice([v for v in INTERESTING_STRINGS if v[:1] == b'"'] if is_key
                                                  else INTERESTING_STRINGS)
    return bytes(b[:target.max_size])


QUOTED = re.compile(r"'[^']*'|\"[^\"]*\"|\d+")


def check(ctx, target, data):
    """(None when the input passes else the reason it does not, the kind of
    outcome). Inputs of a new kind of outcome (another exception, another
    message once quoted values and numbers are set aside) join the corpus
    that later inputs are mutated from: a parser's error paths stand in for
    the coverage the compiled code does not report."""
    old = sys.stdout
    sys.stdout = printed = io.StringIO()  # the calls' progress messages
    exc = None
    try:
        target.run(ctx, data)
    except Exception as e:  # noqa: BLE001 - every outcome is judged
        exc = e
    finally:
        sys.stdout = old
    reason = "round trip" if isinstance(exc, fuzz_targets.Mismatch) else judge(exc)
    ending = "returned" if exc is None else f"{type(exc).__name__}: {QUOTED.sub('_', str(exc))[:80]}"
    kind = f"{ending} | {QUOTED.sub('_', printed.getvalue()[:300])}"
    return (f"{reason}: {type(exc).__name__}: {exc!s:.300}" if reason else None), kind


class Corpus:
    """The seeds and every input that gave a new kind of outcome."""

    LIMIT = 5000

    def __init__(self, seeds):
        self.inputs, self.kinds = list(seeds), set()

    def add(self, data, kind):
        if kind not in self.kinds:
            self.kinds.add(kind)
            if len(self.inputs) < self.LIMIT:
                self.inputs.append(data)


def limit_memory():
    if os.environ.get("MIRELO_SANITIZED"):
        return  # the sanitizer refuses oversized requests itself (see run_sample)
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, resource.getrlimit(resource.RLIMIT_AS)[1]))


def sample(target, seed, count, root, deadline=None):
    """Runs `count` mutated inputs (or until `deadline`); returns (runs, findings).
    Each input is first written to root/current, so the input of a crash or a
    hang stays there."""
    import warnings

    warnings.simplefilter("error")
    ctx = fuzz_targets.Context(root)
    seeds = target.seeds(ctx)
    corpus = Corpus(seeds)
    rng = random.Random(seed)
    current = os.path.join(root, "current")
    findings, runs = [], 0

    def inputs():
        yield from seeds
        while True:
            yield mutate(rng.choice(corpus.inputs), rng, target, corpus.inputs)

    for data in inputs():
        if (time.monotonic() > deadline) if deadline is not None else runs >= len(seeds) + count:
            break
        with open(current, "wb") as f:
            f.write(data)
        reason, kind = check(ctx, target, data)
        corpus.add(data, kind)
        runs += 1
        if reason:
            findings.append((reason, data))
    if deadline is not None:
        print(f"{target.name}: {len(corpus.kinds)} kinds of outcome", file=sys.stderr)
    return runs, findings


def run_sample(name, seed, count, timeout):
    """The CI sample of one target in a child process, so that a crash or a
    hang is reported with its input instead of ending the test run."""
    env = dict(os.environ)
    if env.get("MIRELO_SANITIZED"):
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":max_allocation_size_mb=4096"
    with tempfile.TemporaryDirectory(prefix=f"fuzz_{name}_") as root:
        cmd = [sys.executable, os.path.abspath(__file__), name, "--sample", str(count), "--seed", str(seed),
               "--root", root]
        try:
            p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env,
                               stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired as e:
            return [f"hang (no result within {timeout} s) on input {read_current(root)!r:.2000}; "
                    f"output: {(e.stderr or b'')[-2000:]!r}"]
        if p.returncode != 0:
            return [f"crash (exit code {p.returncode}) on input {read_current(root)!r:.2000}\n{p.stderr[-4000:]}"]
        return [line[2:] for line in p.stdout.splitlines() if line.startswith("F ")]


def read_current(root):
    try:
        with open(os.path.join(root, "current"), "rb") as f:
            return f.read()
    except OSError:
        return b"<none>"


def long_run(name, budget, corpus_dir, seed):
    """A run of `budget` seconds; findings go beside the corpus."""
    target = fuzz_targets.TARGETS[name]
    os.makedirs(corpus_dir, exist_ok=True)
    findings_prefix = os.path.join(os.path.dirname(corpus_dir), "")
    with tempfile.TemporaryDirectory(prefix=f"fuzz_{name}_") as root:
        limit_memory()
        ctx = fuzz_targets.Context(root)
        seeds = target.seeds(ctx)
        for k, s in enumerate(seeds):
            with open(os.path.join(corpus_dir, f"seed-{k}"), "wb") as f:
                f.write(s)
        try:
            import atheris
        except ImportError:
            atheris = None
        if atheris is None:
            print(f"{name}: atheris is not installed; the sample's mutator runs for {budget} s", flush=True)
            runs, findings = sample(target, seed, 0, root, deadline=time.monotonic() + budget)
            for reason, data in findings:
                save_finding(findings_prefix, reason, data)
            print(f"{name}: {runs} executions, {len(findings)} findings", flush=True)
            return 1 if findings else 0
        rng = random.Random(seed)
        corpus = Corpus(seeds)

        def one_input(data):
            reason, kind = check(ctx, target, data)
            corpus.add(data, kind)
            if reason:
                raise AssertionError(reason)

        def custom_mutator(data, max_size, mseed):
            # Without coverage from the compiled code libFuzzer keeps almost
            # nothing of its own; mutate the outcome corpus as often.
            rng.seed(mseed)
            if rng.random() < 0.5:
                data = rng.choice(corpus.inputs)
            if rng.random() < 0.5:
                return atheris.Mutate(data, min(max_size, target.max_size))
            return mutate(data, rng, target, corpus.inputs)[:max_size]

        dict_path = os.path.join(root, "tokens.dict")
        with open(dict_path, "w") as f:
            for t in target.tokens:
                f.write('"' + "".join(f"\\x{c:02x}" for c in t) + '"\n')
        args = [sys.argv[0], corpus_dir, f"-max_total_time={budget}", "-timeout=20", "-rss_limit_mb=3500",
                f"-max_len={target.max_size}", f"-dict={dict_path}", f"-artifact_prefix={findings_prefix}",
                "-print_final_stats=1", f"-seed={seed}"]
        atheris.Setup(args, one_input, custom_mutator=custom_mutator)
        atheris.Fuzz()
        return 0


def save_finding(prefix, reason, data):
    import hashlib

    path = f"{prefix}finding-{hashlib.sha1(data).hexdigest()[:16]}"
    with open(path, "wb") as f:
        f.write(data)
    print(f"finding: {reason}\n  input saved as {path}", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("target", choices=sorted(fuzz_targets.TARGETS) + ["all"])
    ap.add_argument("--sample", type=int, help="run this many mutated inputs in this process and stop")
    ap.add_argument("--time", type=float, help="a long run of this many seconds per target")
    ap.add_argument("--replay", help="run one saved input and report its outcome")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--corpus", help="corpus folder of a long run (default build/fuzz/<target>/corpus)")
    ap.add_argument("--root", help=argparse.SUPPRESS)
    a = ap.parse_args()
    names = sorted(fuzz_targets.TARGETS) if a.target == "all" else [a.target]
    if a.sample is not None:
        status = 0
        for name in names:
            limit_memory()
            root = a.root or tempfile.mkdtemp(prefix=f"fuzz_{name}_")
            runs, findings = sample(fuzz_targets.TARGETS[name], a.seed, a.sample, root)
            for reason, data in findings:
                print(f"F {name}: {reason} on input {data!r:.2000}", flush=True)
            print(f"{name}: {runs} inputs, {len(findings)} findings", file=sys.stderr)
            status |= bool(findings)
        return status
    if a.replay:
        with open(a.replay, "rb") as f:
            data = f.read()
        with tempfile.TemporaryDirectory() as root:
            limit_memory()
            reason, _ = check(fuzz_targets.Context(root), fuzz_targets.TARGETS[a.target], data)
        print(reason or "passes")
        return 1 if reason else 0
    if a.time is None:
        ap.error("give --sample N, --time SECONDS or --replay FILE")
    if len(names) > 1:  # one process per target: libFuzzer runs once per process
        return max(subprocess.call([sys.executable, os.path.abspath(__file__), n, "--time", str(a.time), "--seed",
                                    str(a.seed)]) for n in names)
    corpus = a.corpus or os.path.join(HERE, "..", "..", "build", "fuzz", names[0], "corpus")
    return long_run(names[0], int(a.time), os.path.abspath(corpus), a.seed)


if __name__ == "__main__":
    sys.exit(main())
