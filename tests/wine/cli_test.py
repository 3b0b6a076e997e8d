#!/usr/bin/env python3
"""CLI tests of tarvik.exe under Wine.

The agent runs from C:\\ProgramData\\kovenu\\tarvik in the build tree's Wine prefix,
with faketool.exe copied beside it under the names of the tools a case needs (the
system's search finds the program's own folder first). Environment: WINEPREFIX,
TARVIK_EXE (the built tarvik.exe), FAKETOOL_EXE (the built faketool.exe).
Run one case: cli_test.py CliTest.test_name
"""
import base64
import os
import re
import shutil
import subprocess
import unittest

PREFIX = os.environ.get("WINEPREFIX", "")
AGENT_DIR = os.path.join(PREFIX, "drive_c", "ProgramData", "kovenu", "tarvik")
LOG_DIR = os.path.join(AGENT_DIR, "log")
RECORDS = os.path.join(AGENT_DIR, "faketool.log")
RECORDS_WIN = "C:\\ProgramData\\kovenu\\tarvik\\faketool.log"
CURRENT_VERSION = r"HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion"
LINE = re.compile(r"^\[pid=(\d+),iso=0\]\[(\d{4})/(\d\d)/(\d\d)/\d\d:\d\d:\d\d\] (.*)$", re.S)


def wine_env(extra=None):
    env = dict(os.environ)
    env["WINEDEBUG"] = "-all"
    env["FAKETOOL_LOG"] = RECORDS_WIN
    env.update(extra or {})
    return env


