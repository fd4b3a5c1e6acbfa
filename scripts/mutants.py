#!/usr/bin/env python3
"""Mutation check: applies each mutant of scripts/mutants.txt, one at a time, to a scratch copy of
the tree, builds it (dev preset, incrementally) and runs the tests that cover the changed file.
A mutant is killed when a test fails, or when its tests run past the time bound (a hang counts as
caught: CI would fail too). A developer's tool, not part of CI.

  scripts/mutants.py                 every mutant, against the working tree's tests
  scripts/mutants.py --quick [N]     a sample of N (8) spread over the table
  scripts/mutants.py --rev REV       the tree as committed at REV (e.g. before a change to tests)
  scripts/mutants.py NAME...         only those mutants

End-to-end suites run in a private network namespace of their own (unshare -n) at low priority.
"""
import argparse
import io
import os
import shutil
import signal
import subprocess
import sys
import tarfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TABLE = os.path.join(ROOT, "scripts", "mutants.txt")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def read_table(path):
    mutants = []
    for block in open(path).read().split("\n\n"):
        fields = {}
        for line in block.splitlines():
            if line.startswith("#") or not line.strip():
                continue
            key, _, value = line.partition(": ")
            fields[key] = value
        if fields:
            missing = {"name", "file", "find", "with"} - set(fields)
            if missing or not (fields.get("unit") or fields.get("e2e")):
                sys.exit(f"mutants.txt: {fields.get('name', block[:40])}: needs {missing or 'tests'}")
            fields["e2e"] = fields.get("e2e", "").split()
            mutants.append(fields)
    names = [m["name"] for m in mutants]
    if len(set(names)) != len(names):
        sys.exit("mutants.txt: a name is used twice")
    return mutants


def tree_files(rev):
    """{path: bytes} of the tree to mutate: committed at `rev`, or the working tree."""
    if rev:
        tar = subprocess.run(["git", "archive", "--format=tar", rev], cwd=ROOT, check=True,
                             capture_output=True).stdout
        with tarfile.open(fileobj=io.BytesIO(tar)) as archive:
            return {m.name: archive.extractfile(m).read() for m in archive.getmembers() if m.isfile()}
    names = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                           cwd=ROOT, check=True, capture_output=True).stdout.decode().split("\0")
    return {n: open(os.path.join(ROOT, n), "rb").read() for n in names
            if n and os.path.isfile(os.path.join(ROOT, n))}


def sync(files, scratch):
    """Makes `scratch` hold exactly `files`, touching only what differs (so builds stay
    incremental)."""
    for name, data in files.items():
        path = os.path.join(scratch, name)
        try:
            with open(path, "rb") as f:
                if f.read() == data:
                    continue
        except FileNotFoundError:
            os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if os.path.exists(os.path.join(ROOT, name)):
            shutil.copymode(os.path.join(ROOT, name), path)
    for d, dirs, names in os.walk(scratch):
        if os.path.relpath(d, scratch).split(os.sep)[0] in ("build", ".git"):
            dirs[:] = []
            continue
        for n in names:
            rel = os.path.relpath(os.path.join(d, n), scratch)
            if rel not in files:
                os.remove(os.path.join(d, n))


def mutated(text, mutant):
    at = -1
    for _ in range(int(mutant.get("at", 1))):
        at = text.index(mutant["find"], at + 1)
    return text[:at] + mutant["with"] + text[at + len(mutant["find"]):]


