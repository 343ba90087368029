"""Fuzz run of every public callable of the two modules: random positional and keyword
mixes of hostile values (fuzz_values.py) against hostile helpers and a hostile pandas
(fuzz_world.py). The cases run in child processes, so that a crash or a hang is counted
and pinned to its case instead of ending the run.

Passes when no child crashes or hangs and no call ends in SystemError (what the
interpreter raises for an error return without an exception, or a result with one).
Every case has its own seeded generator, so a failing case can be run again alone:

    python tests/robustness/fuzz.py                  # the bounded run CI makes
    python tests/robustness/fuzz.py --long           # twenty times as many cases
    python tests/robustness/fuzz.py --seed 7 --cases 1000 --first 52000
    python tests/robustness/fuzz.py --describe 52117 # what case 52117 calls
"""

import argparse
import collections
import gc
import json
import os
import random
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEFAULT_SEED = 20261208
DEFAULT_CASES = 40000
CHUNK = 10000
CHUNK_TIMEOUT = 600  # seconds; a chunk takes well under a minute


def make_case(seed, number, world):
    from fuzz_values import Case

    case = Case(random.Random(seed * 1_000_003 + number), world)
    world.configure(case)
    return case, case.call()


def system_error_in(error):
    seen = set()
    while error is not None and id(error) not in seen:
        if isinstance(error, SystemError):
            return error
        seen.add(id(error))
        error = error.__cause__ or error.__context__
    return None


def run_cases(seed, first, count, trace):
    """The worker: runs cases first .. first+count-1 and prints a JSON summary."""
    from fuzz_world import World

    sys.unraisablehook = lambda unraisable: None  # hostile __del__ methods raise
    world = World()
    outcomes = collections.Counter()
    failures = []
    for number in range(first, first + count):
        if trace:
            os.write(2, f"case {number}\n".encode())
        world.restore()
        try:  # a hostile __del__ may already strike while the case is made
            case, call = make_case(seed, number, world)
        except BaseException as error:  # noqa: BLE001
            outcomes[f"setup {type(error).__name__}"] += 1
            continue
        try:
            world.run(call)
            outcomes["returned"] += 1
        except BaseException as error:  # noqa: BLE001 - every outcome is counted
            outcomes[type(error).__name__] += 1
            system_error = system_error_in(error)
            if system_error is not None:
                failures.append((number, f"SystemError: {system_error}"))
        if number % 500 == 0:  # hostile objects in old cycles strike in their own cases
            world.restore()
            del case, call
            gc.collect()
    world.restore()
    print(json.dumps({"cases": count, "calls": world.calls, "outcomes": outcomes,
                      "failures": failures}))  # fmt: skip


def describe(value, depth=0):
    """A description that never runs a hostile __repr__."""
    if depth > 3:
        return "..."
    kind = type(value)
    if kind in (str, int, float, bool, bytes, type(None)):
        text = ascii(value)
        return text if len(text) < 80 else text[:77] + "..."
    if kind in (list, tuple):
        return f"{kind.__name__}[{', '.join(describe(v, depth + 1) for v in list(value)[:5])}]"
    if kind is dict:
        items = list(dict.items(value))[:5]
        return (
            "{" + ", ".join(f"{describe(k, 1)}: {describe(v, depth + 1)}" for k, v in items) + "}"
        )
    from fuzz_values import SPECIAL

    hostile = [name for name in SPECIAL if name in vars(kind)]
    if kind.__module__ != "fuzz_values":
        hostile = []
    return f"<{kind.__qualname__}{''.join(' ' + name for name in hostile)}>"


def describe_case(seed, number):
    from fuzz_world import World

    world = World()
    _, (name, positional, keywords) = make_case(seed, number, world)
    arguments = [describe(v) for v in positional]
    arguments += [f"{describe(k)}={describe(v)}" for k, v in keywords.items()]
    print(f"case {number}: {name}({', '.join(arguments)})")


def worker(seed, first, count, trace=False):
    command = [sys.executable, __file__, "--worker", "--seed", str(seed)]
    command += ["--first", str(first), "--cases", str(count)] + (["--trace"] if trace else [])
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=str(HERE))
    try:
        return subprocess.run(
            command, capture_output=True, text=True, timeout=CHUNK_TIMEOUT, env=env
        )
    except subprocess.TimeoutExpired as expired:
        return expired


def last_case(stderr):
    lines = [line for line in (stderr or "").splitlines() if line.startswith("case ")]
    return int(lines[-1].split()[1]) if lines else None


def fuzz(seed, cases, first):
    totals = collections.Counter()
    calls = 0
    problems = []
    started = time.monotonic()
    for start in range(first, first + cases, CHUNK):
        count = min(CHUNK, first + cases - start)
        result = worker(seed, start, count)
        if isinstance(result, subprocess.TimeoutExpired) or result.returncode != 0:
            what = "hang" if isinstance(result, subprocess.TimeoutExpired) else "crash"
            replay = worker(seed, start, count, trace=True)  # again, naming each case
            number = last_case(replay.stderr if not isinstance(replay, Exception) else "")
            stderr = (result.stderr or "") if not isinstance(result, Exception) else ""
            status = "timeout" if what == "hang" else f"exit status {result.returncode}"
            problems.append(f"{what} in cases {start}-{start + count - 1} ({status}), "
                            f"last case started: {number}\n{stderr[-3000:]}")  # fmt: skip
            continue
        summary = json.loads(result.stdout.splitlines()[-1])
        totals.update(summary["outcomes"])
        calls += summary["calls"]
        problems += [f"case {n}: {message}" for n, message in summary["failures"]]
    elapsed = time.monotonic() - started
    print(f"fuzz: seed {seed}, cases {first}-{first + cases - 1}: {calls} calls "
          f"in {elapsed:.0f} s")  # fmt: skip
    print("outcomes: " + ", ".join(f"{k} {v}" for k, v in totals.most_common()))
    for problem in problems:
        print("FAILED:", problem)
    print(f"{len(problems)} crashes, hangs or SystemErrors")
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--cases", type=int, default=None)
    parser.add_argument("--first", type=int, default=0, help="number of the first case")
    parser.add_argument("--long", action="store_true", help="twenty times the default cases")
    parser.add_argument("--describe", type=int, metavar="CASE", help="print one case's call")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--trace", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    cases = options.cases or DEFAULT_CASES * (20 if options.long else 1)
    if options.worker:
        return run_cases(options.seed, options.first, cases, options.trace)
    sys.path.insert(0, str(HERE))
    if options.describe is not None:
        return describe_case(options.seed, options.describe)
    return fuzz(options.seed, cases, options.first)


if __name__ == "__main__":
    sys.exit(main())
