#!/usr/bin/env python3
"""The benchmark table of scripts/bench.

Each figure is measured in the same run as a floor on the same machine, and the ratio of
the two is the figure to read: absolute times vary with the machine and its load. Whole
processes are timed with hyperfine (medians) and their peak memory taken with
/usr/bin/time; the ip_segment figures come from bench/ip_segment.py.

usage: run.py [--rows GROUP,...] BUILD_DIR FLOOR_BIN [WINDOWS_EXE]
  --rows       only these groups of rows (default all): %s
  BUILD_DIR    the release sim build (src/tarvik, tools/tarvik-sim)
  FLOOR_BIN    bench/floor_write.cpp built static; bench-floor-fetch beside it is
               bench/floor_fetch.cpp, linked as the agent is (the cloud-init row's floor)
  WINDOWS_EXE  tarvik.exe of the windows-x86 build, or a "not built: why" text
"""
import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ip_segment  # noqa: E402
import regf_hive  # noqa: E402

ALL_RULE = "[rule.all]\nmatch=*\nexit=0\noutput=\n"
PASSWORD_CMD = ["config", "x", "passwd", "Administrator", "U2VjcmV0MQ=="]
ROWS = []


def row(figure, measured, floor, ratio, goal, verdict):
    ROWS.append((figure, measured, floor, ratio, goal, verdict))
    print("  measured: %s | %s | %s" % (figure, measured, ratio), file=sys.stderr, flush=True)


