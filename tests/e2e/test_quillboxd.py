"""quillboxd as a process: greeting, -I, defaults of a sparse INI file, its TLS certificate and
real TLS clients (Python's ssl, curl), start-up failures and stopping by signal; and the tray
program stopped by signal under Xvfb. Loopback only; the programs serve ports the test holds and
hands over, except where a test is about the INI file's port; every wait bounded."""

import os
import queue
import shutil
import signal
import socket
import ssl
import stat
import subprocess
import tempfile
import threading
import time
import unittest

from dovecot_tls import Pop3Client
from quillbox_e2e import Display, Listeners

BUILD = os.environ.get("QUILLBOX_BUILD", "build")
QUILLBOXD = os.path.join(os.path.abspath(BUILD), "apps", "quillboxd", "quillboxd")
QUILLBOX = os.path.join(os.path.abspath(BUILD), "apps", "quillbox", "quillbox")
GREETING = b"+OK Welcome to the Quillbox Version 3.0.0.11\r\n"
WAIT = 10  # seconds any single step may take


def sanitized():
    """Whether the programs were built with the sanitizers, whose allocator keeps freed memory in
    quarantine: resident memory then says nothing about what the program holds."""
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        return "QUILLBOX_SANITIZE:BOOL=ON" in f.read()


class Daemon:
    """A running quillboxd, serving the listeners handed over, whose standard output is read
    line by line in the background."""

    def __init__(self, *args, cwd, listeners):
        argv, fds = listeners.command([QUILLBOXD, *args])
        self.process = subprocess.Popen(argv, pass_fds=fds, cwd=cwd, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.decode("utf-8", "replace").rstrip("\n"))

    def wait_for_line(self, prefix):
        deadline = time.monotonic() + WAIT
        seen = []
        while time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                break
            seen.append(line)
            if line.startswith(prefix):
                return seen
        # A start that failed says why on standard error.
        why = self.process.stderr.read().decode("utf-8", "replace") \
            if self.process.poll() is not None else "(still running)"
        raise AssertionError(f"no line starting with {prefix!r}; got {seen!r}; stderr: {why}")

    def stop(self, signum=signal.SIGTERM):
        self.process.send_signal(signum)
        return self.process.wait(timeout=WAIT)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=WAIT)
        self.process.stdout.close()
        self.process.stderr.close()


class Client:
    """A POP3 client connection; closing it closes the socket for real (reader included)."""

    def __init__(self, port, source="127.0.0.1"):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=WAIT,
                                               source_address=(source, 0))
        self.reader = self.socket.makefile("rb")

    def readline(self):
        return self.reader.readline()

    def sendall(self, data):
        self.socket.sendall(data)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.reader.close()
        self.socket.close()


class EndlessAnswerServer:
    """A POP3 server that logs anyone in and answers one command with lines that never end (a
    listing, or a header that goes on for ever): it sends them until the proxy goes away. It has
    no CAPA, and no TOP when the endless answer is RETR's."""

    def __init__(self, verb):
        self.verb = verb
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.sent = 0
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        connection, _ = self.listener.accept()
        block = b"".join(b"X-Filler-%d: 4711\r\n" % n for n in range(1, 100001))
        with connection, connection.makefile("rb") as commands:
            connection.sendall(b"+OK endless\r\n")
            for command in commands:
                if command.startswith(self.verb):
                    connection.sendall(b"+OK\r\n")
                    try:
                        while True:
                            connection.sendall(block)
                            self.sent += len(block)
                    except OSError:
                        return
                refused = command.startswith(b"CAPA") or (
                    self.verb == b"RETR" and command.startswith(b"TOP"))
                connection.sendall(b"-ERR\r\n" if refused else b"+OK\r\n")

    def close(self):
        self.listener.close()


class QuillboxdTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="quillboxd-e2e-")
        self.ini = os.path.join(self.dir.name, "quillbox.ini")
        self.daemons = []

    def tearDown(self):
        for daemon in self.daemons:
            daemon.kill()
        self.dir.cleanup()

    def write_ini(self, text):
        with open(self.ini, "w") as f:
            f.write(text)
        # An old time stamp makes any rewrite visible even within the same second.
        os.utime(self.ini, (1_000_000_000, 1_000_000_000))
        return os.stat(self.ini), text

    def assert_ini_untouched(self, before, certificate=True):
        """The INI file as written, and beside it at most the certificate start-up made."""
        info, text = before
        with open(self.ini) as f:
            self.assertEqual(f.read(), text)
        self.assertEqual(os.stat(self.ini).st_mtime_ns, info.st_mtime_ns)
        made = ["quillbox.crt", "quillbox.key"] if certificate else []
        self.assertEqual(sorted(os.listdir(self.dir.name)), sorted(["quillbox.ini"] + made))

    def listeners(self, tls=False):
        """Ports for the program, held until the test ends."""
        listeners = Listeners(tls)
        self.addCleanup(listeners.close)
        return listeners

    def start(self, *args, listeners):
        daemon = Daemon(*args, cwd=self.dir.name, listeners=listeners)
        self.daemons.append(daemon)
        return daemon

    def run_to_end(self, *args, listeners=None):
        argv, fds = listeners.command([QUILLBOXD, *args]) if listeners else ([QUILLBOXD, *args], ())
        return subprocess.run(argv, pass_fds=fds, cwd=self.dir.name, capture_output=True,
                              timeout=WAIT)

    def test_greets_on_the_port_handed_over_and_prints_the_banner(self):
        listeners = self.listeners()
        port = listeners.port
        # Read all the same: a sparse file's other settings keep their defaults.
        self.write_ini(f"; ours\n[general]\nlisteningport = {port}\n")
        daemon = self.start("-i/no/such.ini", f"-I{self.ini}", listeners=listeners)
        lines = daemon.wait_for_line("Started at ")
        self.assertEqual(lines[0], "Hello.  Welcome to the Quillbox Version 3.0.0.11")
        self.assertEqual(len(lines), 13)
        self.assertEqual(lines[11], f"Port number: {port}")
        self.assertRegex(lines[12], r"^Started at [A-Z][a-z]{2}/\d\d/\d{4} \d\d:\d\d:\d\d$")
        with Client(port) as client:
            self.assertEqual(client.readline(), GREETING)
            client.sendall(b"NOOP\r\nQUIT\r\n")
            self.assertTrue(client.readline().startswith(b"+OK"))
            self.assertTrue(client.readline().startswith(b"+OK"))
        daemon.wait_for_line("C->P    QUIT")
        self.assertEqual(daemon.stop(), 0)

    def test_sparse_ini_file_gives_one_local_client_at_a_time(self):
        listeners = self.listeners()
        port = listeners.port
        self.write_ini(f"[General]\nListeningPort={port}\n")
        daemon = self.start(f"-I{self.ini}", listeners=listeners)
        daemon.wait_for_line("Started at ")
        with Client(port) as first:
            self.assertEqual(first.readline(), GREETING)
            with Client(port) as second:
                self.assertEqual(second.readline(),
                                 b"-ERR Too many connections. Try again later.\r\n")
            # Outside access is off by default; 127.0.0.2 is another host as far as the check
            # goes. It is refused as such, before it could count against the limit.
            with Client(port, source="127.0.0.2") as outside:
                self.assertEqual(outside.readline(),
                                 b"-ERR Only local connection is allowed.\r\n")
        self.assertEqual(daemon.stop(), 0)

    def test_an_answer_that_never_ends_costs_a_bounded_amount_of_memory(self):
        # A listing the client receives, a pre-fetched header it would wait for (given up: None),
        # a retrieved header it receives.
        for verb, command, received in [(b"LIST", "LIST", True), (b"TOP", "RETR 1", None),
                                        (b"RETR", "RETR 1", True)]:
            with self.subTest(verb=verb):
                self.endless(verb, command, received)

    def endless(self, verb, command, received):
        listeners = self.listeners()
        port = listeners.port
        self.write_ini(f"[General]\nListeningPort={port}\n")
        with open(os.path.join(self.dir.name, "rules.ini"), "w") as f:
            f.write("[QuillboxRules]\n")
        daemon = self.start(f"-I{self.ini}", listeners=listeners)
        daemon.wait_for_line("Started at ")
        status = f"/proc/{daemon.process.pid}/status"
        server = EndlessAnswerServer(verb)
        try:
            with Client(port) as client:
                client.readline()
                client.sendall(f"USER a#127.0.0.1:{server.port};rules.ini\r\nPASS x\r\n"
                               f"{command}\r\n".encode())
                for _ in range(2):
                    client.readline()
                if received is None:
                    self.assertTrue(client.readline().startswith(
                        b'-ERR Quillbox sent "TOP 1 20" but the answer from the actual POP3 '
                        b'server did not end within'))
                    # What got into the sockets' buffers before the proxy closed its end.
                    self.assertLess(server.sent, 64_000_000)
                else:
                    deadline = time.monotonic() + 6 * WAIT
                    while server.sent < 200_000_000 and time.monotonic() < deadline:
                        self.assertTrue(client.reader.read1(1 << 20), "the answer broke off")
                    self.assertGreaterEqual(server.sent, 200_000_000)
            with open(status) as f:
                peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
        finally:
            server.close()
        # 1 MiB kept of a listing or a header, 256 KiB on their way to the client, the rest the
        # program itself.
        if not sanitized():
            self.assertLess(peak, 16 * 1024, f"peak resident memory {peak} KiB")
        self.assertEqual(daemon.stop(), 0)

    def test_stop_signals_end_with_status_0_and_leave_the_ini_file_alone(self):
        for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=signum):
                listeners = self.listeners()
                port = listeners.port
                before = self.write_ini(f"[General]\nListeningPort={port}\n\n; keep me\n")
                daemon = self.start(f"-I{self.ini}", listeners=listeners)
                daemon.wait_for_line("Started at ")
                with Client(port) as idle:
                    self.assertEqual(idle.readline(), GREETING)
                    self.assertEqual(daemon.stop(signum), 0)
                    self.assertEqual(idle.readline(), b"", "the idle client is disconnected")
                self.assert_ini_untouched(before)

    def test_the_tray_program_ends_on_a_stop_signal_and_leaves_the_ini_file_alone(self):
        # The end of the desktop session, kill or systemctl --user stop end it in good order;
        # only Exit writes the INI file, so the window moved meanwhile leaves no trace there.
        if not os.path.exists(QUILLBOX) or not shutil.which("Xvfb"):
            self.skipTest("no tray program or no Xvfb here")
        for signum in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=signum):
                listeners = self.listeners()
                before = self.write_ini(
                    f"[General]\nListeningPort={listeners.port}\n\n; keep me\n")
                display = self.enterContext(Display())
                # The system's D-Bus library, which Qt asks for a tray, keeps a buffer at exit.
                suppressions = self.enterContext(tempfile.TemporaryDirectory())
                leaks = os.path.join(suppressions, "lsan.supp")
                with open(leaks, "w") as f:
                    f.write("leak:libdbus-1.so\n")
                env = dict(os.environ, DISPLAY=display.name, QT_QPA_PLATFORM="xcb",
                           LSAN_OPTIONS=f"suppressions={leaks}")
                argv, fds = listeners.command([QUILLBOX, f"-I{self.ini}"])
                errors = self.enterContext(tempfile.TemporaryFile())
                tray = subprocess.Popen(argv, pass_fds=fds, cwd=self.dir.name, env=env,
                                        stdout=subprocess.DEVNULL, stderr=errors)
                self.addCleanup(lambda t=tray: t.poll() is None and t.kill())

                def said():
                    errors.seek(0)
                    state = "runs" if tray.poll() is None else f"ended with {tray.returncode}"
                    return f"the tray program {state}; its stderr: {errors.read()!r}"

                try:
                    display.place("Quillbox  3.0.0.11", 31, 42, 523, 317)
                except RuntimeError as error:
                    raise AssertionError(f"{error}; {said()}")
                # Qt learns the new place from the X server's event.
                time.sleep(1)
                tray.send_signal(signum)
                self.assertEqual(tray.wait(timeout=WAIT), 0, said())
                self.assert_ini_untouched(before)

    def test_port_in_use_ends_with_status_1_and_the_message_on_stderr(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            port = holder.getsockname()[1]
            before = self.write_ini(f"[General]\nListeningPort={port}\n")
            result = self.run_to_end(f"-I{self.ini}")
        self.assertEqual(result.returncode, 1)
        self.assertIn(
            f"The Quillbox could not bind socket.  The port ({port}) is already in use.  "
            "The Quillbox will abort.", result.stderr.decode())
        self.assertIn(b"The log will be displayed in this area.", result.stdout)
        self.assertNotIn(b"Port number:", result.stdout)
        self.assert_ini_untouched(before)

    def test_port_outside_the_range_is_refused_with_status_1(self):
        for port in (0, 65536):
            with self.subTest(port=port):
                before = self.write_ini(f"[General]\nListeningPort={port}\n")
                result = self.run_to_end(f"-I{self.ini}")
                self.assertEqual(result.returncode, 1)
                self.assertIn(f"could not listen on port ({port}).  A port number must be from "
                              "1 to 65535", result.stderr.decode())
                self.assert_ini_untouched(before, certificate=False)

    def test_a_certificate_that_cannot_serve_ends_with_status_1_and_writes_nothing(self):
        listeners = self.listeners()
        before = self.write_ini(f"[General]\nListeningPort={listeners.port}\n"
                                "[TLS]\nCertificateFile=missing.pem\n")
        result = self.run_to_end(f"-I{self.ini}", listeners=listeners)
        self.assertEqual(result.returncode, 1)
        self.assertIn("The Quillbox could not use its TLS certificate: The TLS certificate "
                      f"{self.dir.name}/missing.pem does not exist.", result.stderr.decode())
        self.assert_ini_untouched(before, certificate=False)

    def curl(self, port, *args, scheme="pop3"):
        """curl from 127.0.0.2 ("another machine") asking for a message as a user whose login
        the proxy refuses; its verbose log shows the TLS handshake and the server's lines."""
        return subprocess.run(["curl", "-sv", "--max-time", str(WAIT), "--interface", "127.0.0.2",
                               *args, f"{scheme}://nobody:pw@127.0.0.1:{port}/1"],
                              capture_output=True, timeout=2 * WAIT)

    def test_its_own_certificate_serves_stls_and_the_tls_port_to_verifying_clients(self):
        listeners = self.listeners(tls=True)
        port, tls_port = listeners.port, listeners.tls_port
        self.write_ini(f"[General]\nListeningPort={port}\nTLSListeningPort={tls_port}\n"
                       "AllowConnectionFromOutside=1\nMaxConnections=0\n")
        daemon = self.start(f"-I{self.ini}", listeners=listeners)
        lines = daemon.wait_for_line("Made a TLS certificate for localhost, 127.0.0.1, ::1")
        certificate = os.path.join(self.dir.name, "quillbox.crt")
        self.assertEqual(lines[11:14], [f"Port number: {port}", f"TLS port number: {tls_port}",
                                        lines[13]])
        self.assertEqual(lines[14], f"TLS certificate: {certificate}")
        openssl = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in",
                                  certificate], capture_output=True, text=True, check=True)
        fingerprint = openssl.stdout.strip().split("=", 1)[1]
        self.assertEqual(lines[15], f"TLS certificate SHA-256 fingerprint: {fingerprint}")
        key = os.stat(os.path.join(self.dir.name, "quillbox.key"))
        self.assertEqual(stat.S_IMODE(key.st_mode), 0o600)

        trusting = ssl.create_default_context(cafile=certificate)
        client = Pop3Client(port)
        self.addCleanup(client.close)
        self.assertEqual(client.greeting, GREETING)
        self.assertEqual(client.multiline("CAPA")[1][-1], b"STLS\r\n")
        self.assertEqual(client.command("STLS"), "+OK Begin TLS negotiation")
        client.start_tls(trusting)
        self.assertNotIn(b"STLS\r\n", client.multiline("CAPA")[1])
        pop3s = Pop3Client(tls_port, context=trusting, host="127.0.0.1")
        self.addCleanup(pop3s.close)
        self.assertEqual(pop3s.greeting, GREETING)
        # After QUIT the end comes with close_notify: Python's ssl reports an end without it as
        # SSLEOFError once ragged ends are no longer forgiven.
        for tls in (client, pop3s):
            tls.socket.suppress_ragged_eofs = False
            self.assertTrue(tls.command("QUIT").startswith("+OK"))
            self.assertEqual(tls.reader.read(), b"")

        # curl from "another machine": a plain login is refused in one line; over STLS the
        # certificate verifies and the login goes on (to be refused for its name).
        refused = b"< -ERR This client is not on Quillbox's machine: start TLS with STLS"
        plain = self.curl(port)
        self.assertEqual(plain.returncode, 67, plain.stderr)
        self.assertIn(refused, plain.stderr)
        for result in (self.curl(port, "--ssl-reqd", "--cacert", certificate),
                       self.curl(tls_port, "--cacert", certificate, scheme="pop3s")):
            self.assertEqual(result.returncode, 67, result.stderr)
            self.assertIn(b"SSL certificate verify ok", result.stderr)
            self.assertIn(b"< -ERR Delimiter # is not found in the USER command.", result.stderr)
        untrusted = self.curl(port, "--ssl-reqd")
        self.assertEqual(untrusted.returncode, 60, untrusted.stderr)

        # The next start takes the same certificate.
        self.assertEqual(daemon.stop(), 0)
        again = self.start(f"-I{self.ini}", listeners=listeners)
        lines = again.wait_for_line("TLS certificate SHA-256 fingerprint: ")
        self.assertEqual(lines[-1], f"TLS certificate SHA-256 fingerprint: {fingerprint}")
        with Client(port) as probe:
            self.assertEqual(probe.readline(), GREETING)
        lines = again.wait_for_line("C->P    New connection from ")
        self.assertFalse([line for line in lines if line.startswith("Made a TLS")], lines)


if __name__ == "__main__":
    unittest.main(verbosity=2)
