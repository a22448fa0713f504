#!/usr/bin/env python3
"""Installs the build into a temporary DESTDIR and checks what a user's machine would get.

Run by ctest (registered in dist/CMakeLists.txt), which passes the build folder, the folders
GNUInstallDirs chose and the programs that were built through the environment. test_package.py
runs the same checks on the unpacked Debian package.
"""

import os
import pwd
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from quillbox_e2e import Listeners  # noqa: E402

BUILD = os.environ["QUILLBOX_BUILD"]
PROGRAMS = [p for p in os.environ.get("QUILLBOX_PROGRAMS", "").split(",") if p]
MAN_PAGES = [p for p in os.environ.get("QUILLBOX_MAN_PAGES", "").split(",") if p]
DIRS = {name: os.environ["QUILLBOX_" + name]
        for name in ("BINDIR", "DATADIR", "MANDIR", "UNITDIR")}
VERSION = os.environ["QUILLBOX_VERSION"]
WAIT_SECONDS = 10


def read_greeting(port, process, deadline):
    """The first line the server at port sends, retrying connects until deadline or until the
    process has ended."""
    while process.poll() is None:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.settimeout(max(0.1, deadline - time.monotonic()))
                data = b""
                while not data.endswith(b"\r\n"):
                    chunk = s.recv(512)
                    if not chunk:
                        break
                    data += chunk
                return data.decode("utf-8", "replace")
        except (ConnectionRefusedError, socket.timeout):
            if time.monotonic() > deadline:
                return None
            time.sleep(0.1)
    return None


