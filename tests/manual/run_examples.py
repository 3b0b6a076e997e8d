#!/usr/bin/env python3
"""Runs the shell sessions of docs/manual.md and compares what they print.

A session is a fenced block tagged `console`. A line that begins with "$ " is a command;
the lines after it, up to the next command, are what it prints (standard output and
standard error together). A command whose output does not end with a line end (the
agent's result line) compares as if it did, and a CR before a line end (the log's lines
end with CR LF) is not compared.

Each block runs in a fresh empty folder of its own (its current folder, and TMPDIR), with
the folders of tarvik and tarvik-sim first on PATH, in bash, and where it can in a network
namespace of its own, so that the metadata service's port of one block never meets
another's. Background jobs a block leaves are ended with it.

Expected lines may hold these placeholders, each matching loosely:
  <pid>   a process id (decimal digits)
  <date>  a date as the log writes it, 2025/01/06 or 2025.01.06
  <time>  a time of day, 09:49:05
  <n>     any decimal number (a simulated clock's milliseconds, a byte count)
  <guid>  32 hexadecimal digits (a key of tarvik.ini)
  <tmp>   a path below the block's own folder
Everything else, result lines and log texts included, must match exactly.

  run_examples.py MANUAL --tarvik BIN --sim BIN [--block N]  run block N (1-based), or all
  run_examples.py MANUAL --count                             print the number of blocks
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

START = "\x1e"
END = "\x1f"

PLACEHOLDERS = {
    "<pid>": r"\d+",
    "<date>": r"\d{4}[/.]\d{2}[/.]\d{2}",
    "<time>": r"\d{2}:\d{2}:\d{2}",
    "<n>": r"\d+",
    "<guid>": r"[0-9A-F]{32}",
}


def blocks_of(text):
    """The console blocks: a list of (first line number, [(command, [expected lines])])."""
    blocks = []
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        if lines[i].strip() == "```console":
            start = i + 1
            steps = []
            i += 1
            while i < len(lines) and lines[i].strip() != "```":
                line = lines[i]
                if line.startswith("$ "):
                    steps.append((line[2:], []))
                elif steps:
                    steps[-1][1].append(line)
                elif line.strip():
                    raise SystemExit(f"manual line {i + 1}: output before the first command")
                i += 1
            blocks.append((start, steps))
        i += 1
    return blocks


def line_pattern(expected, folder):
    pattern = re.escape(expected)
    for name, regex in PLACEHOLDERS.items():
        pattern = pattern.replace(re.escape(name), regex)
    pattern = pattern.replace(re.escape("<tmp>"), re.escape(folder) + r"[^\s]*")
    return re.compile(pattern + r"\Z")


def network_namespace_works():
    if not shutil.which("unshare") or not shutil.which("ip"):
        return False
    try:
        r = subprocess.run(["unshare", "-n", "ip", "link", "set", "lo", "up"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)
        return r.returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def run_block(number, first_line, steps, tarvik, sim):
    folder = tempfile.mkdtemp(prefix="tarvik-manual-")
    try:
        # The markers around each command keep its exit status for the next one ($?).
        script = ["__rc=0"]
        for i, (command, _) in enumerate(steps):
            script.append(f"printf '{START}%d\\n' {i}")
            script.append("(exit $__rc)")
            script.append(command)
            script.append("__rc=$?")
            script.append(f"printf '\\n{END}\\n'")
        with open(os.path.join(folder, ".session.sh"), "w") as f:
            f.write("\n".join(script) + "\n")
        env = dict(os.environ)
        env["PATH"] = os.pathsep.join(
            [os.path.dirname(os.path.abspath(tarvik)), os.path.dirname(os.path.abspath(sim)),
             env.get("PATH", "")])
        env["TMPDIR"] = folder
        env.pop("TARVIK_SIM_ROOT", None)
        env.pop("TARVIK_SIM_AGENT", None)
        shell = ["bash", "--noprofile", "--norc", ".session.sh"]
        if network_namespace_works():
            shell = ["unshare", "-n", "bash", "--noprofile", "--norc", "-c",
                     "ip link set lo up && exec bash --noprofile --norc .session.sh"]
        # Output goes to a file: a background job keeps a pipe open after the shell ends.
        output_path = os.path.join(folder, ".session.out")
        with open(output_path, "wb") as output:
            proc = subprocess.Popen(shell, cwd=folder, env=env, stdout=output,
                                    stderr=subprocess.STDOUT, start_new_session=True)
            timed_out = False
            try:
                proc.wait(timeout=120)
            except subprocess.TimeoutExpired:
                timed_out = True
            finally:
                # The block's background jobs (a metadata service) end with it.
                try:
                    os.killpg(proc.pid, signal.SIGKILL if timed_out else signal.SIGTERM)
                except ProcessLookupError:
                    pass
                proc.wait()
        if timed_out:
            print(f"block {number} (manual line {first_line}): timed out")
            return False
        with open(output_path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
        actual = {}
        for piece in text.split(START)[1:]:
            head, _, rest = piece.partition("\n")
            body = rest.split("\n" + END, 1)[0]
            actual[int(head)] = body.rstrip("\n")
        ok = True
        for i, (command, expected) in enumerate(steps):
            got = actual.get(i)
            if got is None:
                print(f"block {number} (manual line {first_line}): `{command}` did not run")
                ok = False
                continue
            got_lines = [g[:-1] if g.endswith("\r") else g for g in got.split("\n")] if got else []
            want = list(expected)
            while want and not want[-1].strip():
                want.pop()
            same = len(got_lines) == len(want) and all(
                line_pattern(w, folder).match(g) for w, g in zip(want, got_lines))
            if not same:
                ok = False
                print(f"block {number} (manual line {first_line}): `{command}` printed")
                for g in got_lines:
                    print(f"  | {g}")
                print("the manual shows")
                for w in want:
                    print(f"  | {w}")
        return ok
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("manual")
    parser.add_argument("--tarvik")
    parser.add_argument("--sim")
    parser.add_argument("--block", type=int)
    parser.add_argument("--count", action="store_true")
    args = parser.parse_args()
    with open(args.manual, encoding="utf-8") as f:
        blocks = blocks_of(f.read())
    if args.count:
        print(len(blocks))
        return 0
    if not blocks:
        print("the manual has no console blocks")
        return 1
    chosen = range(1, len(blocks) + 1) if args.block is None else [args.block]
    failed = 0
    for n in chosen:
        if n < 1 or n > len(blocks):
            print(f"the manual has {len(blocks)} console blocks, not {n}")
            return 1
        first_line, steps = blocks[n - 1]
        if not run_block(n, first_line, steps, args.tarvik, args.sim):
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