def run(cmd, timeout, **kw):
    """(status, output); a run past `timeout` is status None, and everything it started ends."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            errors="replace", start_new_session=True, **kw)
    try:
        out = proc.communicate(timeout=timeout)[0]
        return proc.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        return None, proc.communicate()[0]


def build(scratch, targets, timeout):
    return run(["nice", "cmake", "--build", os.path.join(scratch, "build", "dev"), "-j2",
                *(["--target", *targets] if targets else [])], timeout)


def tests(scratch, mutant, args, log):
    """'killed (<by>)' or 'survived'."""
    bindir = os.path.join(scratch, "build", "dev")
    if mutant.get("unit"):
        rc, out = run(["nice", os.path.join(bindir, "tests", "unit_tests"),
                       f"--gtest_filter={mutant['unit']}"], args.timeout,
                      env=dict(os.environ, TMPDIR=os.path.join(bindir, "tests")))
        log.write(out)
        if rc is None:
            return "killed (unit tests hung)"
        if rc != 0:
            return "killed (unit)"
    suites = [os.path.join(scratch, "tests", "e2e", f"test_{s}.py") for s in mutant["e2e"]]
    for suite in suites:
        if not os.path.exists(suite):
            sys.exit(f"{mutant['name']}: no suite {suite}")
    if suites:
        env = dict(os.environ, VELMORA_LAUNCHER=os.path.join(bindir, "bin", "velmora-launcher"),
                   VELMORA_STANDINS=os.path.join(bindir, "tools", "standin"))
        pytest = ["nice", PYTHON, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                  *suites]
        cmd = pytest if args.no_unshare else [
            "unshare", "-n", "bash", "-c", 'ip link set lo up && exec "$@"', "sh", *pytest]
        rc, out = run(cmd, args.timeout, env=env, cwd=scratch)
        log.write(out)
        if rc is None:
            return "killed (e2e timed out)"
        if rc != 0:
            return "killed (e2e " + " ".join(mutant["e2e"]) + ")"
    return "survived"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*")
    parser.add_argument("--quick", nargs="?", type=int, const=8, metavar="N")
    parser.add_argument("--rev", help="mutate the tree committed at REV instead of the working tree")
    parser.add_argument("--scratch", default=os.path.join(ROOT, "build", "mutants"))
    parser.add_argument("--timeout", type=int, default=600, help="seconds per mutant's test run")
    parser.add_argument("--no-unshare", action="store_true",
                        help="already in a private network namespace")
    args = parser.parse_args()

    mutants = read_table(TABLE)
    if args.names:
        unknown = set(args.names) - {m["name"] for m in mutants}
        if unknown:
            sys.exit(f"unknown mutants: {' '.join(sorted(unknown))}")
        mutants = [m for m in mutants if m["name"] in args.names]
    elif args.quick:
        step = max(1, len(mutants) // args.quick)
        mutants = mutants[::step][:args.quick]

    files = tree_files(args.rev)
    src = os.path.join(args.scratch, "src")
    os.makedirs(src, exist_ok=True)
    sync(files, src)
    for m in mutants:
        text = files.get(m["file"], b"").decode()
        if text.count(m["find"]) < int(m.get("at", 1)) or (
                "at" not in m and text.count(m["find"]) != 1):
            sys.exit(f"{m['name']}: '{m['find']}' is not in {m['file']} exactly once")

    log_path = os.path.join(args.scratch, "mutants.log")
    log = open(log_path, "w")
    if not os.path.exists(os.path.join(src, "build", "dev", "build.ninja")):
        rc, out = run(["cmake", "--preset", "dev"], 600, cwd=src)
        log.write(out)
        if rc != 0:
            sys.exit(f"configure failed (see {log_path})")
    rc, out = build(src, [], 3600)
    log.write(out)
    if rc != 0:
        sys.exit(f"the unmutated tree does not build (see {log_path})")

    results = []
    started = time.monotonic()
    for m in mutants:
        began = time.monotonic()
        path = os.path.join(src, m["file"])
        original = files[m["file"]]
        log.write(f"\n===== {m['name']}\n")
        try:
            with open(path, "w") as f:
                f.write(mutated(original.decode(), m))
            rc, out = build(src, ["velmora-launcher", "unit_tests"], 1200)
            log.write(out)
            if rc != 0:
                outcome = "invalid (does not build)"
            else:
                outcome = tests(src, m, args, log)
        finally:
            with open(path, "wb") as f:
                f.write(original)
        log.flush()
        results.append((m["name"], outcome))
        print(f"{m['name']:48} {outcome:32} {time.monotonic() - began:5.0f} s", flush=True)

    killed = sum(o.startswith("killed") for _, o in results)
    survived = [n for n, o in results if o == "survived"]
    invalid = [n for n, o in results if o.startswith("invalid")]
    print(f"\n{len(results)} mutants: {killed} killed, {len(survived)} survived"
          f"{f', {len(invalid)} invalid' if invalid else ''} "
          f"in {(time.monotonic() - started) / 60:.1f} min (log: {log_path})")
    for name in survived:
        print(f"  survived: {name}")
    # Leave the scratch build matching the unmutated tree.
    build(src, ["velmora-launcher", "unit_tests"], 1200)
    return 1 if survived or invalid else 0


if __name__ == "__main__":
    sys.exit(main())