class InstallTest(unittest.TestCase):
    # Not /usr/local, so that a path baked in at configure time instead of install time shows.
    prefix = "/opt/quillbox-install-test"
    man_page_suffix = ""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="quillbox-install-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        os.chmod(cls.tmp, 0o755)  # the daemon test runs the installed program as another user
        cls.destdir = os.path.join(cls.tmp, "root")
        cls.stage(cls.destdir)

    @classmethod
    def stage(cls, destdir):
        """Puts below destdir what a user's machine would get."""
        env = dict(os.environ, DESTDIR=destdir)
        result = subprocess.run(["cmake", "--install", BUILD, "--prefix", cls.prefix], env=env,
                                capture_output=True, text=True, timeout=300)
        if result.returncode != 0:
            raise AssertionError("cmake --install failed:\n" + result.stdout + result.stderr)

    @classmethod
    def installed(cls, dir_name, *parts):
        """The path a file gets on the target machine (without DESTDIR)."""
        folder = DIRS[dir_name]
        if not os.path.isabs(folder):
            folder = os.path.join(cls.prefix, folder)
        return os.path.join(folder, *parts)

    @classmethod
    def expected_files(cls):
        installed = cls.installed
        files = {installed("BINDIR", p) for p in PROGRAMS}
        files.add(installed("UNITDIR", "quillboxd.service"))
        files |= {installed("MANDIR", "man1", page + cls.man_page_suffix) for page in MAN_PAGES}
        files |= {installed("DATADIR", "quillbox", "examples", name)
                  for name in ("quillbox.ini", "rules.ini", "S25R_Rules.txt", "S25R_Allow.txt")}
        if "quillbox" in PROGRAMS:
            files.add(installed("DATADIR", "applications", "quillbox.desktop"))
            files |= {installed("DATADIR", "icons", "hicolor", f"{s}x{s}", "apps", "quillbox.png")
                      for s in (16, 32, 48, 128)}
            files.add(installed("DATADIR", "icons", "hicolor", "scalable", "apps",
                                "quillbox.svg"))
        return files

    def staged(self, path):
        return self.destdir + path

    def desktop_entry_keys(self):
        entry = self.staged(self.installed("DATADIR", "applications", "quillbox.desktop"))
        with open(entry, encoding="utf-8") as f:
            return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)

    def tool(self, name):
        path = shutil.which(name)
        if not path:
            self.skipTest(f"{name} is not installed here (scripts/bootstrap installs it)")
        return path

    def test_installs_exactly_the_expected_files(self):
        found = set()
        for folder, _, names in os.walk(self.destdir):
            found |= {os.path.join(folder, n)[len(self.destdir):] for n in names}
        self.assertEqual(sorted(found), sorted(self.expected_files()))
        for program in PROGRAMS:
            program_path = self.staged(self.installed("BINDIR", program))
            self.assertTrue(os.access(program_path, os.X_OK), program)

    def test_desktop_entry_is_valid_and_points_at_installed_files(self):
        if "quillbox" not in PROGRAMS:
            self.skipTest("the tray program is not built (QUILLBOX_DESKTOP=OFF)")
        entry = self.staged(self.installed("DATADIR", "applications", "quillbox.desktop"))
        result = subprocess.run([self.tool("desktop-file-validate"), entry],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))
        keys = self.desktop_entry_keys()
        self.assertEqual(keys["Exec"], self.installed("BINDIR", "quillbox"))
        self.assertEqual(keys["TryExec"], self.installed("BINDIR", "quillbox"))
        self.assertEqual(keys["Icon"], "quillbox")
        self.assertEqual(keys["Categories"], "Network;Email;")
        for size in (16, 32, 48, 128):
            icon = self.staged(self.installed("DATADIR", "icons", "hicolor", f"{size}x{size}",
                                              "apps", "quillbox.png"))
            with open(icon, "rb") as f:
                header = f.read(24)
            self.assertEqual(header[:8], b"\x89PNG\r\n\x1a\n", icon)
            self.assertEqual(struct.unpack(">II", header[16:24]), (size, size), icon)

    def test_user_unit_runs_the_installed_daemon_and_verifies(self):
        unit = self.staged(self.installed("UNITDIR", "quillboxd.service"))
        with open(unit, encoding="utf-8") as f:
            text = f.read()
        exec_start = "ExecStart=" + self.installed("BINDIR", "quillboxd")
        self.assertIn(exec_start + "\n", text)
        for line in ("Restart=on-failure", "WorkingDirectory=%h", "NoNewPrivileges=yes",
                     "PrivateUsers=yes", "PrivateTmp=yes", "ProtectSystem=strict"):
            self.assertIn(line + "\n", text)
        if "quillboxd" not in PROGRAMS:
            self.skipTest("quillboxd is not built yet: nothing for the unit to start")
        # The unit names the final path; verify a copy that points into DESTDIR, and first one
        # that is certainly valid, to tell a container where the tool cannot work from a bad unit.
        verify_dir = os.path.join(self.tmp, "units")
        os.makedirs(verify_dir, exist_ok=True)
        runtime = os.path.join(self.tmp, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        analyze = self.tool("systemd-analyze")

        def verify(name, content):
            path = os.path.join(verify_dir, name)
            with open(path, "w", encoding="utf-8") as f:
                f.write(content)
            return subprocess.run(
                [analyze, "--user", "verify", "--man=no", path],
                env=dict(os.environ, XDG_RUNTIME_DIR=runtime),
                capture_output=True, text=True, timeout=60)

        probe = verify("probe.service", "[Service]\nExecStart=/bin/true\n")
        if probe.returncode != 0 or probe.stdout + probe.stderr:
            self.skipTest("systemd-analyze verify does not work here: " + probe.stdout +
                          probe.stderr)
        staged_exec = "ExecStart=" + self.staged(self.installed("BINDIR", "quillboxd"))
        result = verify("quillboxd.service", text.replace(exec_start, staged_exec))
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

    def test_man_pages_render_without_warnings(self):
        man = self.tool("man")
        self.assertIn("quillboxd.1", MAN_PAGES)
        for page in MAN_PAGES:
            path = self.staged(self.installed("MANDIR", "man1", page + self.man_page_suffix))
            with self.subTest(page=page):
                result = subprocess.run([man, "--warnings", "-l", path],
                                        env=dict(os.environ, MANWIDTH="80", MANPAGER="cat",
                                                 PAGER="cat", LC_ALL="C.UTF-8"),
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                for text in ("-I", VERSION, "X-Quillbox-Sender-IP-Address:",
                             "X-Quillbox-Status:", "quillbox/quillbox.ini",
                             self.installed("DATADIR", "quillbox", "examples")):
                    self.assertIn(text, result.stdout.replace("\u2010", "-"))
                self.assertIsNone(re.search(r"@[A-Z_]+@", result.stdout))

    def test_installed_programs_take_settings_from_the_user_config_folder(self):
        # (case, program, its command, XDG_CONFIG_HOME below the temporary home or None,
        #  the folder below home that holds quillbox/quillbox.ini)
        cases = []
        if "quillboxd" in PROGRAMS:
            daemon = [self.staged(self.installed("BINDIR", "quillboxd"))]
            cases += [("quillboxd, HOME only", "quillboxd", daemon, None, ".config"),
                      ("quillboxd, XDG_CONFIG_HOME set", "quillboxd", daemon, "xdg", "xdg")]
        if "quillbox" in PROGRAMS:
            # Started the way the menu starts it; without a tray it shows its window instead.
            menu = [self.staged(self.desktop_entry_keys()["Exec"])]
            cases += [("quillbox from its menu entry", "quillbox", menu, None, ".config")]
        if not cases:
            self.skipTest("no program is built yet")
        # Where the executable's folder is writable the program keeps its INI file beside it, and
        # root may write anywhere: so root runs the installed program as nobody, and anyone else
        # gets a bin folder without write permission.
        as_user = {}
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            as_user = dict(user=nobody.pw_uid, group=nobody.pw_gid, extra_groups=[])
        bin_dir = self.staged(self.installed("BINDIR"))
        bin_mode = os.stat(bin_dir).st_mode
        os.chmod(bin_dir, 0o555)
        try:
            for name, program, command, xdg, config in cases:
                with self.subTest(name):
                    home = tempfile.mkdtemp(prefix="home-", dir=self.tmp)
                    folder = os.path.join(home, config, "quillbox")
                    os.makedirs(folder)
                    # The program serves a port the test holds; the certificate beside the INI
                    # file shows which file it read.
                    listeners = Listeners()
                    self.addCleanup(listeners.close)
                    port = listeners.port
                    with open(os.path.join(folder, "quillbox.ini"), "w", encoding="ascii") as f:
                        f.write(f"[General]\nListeningPort={port}\n")
                    if as_user:
                        for root, dirs, files in os.walk(home):
                            for n in [root] + [os.path.join(root, x) for x in dirs + files]:
                                os.chown(n, as_user["user"], as_user["group"])
                    env = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
                    env.update(HOME=home, QT_QPA_PLATFORM="offscreen")
                    if xdg:
                        env["XDG_CONFIG_HOME"] = os.path.join(home, xdg)
                    output = self.check_listens(listeners, command, env, home, as_user)
                    if program == "quillboxd":
                        # Run from the home folder, which holds no rules: the installed ones count.
                        examples = self.staged(self.installed("DATADIR", "quillbox", "examples"))
                        self.assertIn(f"S25R rules: {examples}/S25R_Rules.txt, 6 rules\n", output)
                        self.assertIn(f"S25R allow list: {examples}/S25R_Allow.txt, ", output)
                    self.assertFalse(os.path.exists(os.path.join(bin_dir, program + ".ini")))
                    # Its own TLS certificate, made beside the settings, key for the user only.
                    key = os.stat(os.path.join(folder, "quillbox.key"))
                    self.assertEqual(key.st_mode & 0o777, 0o600)
                    self.assertTrue(os.path.exists(os.path.join(folder, "quillbox.crt")))
        finally:
            os.chmod(bin_dir, bin_mode)

    def check_listens(self, listeners, command, env, home, as_user):
        log = open(os.path.join(home, "output.log"), "w+", encoding="utf-8")
        argv, fds = listeners.command(command)
        process = subprocess.Popen(argv, pass_fds=fds, cwd=home, env=env, stdin=subprocess.DEVNULL,
                                   stdout=log, stderr=subprocess.STDOUT, **as_user)
        try:
            greeting = read_greeting(listeners.port, process, time.monotonic() + WAIT_SECONDS)
        finally:
            process.terminate()
            try:
                process.wait(timeout=WAIT_SECONDS)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            log.seek(0)
            output = log.read()
            log.close()
        self.assertEqual(greeting, f"+OK Welcome to the Quillbox Version {VERSION}\r\n", output)
        return output

if __name__ == "__main__":
    unittest.main(verbosity=2)
