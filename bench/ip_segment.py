#!/usr/bin/env python3
"""Cost per address command of ip_segment on a simulated guest.

Runs `tarvik config x ip_segment a b 10.0.0.0 P` for /30, /24 and /20 on fresh guests
(virtual clock, instant tool rules, the loopback adapter already present) and prints
the time per command of each run, the marginal cost per command between the sizes,
and the /20 run's time against 4094 starts of a trivial program on this machine.

usage: ip_segment.py TARVIK TARVIK_SIM [REPEATS]
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

LOOPBACK = ("[adapter.9]\nindex=9\nmac=02:00:4c:4f:4f:50\nname=Ethernet 2\n"
            "id={6D1F3A52-7C1B-4E0B-9F0A-2B7C5E8D9A01}\n"
            "description=Microsoft KM-TEST Loopback Adapter\n")
RULES = ("[rule.netsh]\nmatch=netsh *\nexit=0\noutput=Ok.\\r\\n\n"
         "[rule.devcon]\nmatch=*devcon_*\nexit=0\noutput=\n")


CHILD_CPU = [0.0]  # processor time of the children so far


def guest(sim, root):
    subprocess.run([sim, "init", root], check=True, stdout=subprocess.DEVNULL)
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    CHILD_CPU[0] = usage.ru_utime + usage.ru_stime
    with open(os.path.join(root, "machine.ini"), "a") as f:
        f.write(LOOPBACK)
    with open(os.path.join(root, "sim", "tools.ini"), "w") as f:
        f.write(RULES)


def run_segment(agent, sim, work, prefix):
    root = os.path.join(work, "p%d" % prefix)
    shutil.rmtree(root, ignore_errors=True)
    guest(sim, root)
    env = dict(os.environ, TARVIK_SIM_ROOT=root)
    start = time.perf_counter()
    child = subprocess.Popen([agent, "config", "x", "ip_segment", "a", "b", "10.0.0.0",
                              str(prefix)], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    stdout, stderr = child.communicate()
    elapsed = time.perf_counter() - start
    # The agent's processor time (user and system): steadier than the wall clock on a
    # shared machine. The sim answers tool rules inside the agent's process.
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = usage.ru_utime + usage.ru_stime - CHILD_CPU[0]
    CHILD_CPU[0] = usage.ru_utime + usage.ru_stime
    if stdout != "0:success":
        sys.exit("ip_segment /%d: %r %r" % (prefix, stdout, stderr))
    with open(os.path.join(root, "sim", "calls.jsonl")) as f:
        calls = sum(1 for line in f if '"netsh interface ip add address' in line)
    return cpu, calls, elapsed


def trivial_starts(count):
    true = shutil.which("true") or "/bin/true"
    start = time.perf_counter()
    for _ in range(count):
        subprocess.run([true])
    return time.perf_counter() - start


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    agent, sim = sys.argv[1], sys.argv[2]
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    work = tempfile.mkdtemp(prefix="tarvik-bench-")
    try:
        results = {}
        for prefix in (30, 24, 20):
            # The best of a few runs: the machine is shared.
            runs = [run_segment(agent, sim, work, prefix) for _ in range(repeats)]
            results[prefix] = min(runs)
        print("ip_segment on a simulated guest (processor time, best of %d runs)" % repeats)
        for prefix, (t, n, wall) in results.items():
            print("  /%d: %5d address commands  %8.1f ms  %.3f ms per command  (wall %.1f ms)"
                  % (prefix, n, t * 1e3, t * 1e3 / max(n, 1), wall * 1e3))
        (t30, n30, _), (t24, n24, _), (t20, n20, wall20) = results[30], results[24], results[20]
        small = (t24 - t30) / (n24 - n30)
        large = (t20 - t24) / (n20 - n24)
        print("  marginal cost per command /30->/24: %.3f ms" % (small * 1e3))
        print("  marginal cost per command /24->/20: %.3f ms" % (large * 1e3))
        print("  ratio (/24->/20 over /30->/24): %.3f (goal: at most 1.1)" % (large / small))
        loop = trivial_starts(n20)
        print("  %d starts of a trivial program: %.1f ms wall; the /20 run takes %.2fx that"
              % (n20, loop * 1e3, wall20 / loop))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