def reg(*args):
    subprocess.run(["wine", "reg", *args, "/f"], env=wine_env(), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


class CliTest(unittest.TestCase):
    def setUp(self):
        os.makedirs(AGENT_DIR, exist_ok=True)
        shutil.copy(os.environ["TARVIK_EXE"], os.path.join(AGENT_DIR, "tarvik.exe"))
        self.tools = []
        if os.path.exists(RECORDS):
            os.remove(RECORDS)
        self.log_sizes = self.log_files()

    def tearDown(self):
        for tool in self.tools:
            os.remove(os.path.join(AGENT_DIR, tool + ".exe"))

    # -- helpers ---------------------------------------------------------------------
    def fake(self, *names):
        for name in names:
            shutil.copy(os.environ["FAKETOOL_EXE"], os.path.join(AGENT_DIR, name + ".exe"))
            self.tools.append(name)

    def agent(self, *args, env=None, timeout=60):
        r = subprocess.run(["wine", os.path.join(AGENT_DIR, "tarvik.exe"), *args],
                           env=wine_env(env), capture_output=True, timeout=timeout)
        return r.returncode, r.stdout.decode("latin-1")

    @staticmethod
    def log_files():
        if not os.path.isdir(LOG_DIR):
            return {}
        return {n: os.path.getsize(os.path.join(LOG_DIR, n)) for n in os.listdir(LOG_DIR)}

    def new_log_lines(self):
        """Lines the last runs added, each checked for the log's line layout."""
        lines = []
        for name, size in sorted(self.log_files().items()):
            with open(os.path.join(LOG_DIR, name), "rb") as f:
                f.seek(self.log_sizes.get(name, 0))
                text = f.read().decode("latin-1")
            if not text:
                continue
            self.assertTrue(text.endswith("\r\n"), "log lines end in CR LF")
            # A message may hold line ends of its own (a tool's output): lines begin with
            # the pid prefix.
            for line in re.split(r"\r\n(?=\[pid=)", text[:-2]):
                m = LINE.match(line)
                self.assertIsNotNone(m, "log line layout: %r" % line)
                self.assertEqual(name, "%s.%s.%s.log" % m.group(2, 3, 4),
                                 "the file is named after the day")
                lines.append(m.group(5))
        return lines

    def records(self):
        if not os.path.exists(RECORDS):
            return []
        with open(RECORDS, "rb") as f:
            return [tuple(l.split("\t", 1)) for l in f.read().decode("latin-1").splitlines()]

    # -- cases -----------------------------------------------------------------------
    def test_no_arguments_prints_build_time_only(self):
        code, out = self.agent()
        self.assertEqual(code, 0)
        self.assertRegex(out, r"^compile time is \w{3} [ \d]\d \d{4}\.\d\d:\d\d:\d\d$")
        self.assertEqual(self.new_log_lines(), [])

    def test_unknown_command_logs_start_line_only(self):
        code, out = self.agent("Config", "windows_xxx", "host", "a", "b")
        self.assertEqual(code, 0)
        self.assertEqual(out, "")
        lines = self.new_log_lines()
        self.assertIn("tarvik.exe start cmd: Config windows_xxx host a b ", lines)
        self.assertEqual([l for l in lines if "exit" in l], [])

    def test_password_is_masked_and_run_through_net(self):
        self.fake("net")
        password = "S3cret-pw"
        code, out = self.agent("config", "windows_xxx", "passwd", "Administrator",
                               base64.b64encode(password.encode()).decode())
        self.assertEqual((code, out), (0, "0:success"))
        lines = self.new_log_lines()
        self.assertEqual(lines[0],
                         "tarvik.exe start cmd: config windows_xxx passwd <user_name> ******")
        self.assertIn("tarvik exit 0,success", lines)
        self.assertFalse([l for l in lines if password in l], "the password never reaches the log")
        self.assertEqual(self.records(), [("net", "user Administrator " + password)])

    def test_failing_tool_output_is_captured(self):
        self.fake("net")
        code, out = self.agent("config", "windows_xxx", "passwd", "guest", "eA==",
                               env={"FAKETOOL_NET_EXIT": "2",
                                    "FAKETOOL_NET_OUTPUT": "System error 5 has occurred.\\r\\n"})
        self.assertEqual(out, "-1:config pass fail")
        self.assertNotEqual(code, 0)
        reports = [l for l in self.new_log_lines() if l.startswith("TARVIK_REPORT_ERROR:")]
        self.assertEqual(reports, ["TARVIK_REPORT_ERROR:config_passwd_error code=2 "
                                   "System error 5 has occurred.\r\n"] * 3)
        self.assertEqual(len(self.records()), 3)

    def test_route_runs_delete_then_add(self):
        self.fake("route")
        code, out = self.agent("config", "windows_xxx", "route", "10.1.0.0", "16", "10.0.0.1", "x")
        self.assertEqual((code, out), (0, "0:success"))
        self.assertEqual([(n.lower(), a) for n, a in self.records()],
                         [("route", "delete -p 10.1.0.0"),
                          ("route", "add -p 10.1.0.0 mask 255.255.0.0 10.0.0.1")])

    def test_missing_tool_reports_error_2(self):
        # Wine has no route.exe: the start fails with ERROR_FILE_NOT_FOUND on each try.
        code, out = self.agent("config", "windows_xxx", "route", "10.1.0.0", "16", "10.0.0.1", "x")
        self.assertTrue(out.startswith("-1:fail config ip"), out)
        lines = self.new_log_lines()
        self.assertIn("TARVIK_REPORT_ERROR:config_route_error code=2 ", lines)

    def test_osinfo_ladder_reads_the_product_name(self):
        self.fake("netsh", "ipconfig")
        cases = [
            ("Windows Server 2008 R2 Enterprise", None, False),  # win7
            ("Windows Server 2008 Standard", None, True),        # 2008: ipconfig /release
            ("Windows Server 2019 Datacenter", "1809", False),   # no rung: ReleaseId, 2016
            ("Windows 10 Pro", None, False),                     # win10
        ]
        try:
            for product, release, releases_lease in cases:
                with self.subTest(product=product):
                    reg("add", CURRENT_VERSION, "/v", "ProductName", "/d", product)
                    if release:
                        reg("add", CURRENT_VERSION, "/v", "ReleaseId", "/d", release)
                    else:
                        subprocess.run(["wine", "reg", "delete", CURRENT_VERSION, "/v",
                                        "ReleaseId", "/f"], env=wine_env(),
                                       capture_output=True, timeout=60)
                    if os.path.exists(RECORDS):
                        os.remove(RECORDS)
                    self.log_sizes = self.log_files()
                    code, _ = self.agent("config", "windows_xxx", "network_clean")
                    self.assertEqual(code, 0)
                    lines = self.new_log_lines()
                    self.assertIn("utils::osinfo ProductName:%s,arch:x86" % product, lines)
                    if release:
                        self.assertIn("utils::osinfo ReleaseId: " + release, lines)
                    tools = {n.lower() for n, _ in self.records()}
                    if tools:  # the prefix shows at least one adapter
                        self.assertEqual("ipconfig" in tools, releases_lease, self.records())
        finally:
            reg("add", CURRENT_VERSION, "/v", "ProductName", "/d", "Microsoft Windows 10")


if __name__ == "__main__":
    unittest.main()