def hyperfine(commands, env, runs, prepare=None, warmup=1, cpu=False):
    """Median seconds of each command (cpu: its mean user and system time), run side by
    side by hyperfine: once in the order given and once reversed, each command's lower
    figure kept, so that a change of the machine's load between them weighs less."""
    best = [float("inf")] * len(commands)
    for order in (list(range(len(commands))), list(reversed(range(len(commands))))):
        with tempfile.NamedTemporaryFile(suffix=".json") as out:
            args = ["hyperfine", "-N", "--style", "none", "--runs", str(runs), "--warmup",
                    str(warmup), "--export-json", out.name]
            for i in order if prepare else []:
                args += ["--prepare", " ".join(shlex.quote(a) for a in prepare[i])]
            # hyperfine -N splits a command as a shell would, without starting one.
            args += [" ".join(shlex.quote(a) for a in commands[i]) for i in order]
            subprocess.run(args, env=env, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            results = json.load(open(out.name))["results"]
        for i, r in zip(order, results):
            best[i] = min(best[i], r["user"] + r["system"] if cpu else r["median"])
    return best


def peak_kb(command, env, check=True):
    """Peak resident memory of one run (kB), from /usr/bin/time."""
    with tempfile.NamedTemporaryFile(suffix=".txt") as out:
        subprocess.run(["/usr/bin/time", "-o", out.name, "-f", "%M"] + command, env=env,
                       check=check, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return int(open(out.name).read().split()[-1])


def verdict(ratio, goal, why=""):
    if goal is None:
        return ""
    if ratio <= goal:
        return "met"
    return "GAP %.2fx over%s" % (ratio / goal, ": " + why if why else "")


def ms(seconds):
    return "%.1f ms" % (seconds * 1e3)


def guest(sim, root, iso=False):
    shutil.rmtree(root, ignore_errors=True)
    subprocess.run([sim, "init", root] + (["--iso"] if iso else []), check=True,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(root, "sim", "tools.ini"), "w") as f:
        f.write(ALL_RULE)
    return dict(os.environ, TARVIK_SIM_ROOT=root)


START_WHY = ("the loader still maps libc and applies its relocations; the floor is static "
             "and needs none")
OPERATION_WHY = ("the operation's own work, beyond the start of the row above: the SYSTEM "
                 "hive read and written again atomically, the log and COM1 lines, events, "
                 "each path walked a component at a time")


def agent_start(agent, sim, floor, work):
    env = guest(sim, os.path.join(work, "start"))
    log = os.path.join(work, "floor.log")
    bare, a, f = hyperfine([[agent], [agent, "config", "x", "host", "a", "b"], [floor, log]],
                           env, runs=30)
    row("agent start: no arguments", ms(bare), "static C++ writing one file " + ms(f),
        "%.2fx" % (bare / f), "<= 2.0x", verdict(bare / f, 2.0, START_WHY))
    row("agent start: config x host a b", ms(a), "static C++ writing one file " + ms(f),
        "%.2fx" % (a / f), "<= 2.0x", verdict(a / f, 2.0, OPERATION_WHY))


def process_start(agent, sim, work):
    root = os.path.join(work, "calls")
    env = guest(sim, root)
    calls = os.path.join(root, "sim", "calls.jsonl")
    subprocess.run([agent] + PASSWORD_CMD, env=env, check=True, stdout=subprocess.DEVNULL)
    line = open(calls).read().splitlines()[0]
    empty, full = os.path.join(work, "calls0"), os.path.join(work, "calls9999")
    open(empty, "w").close()
    with open(full, "w") as f:
        for n in range(1, 10000):
            f.write(line.replace('{"n":1,', '{"n":%d,' % n, 1) + "\n")
    cmd = [agent] + PASSWORD_CMD
    first, later = hyperfine([cmd, cmd], env, runs=20,
                             prepare=[["cp", empty, calls], ["cp", full, calls]])
    r = later / first
    row("process start: 10,000th against 1st", ms(later), "1st start " + ms(first),
        "%.2fx" % r, "<= 1.2x",
        verdict(r, 1.2, "not the log's size: a start reads only its last line, from the end; "
                "the machine's load moves this pair (1.01x when idle)"))


def segments(agent, sim, work):
    results = {}
    for prefix in (30, 24, 20):
        runs = [ip_segment.run_segment(agent, sim, work, prefix) for _ in range(3)]
        results[prefix] = min(runs)
    (t30, n30, _), (t24, n24, _), (t20, n20, _) = results[30], results[24], results[20]
    small = (t24 - t30) / (n24 - n30)
    large = (t20 - t24) / (n20 - n24)
    per = ", ".join("/%d %.3f ms" % (p, t * 1e3 / n) for p, (t, n, _) in results.items())
    row("ip_segment: command /24->/20 against /30->/24 (CPU)", "%.3f ms (%s)" % (large * 1e3, per),
        "%.3f ms" % (small * 1e3), "%.2fx" % (large / small), "<= 1.1x",
        verdict(large / small, 1.1))


def iso_recording(agent, sim, work):
    root = os.path.join(work, "iso")
    env = guest(sim, root, iso=True)
    cmd = [agent, "config", "x", "ntp", "time.example.net"]
    subprocess.run(cmd, env=env, check=True, stdout=subprocess.DEVNULL)
    ini = None
    for base, _, files in os.walk(root):
        if "tarvik.ini" in files and "sim" not in base:
            ini = os.path.join(base, "tarvik.ini")
    text = open(ini, newline="").read()
    head, recorded = text.split("\n", 1)
    first, many = os.path.join(work, "ini0"), os.path.join(work, "ini499")
    with open(first, "w", newline="") as f:
        f.write(head + "\n")
    key, value = recorded.split("=", 1)
    with open(many, "w", newline="") as f:
        f.write(head + "\n")
        for n in range(499):
            f.write("%032X=%s" % (n + 1, value))
    a, b = hyperfine([cmd, cmd], env, runs=20,
                     prepare=[["cp", first, ini], ["cp", many, ini]])
    row("ISO recording: 500th command against 1st", ms(b), "1st " + ms(a), "%.2fx" % (b / a),
        "<= 1.2x", verdict(b / a, 1.2))


def key_values(k, values):
    """The values of the k-th key of a bench hive of `values` values: (name, type, bytes)."""
    for v in range(min(10, values - k * 10)):
        i = k * 10 + v
        if v % 3 == 0:
            yield "Value%d" % v, 4, i.to_bytes(4, "little")
        elif v % 3 == 1:
            yield ("Value%d" % v, 1,
                   ("text of value %d in key %d" % (i, k)).encode("utf-16-le") + b"\0\0")
        else:
            yield "Value%d" % v, 3, bytes((i + j) & 255 for j in range(8))


def write_hive(path, values, kind):
    """A SOFTWARE hive of `values` values, ten a key, in a thousand keys a group: .reg text
    (kind "reg") or a real hive file ("regf")."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    keys = (values + 9) // 10
    if kind == "regf":
        groups = {}
        for k in range(keys):
            group = groups.setdefault("Group%03d" % (k // 1000), {"keys": {}})
            group["keys"]["Key%06d" % k] = {"values": list(key_values(k, values))}
        regf_hive.write_regf(path, {"keys": {"Bench": {"keys": groups}}} if values else {})
        return
    with open(path, "w") as f:
        f.write("Windows Registry Editor Version 5.00\n\n[]\n\n")
        for k in range(keys):
            f.write("[Bench\\Group%03d\\Key%06d]\n" % (k // 1000, k))
            for name, vtype, data in key_values(k, values):
                if vtype == 4:
                    f.write('"%s"=dword:%08x\n' % (name, int.from_bytes(data, "little")))
                elif vtype == 1:
                    f.write('"%s"="%s"\n' % (name, data[:-2].decode("utf-16-le")))
                else:
                    f.write('"%s"=hex:%s\n' % (name, ",".join("%02x" % b for b in data)))
            f.write("\n")


# Why a hive row can be over its goal: (query, add), for files of a megabyte or more.
HIVE_WHY = {
    "reg": ("a read builds only the key's blocks, but reads and checks every value line of "
            "the file, so that a malformed one fails every read as before",
            "a change still parses every value into its own heap node to write the file "
            "whole"),
    "regf": ("", ""),
}
SMALL_FILE_WHY = ("at this size the cost is the sim process's own start: the loader, libc and "
                  "the machine's files")


def hive(sim, work, values, kind):
    root = os.path.join(work, "hive%d%s" % (values, kind))
    env = guest(sim, root)
    path = os.path.join(root, "c", "Windows", "System32", "config", "SOFTWARE")
    write_hive(path, values, kind)
    size = os.path.getsize(path)
    key = "HKLM\\SOFTWARE\\Bench\\Group%03d\\Key%06d" % ((values // 20) // 1000, values // 20)
    query = [sim, "reg", "query", key, "/v", "Value1"]
    add = [sim, "reg", "add", key, "/v", "Added", "/d", "new value", "/f"]
    copy = ["cp", path, os.path.join(work, "copy")]
    runs = 10 if values < 500000 else 5
    q, a, c = hyperfine([query, add, copy], env, runs=runs)
    name = "%s hive of %s values (%.2f MB)" % (
        "regf" if kind == "regf" else ".reg text", format(values, ","), size / 1e6)
    query_why, add_why = HIVE_WHY[kind] if size >= 1e6 else (SMALL_FILE_WHY, SMALL_FILE_WHY)
    row(name + ": query", ms(q), "cp of the file " + ms(c), "%.2fx" % (q / c), "<= 3x",
        verdict(q / c, 3, query_why))
    row(name + ": add", ms(a), "cp of the file " + ms(c), "%.2fx" % (a / c), "<= 3x",
        verdict(a / c, 3, add_why if size < 1e6 else "; ".join(
            w for w in (add_why, "the new file is written whole and synced") if w)))
    # The process's own memory (its libraries, the machine) is not the hive's: the same
    # command on an empty hive is the floor.
    peak = max(peak_kb(query, env), peak_kb(add, env)) * 1024
    write_hive(path, 0, kind)
    # (The key is not there to query: only the memory counts.)
    base = max(peak_kb(query, env, check=False), peak_kb(add, env)) * 1024
    grown = max(peak - base, 0)
    row(name + ": peak memory", "%.1f MB above the process's own %.1f MB"
        % (grown / 1e6, base / 1e6), "file size %.1f MB" % (size / 1e6),
        "%.2fx" % (grown / size), "<= 3x",
        verdict(grown / size, 3, ("the add's: a change parses every value into a node of "
                                  "about 100 bytes, its text line 37"
                                  if kind == "reg" else "")
                if size >= 1e6 else "a file this small is below the granularity of pages "
                "and the allocator"))


STAGED_FILES = 2000
STAGING_WHY = ("each copy also reads its source whole, writes its attribute line to "
               "attributes.ini under that file's lock; the file system's inode allocation "
               "and writeback, most of both figures, move them between runs")


def staging(agent, sim, work):
    """The product folder staged into the offline image (guest::copy_files, run by the
    first command of a boot of the medium) with 2,000 more files than the medium has,
    less the same boot with the medium as it is, against cp -r of those files."""
    cmd = ["config", "x", "ntp", "time.example.net"]
    roots = [os.path.join(work, "stage-full"), os.path.join(work, "stage-base")]
    envs = [guest(sim, root, iso=True) for root in roots]
    for env in envs:  # the first boot of the medium; the image keeps what it installed
        subprocess.run([agent] + cmd, env=env, check=True, stdout=subprocess.DEVNULL)
    tree = os.path.join(roots[0], "x", "kovenu", "tarvik", "bench")
    for d in range(40):
        os.makedirs(os.path.join(tree, "set%02d" % d))
        for f in range(STAGED_FILES // 40):
            with open(os.path.join(tree, "set%02d" % d, "file%02d.dat" % f), "wb") as out:
                out.write(os.urandom(4096))
    runs, prepare = [], []
    for root in roots:
        attributes = os.path.join(root, "sim", "attributes.ini")
        saved = os.path.join(root, "attributes.saved")
        shutil.copy(attributes, saved)
        # Booting the medium again, with the image as the first boot left it.
        again = "env TARVIK_SIM_ROOT=%s %s reg delete 'HKLM\\SYSTEM' /v tarvik.inst /f" % (
            shlex.quote(root), shlex.quote(sim))
        prepare.append(["sh", "-c", "%s >/dev/null && rm -rf %s && cp %s %s" % (
            again, shlex.quote(os.path.join(root, "d", "ProgramData", "kovenu", "tarvik",
                                            "bench")),
            shlex.quote(saved), shlex.quote(attributes))])
        runs.append(["env", "TARVIK_SIM_ROOT=" + root, agent] + cmd)
    copy = os.path.join(work, "stage-cp")
    runs.append(["cp", "-r", tree, copy])
    prepare.append(["rm", "-rf", copy])
    full, base, cp = hyperfine(runs, envs[0], runs=3, warmup=0, prepare=prepare)
    staged = full - base
    r = staged / cp
    row("image staging of 2,000 files (4 kB) against cp -r",
        "%s (medium boot %s less %s without them)" % (ms(staged), ms(full), ms(base)),
        "cp -r of the files " + ms(cp), "%.2fx" % r, "<= 1.5x",
        verdict(r, 1.5, STAGING_WHY))


# The floor is the run's requests alone; the goal leaves room for the work the run does
# beyond them, which the floor does not do.
CLOUD_INIT_WHY = ("beyond its requests the run does the agent's work: its start and tarvik.ini, "
                  "the log and COM1 lines, the host name, NTP and WSUS settings in the hives, "
                  "and the user-data script written and started")


def cloud_init(agent, sim, floor, work):
    """A run against a metadata service on loopback that serves what the probe and the run
    ask for, against a program linked as the agent is that makes the same requests."""
    root = os.path.join(work, "cloudinit")
    env = guest(sim, root)
    meta = os.path.join(root, "metadata", "latest")
    files = {"meta-data/instance-id": "i-bench",
             "meta-data/hostname": "bench-host",
             "meta-data/wsus-server/wu-server": "http://wsus.example.net:8530",
             "meta-data/ntp-conf/ntp-servers": "time1.example.net\r\ntime2.example.net\r\n",
             "user-data/index": "[bat]\r\necho bench\r\n"}
    for name, text in files.items():
        os.makedirs(os.path.dirname(os.path.join(meta, name)), exist_ok=True)
        with open(os.path.join(meta, name), "w", newline="") as f:
            f.write(text)
    server = subprocess.Popen([sim, "metadata", "--listen", "127.0.0.1:0"], env=env,
                              stderr=subprocess.PIPE, text=True)
    # The server logs a line a request ("ADDR GET PATH STATUS BYTES"); read as they come.
    requests = []
    reader = threading.Thread(target=lambda: requests.extend(
        line.split() for line in server.stderr), daemon=True)
    try:
        first = server.stderr.readline()
        port = first.rsplit(":", 1)[1].strip()
        reader.start()
        ini = os.path.join(root, "machine.ini")
        text = open(ini).read()
        lines = [("metadata=127.0.0.1:" + port) if l.startswith("metadata=") else l
                 for l in text.splitlines()]
        open(ini, "w").write("\n".join(lines) + "\n")
        run = [agent, "config", "x", "cloudinit"]
        subprocess.run(run, env=env, check=True, stdout=subprocess.DEVNULL)
        time.sleep(0.2)  # the last request's line
        asked = [r for r in requests if len(r) >= 4 and r[1] == "GET"]
        missing = [r[2] for r in asked if r[3] != "200"]
        urls = ["http://127.0.0.1:%s%s" % (port, r[2]) for r in asked]
        cpu, floor_cpu = hyperfine([run, [floor, os.path.join(work, "f.log")] + urls], env,
                                   runs=10, cpu=True)
        r = cpu / floor_cpu
        row("cloud-init run (virtual clock, loopback metadata): CPU",
            "%s, %d requests%s" % (ms(cpu), len(asked),
                                  " (%d unanswered)" % len(missing) if missing else ""),
            "the same requests, static libcurl: %s" % ms(floor_cpu), "%.2fx" % r, "<= 12x",
            verdict(r, 12, CLOUD_INIT_WHY))
    finally:
        server.terminate()
        server.wait()


def exe_size(exe):
    if not os.path.isfile(exe):
        row("tarvik.exe size", exe, "-", "-", "-", "")
        return
    stripped = exe + ".stripped"
    subprocess.run(["i686-w64-mingw32-strip", "-o", stripped, exe], check=True)
    row("tarvik.exe size (windows-x86)", "%.0f kB" % (os.path.getsize(exe) / 1024),
        "stripped %.0f kB" % (os.path.getsize(stripped) / 1024), "-", "-", "")
    os.remove(stripped)


def print_table():
    head = ("figure", "measured", "floor (same run)", "ratio", "goal", "")
    rows = [head] + ROWS
    widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
    for n, r in enumerate(rows):
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
        if n == 0:
            print("  ".join("-" * w for w in widths))


GROUPS = ("start", "process", "segments", "iso", "hive-reg", "hive-regf", "staging",
          "cloudinit", "exe")
__doc__ = __doc__ % ", ".join(GROUPS)


def main():
    args = sys.argv[1:]
    groups = GROUPS
    if args[:1] == ["--rows"] and len(args) > 1:
        groups = args[1].split(",")
        args = args[2:]
        unknown = [g for g in groups if g not in GROUPS]
        if unknown:
            sys.exit("run.py: no such rows: %s\n%s" % (", ".join(unknown), __doc__))
    if len(args) < 2:
        sys.exit(__doc__)
    build, floor = args[0], args[1]
    exe = args[2] if len(args) > 2 else "not built"
    fetch_floor = os.path.join(os.path.dirname(os.path.abspath(floor)), "bench-floor-fetch")
    agent = os.path.join(build, "src", "tarvik")
    sim = os.path.join(build, "tools", "tarvik-sim")
    work = tempfile.mkdtemp(prefix="tarvik-bench-")
    steps = {
        "start": lambda: agent_start(agent, sim, floor, work),
        "process": lambda: process_start(agent, sim, work),
        "segments": lambda: segments(agent, sim, work),
        "iso": lambda: iso_recording(agent, sim, work),
        "hive-reg": lambda: [hive(sim, work, v, "reg") for v in (1000, 100000, 1000000)],
        "hive-regf": lambda: [hive(sim, work, v, "regf") for v in (1000, 100000, 1000000)],
        "staging": lambda: staging(agent, sim, work),
        "cloudinit": lambda: cloud_init(agent, sim, fetch_floor, work),
        "exe": lambda: exe_size(exe),
    }
    try:
        for g in GROUPS:
            if g in groups:
                steps[g]()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print_table()


if __name__ == "__main__":
    main()
