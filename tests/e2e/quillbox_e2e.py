"""Real peers for end-to-end runs of quillboxd: a throwaway Dovecot POP3 server, a dnsmasq DNS
server on a loopback address, and quillboxd itself in a private mount namespace whose
/etc/hosts and /etc/resolv.conf belong to the run, so that reverse lookups never leave the
machine; and a private X server for the tray program. Every wait is bounded; everything started
is stopped again, also on failure (use the classes as context managers, or through a
contextlib.ExitStack)."""

import contextlib
import ctypes
import ctypes.util
import errno
import hashlib
import ipaddress
import json
import os
import poplib
import queue
import random
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

BUILD = os.path.abspath(os.environ.get("QUILLBOX_BUILD", "build"))
QUILLBOXD = os.path.join(BUILD, "apps", "quillboxd", "quillboxd")
WAIT = 20  # seconds any single step may take


SKIP = 77  # the exit status ctest reports as "skipped"


def require_real_servers(*clients):
    """Ends the run as skipped when this machine cannot host the real peers: they need root (a
    DNS server on port 53, a private mount namespace) and the Debian packages that
    scripts/bootstrap installs (the mail clients named included)."""
    missing = [tool for tool in ("dovecot", "dnsmasq", "unshare", "curl", *clients)
               if not shutil.which(tool, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")]
    if os.geteuid() != 0 or missing:
        print("skipped: needs root and " + (", ".join(missing) or "nothing else"))
        raise SystemExit(SKIP)


def wait_until(condition, what, timeout=WAIT, process=None, why=lambda: ""):
    """Polls condition until it returns something true, and returns that. Raises RuntimeError
    naming what, with why(), when timeout seconds pass or the process ends first."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if process is not None and process.poll() is not None:
            raise RuntimeError(f"{what}: ended with status {process.returncode}. {why()}")
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what}: not within {timeout} seconds. {why()}")
        time.sleep(0.02)


class PortTaken(Exception):
    """A server could not listen on a port it was given: another program holds it."""


def on_free_ports(start, tries=8):
    """Calls start until it does not raise PortTaken, at most tries times: for real servers that
    must be given port numbers (start picks them with candidate_port), so that a port another
    program takes meanwhile never fails a test."""
    for attempt in range(1, tries + 1):
        try:
            return start()
        except PortTaken:
            if attempt == tries:
                raise


def candidate_port():
    """A loopback port that was free a moment ago: only for a start under on_free_ports."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Run as "python3 -c HAND_OVER names fd... -- argv...": moves the descriptors to 3 and up, sets
# the variables of socket activation for its own process id and becomes argv, which keeps it.
HAND_OVER = """
import fcntl, os, sys
names, rest = sys.argv[1], sys.argv[2:]
fds, argv = [int(fd) for fd in rest[:rest.index("--")]], rest[rest.index("--") + 1:]
# Out of the way first: a descriptor may stand where another one goes.
moved = [fcntl.fcntl(fd, fcntl.F_DUPFD, 3 + len(fds)) for fd in fds]
for fd in fds:
    os.close(fd)
for i, fd in enumerate(moved):
    os.dup2(fd, 3 + i)
    os.close(fd)
os.environ.update(LISTEN_PID=str(os.getpid()), LISTEN_FDS=str(len(fds)), LISTEN_FDNAMES=names)
os.execvp(argv[0], argv)
"""


class Listeners:
    """Listening sockets that a test holds for the program it starts and hands over to it
    (socket activation): the POP3 port and, when asked, the TLS port, each on 127.0.0.1 and ::1
    and picked by the system. The ports stay the test's from picking to serving and across
    restarts, so no other program can take them. A POP3 port asked for is taken where it is free.
    Close when done."""

    # As long a queue as the program's own listener has: with less, a burst of clients overflows
    # it, and a client whose handshake the system then drops waits for a greeting in vain.
    BACKLOG = 128

    def __init__(self, tls=False, port=0):
        self.sockets = []  # (socket, name), in the order they are handed over
        self.port = self._pair("pop3", port)
        self.tls_port = self._pair("pop3s") if tls else 0

    def _pair(self, name, wanted=0):
        for port in [wanted] * bool(wanted) + [0] * 8:
            try:
                v4 = socket.create_server(("127.0.0.1", port), backlog=self.BACKLOG)
            except OSError as error:
                if error.errno == errno.EADDRINUSE and port:
                    continue
                raise
            port = v4.getsockname()[1]
            try:
                v6 = socket.create_server(("::1", port), family=socket.AF_INET6,
                                          backlog=self.BACKLOG)
            except OSError as error:
                if error.errno in (errno.EADDRNOTAVAIL, errno.EAFNOSUPPORT):
                    self.sockets.append((v4, name))  # a machine without IPv6
                    return port
                v4.close()
                if error.errno == errno.EADDRINUSE:
                    continue  # taken for IPv6 only: another port
                raise
            self.sockets += [(v4, name), (v6, name)]
            return port
        raise RuntimeError("no loopback port is free for both IPv4 and IPv6")

    def command(self, argv):
        """The command that runs argv with the sockets handed over, and the descriptors that
        Popen must pass (pass_fds)."""
        fds = [s.fileno() for s, _ in self.sockets]
        names = ":".join(name for _, name in self.sockets)
        # Debian's, which any user may run: the test's own may live in a home folder.
        return (["/usr/bin/python3", "-I", "-c", HAND_OVER, names, *map(str, fds), "--", *argv],
                fds)

    def close(self):
        for s, _ in self.sockets:
            s.close()


def in_private_namespace(hosts, resolv_conf, argv):
    """The command that runs argv in a private mount namespace whose /etc/hosts and
    /etc/resolv.conf are the given files, so that its lookups ask the run's own DNS server."""
    script = ('mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/resolv.conf'
              ' && shift 2 && exec "$@"')
    return ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c", script,
            "sh", hosts, resolv_conf, *argv]


def scratch_folder(prefix):
    """A temporary folder that processes running as other users can enter."""
    folder = tempfile.mkdtemp(prefix=prefix)
    os.chmod(folder, 0o755)
    return folder


class Peer:
    """A process of the run with a scratch folder; both go away on stop, also after a failed
    start."""

    root = None
    process = None

    def stop(self):
        self.stop_process()
        if self.root:
            shutil.rmtree(self.root, ignore_errors=True)

    def stop_process(self):
        if self.process:
            if self.process.poll() is None:
                self.process.terminate()
                try:
                    self.process.wait(timeout=WAIT)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait(timeout=WAIT)
            for stream in (self.process.stdout, self.process.stderr, getattr(self, "errors", None)):
                if stream:
                    stream.close()

    def wait_serving(self, ready, what, address):
        """Waits until ready() says the process serves. Raises PortTaken when it ended because
        the address (or port) it was given is taken, RuntimeError with its words otherwise."""
        try:
            wait_until(ready, what, process=self.process, why=self.errors_text)
        except RuntimeError:
            if self.process.poll() is not None and "Address already in use" in self.errors_text():
                raise PortTaken(address)
            raise

    def errors_text(self):
        """What the process wrote to standard error (the file self.errors)."""
        self.errors.seek(0)
        return self.errors.read().decode("utf-8", "replace")

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *exc):
        self.stop()


class Display(Peer):
    """A private X server (Xvfb) without window manager or tray: the tray program shows its main
    window there, and place() moves and sizes a window as a user would."""

    def start(self):
        ready, write = os.pipe()
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp"],
                                        pass_fds=[write], stderr=self.errors)
        os.close(write)
        with os.fdopen(ready) as f:
            number = f.readline().strip() if select.select([f], [], [], WAIT)[0] else ""
        if not number:
            raise RuntimeError(f"Xvfb did not start: {self.errors_text()!r}")
        self.name = ":" + number
        return self

    def place(self, title, *geometry):
        """Gives the top-level window called title this left, top, width and height."""
        deadline = time.monotonic() + WAIT
        found = []
        while not found and time.monotonic() < deadline:
            time.sleep(0.1)
            tree = subprocess.run(["xwininfo", "-display", self.name, "-root", "-children"],
                                  capture_output=True, text=True, timeout=WAIT).stdout
            found = [line.split()[0] for line in tree.splitlines() if f' "{title}"' in line]
        if not found:
            titles = [line.split('"')[1] for line in tree.splitlines() if line.count('"') >= 2]
            state = "runs" if self.process.poll() is None else f"ended with {self.process.returncode}"
            raise RuntimeError(f"no window {title!r} on {self.name}; there are {titles!r}; Xvfb "
                               f"{state}: {self.errors_text()[-2000:]!r}")
        x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
        x11.XOpenDisplay.restype = ctypes.c_void_p
        display = ctypes.c_void_p(x11.XOpenDisplay(self.name.encode()))
        x11.XMoveResizeWindow(display, ctypes.c_ulong(int(found[0], 16)), *geometry)
        x11.XSync(display, 0)
        x11.XCloseDisplay(display)


class Dovecot(Peer):
    """A POP3 server with passwd-file users and maildirs written by the test. Its port is known
    once it has started."""

    UID = 65534

    def __init__(self, users):
        self.root = scratch_folder("quillbox-dovecot-")
        self.port = 0
        # Its own, so that the start sees its greeting and not that of whoever held the port.
        self.greeting = f"Dovecot {os.path.basename(self.root)} ready."
        self.users = dict(users)
        self.counter = 0
        with open(os.path.join(self.root, "passwd"), "w") as f:
            for user, password in self.users.items():
                f.write(f"{user}:{{PLAIN}}{password}\n")
        for user in self.users:
            for sub in ("new", "cur", "tmp"):
                os.makedirs(os.path.join(self.root, "mail", user, "Maildir", sub))

    def pick_ports(self):
        self.port = candidate_port()

    def config(self):
        r = self.root
        return f"""base_dir = {r}/run
state_dir = {r}/state
log_path = {r}/dovecot.log
protocols = pop3
listen = 127.0.0.1
login_greeting = {self.greeting}
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
first_valid_uid = 1
mail_location = maildir:{r}/mail/%u/Maildir
mail_max_userip_connections = 100
# One process per POP3 session: room for the load test's 200 clients at once.
default_process_limit = 400
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {r}/passwd
}}
userdb {{
  driver = static
  args = uid={self.UID} gid={self.UID} home={r}/mail/%u
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {self.port}
  }}
  inet_listener pop3s {{
    port = 0
  }}
  process_min_avail = 4
}}
"""

    def add_message(self, user, data):
        """Delivers one message (bytes, LF or CR LF line ends) to the user's maildir."""
        self.counter += 1
        name = f"{1700000000 + self.counter}.M{self.counter}P1.quillbox-test"
        path = os.path.join(self.root, "mail", user, "Maildir", "new", name)
        with open(path, "wb") as f:
            f.write(data)
        os.chown(path, self.UID, self.UID)

    def login(self, user):
        """A POP3 session of the user, straight to this server."""
        client = poplib.POP3("127.0.0.1", self.port, timeout=WAIT)
        client.user(user)
        client.pass_(self.users[user])
        return client

    def refill(self, user, messages):
        """Empties the user's mailbox and delivers the messages (bytes) anew; returns the lines
        of each as a direct retrieval gives them (CR LF and stuffing gone), by Message-ID."""
        client = self.login(user)
        for n in range(1, client.stat()[0] + 1):
            client.dele(n)
        client.quit()
        for data in messages:
            self.add_message(user, data)
        client = self.login(user)
        try:
            lines = [client.retr(n)[1] for n in range(1, client.stat()[0] + 1)]
        finally:
            client.quit()
        return {message_id(b"\n".join(each)): each for each in lines}

    def count(self, user):
        """How many messages the user's mailbox holds."""
        client = self.login(user)
        try:
            return client.stat()[0]
        finally:
            client.quit()

    def start(self):
        for dirpath, _, _ in os.walk(os.path.join(self.root, "mail")):
            os.chown(dirpath, self.UID, self.UID)
        return on_free_ports(self._start_on_new_ports)

    def _start_on_new_ports(self):
        self.stop_process()
        self.pick_ports()
        with open(os.path.join(self.root, "dovecot.conf"), "w") as f:
            f.write(self.config())
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            ["dovecot", "-F", "-c", os.path.join(self.root, "dovecot.conf")],
            stdout=subprocess.DEVNULL, stderr=self.errors)
        # The master binds every listener before any login process greets.
        self.wait_serving(self._greets, f"dovecot on port {self.port}", self.port)
        return self

    def _greets(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                return s.makefile("rb").readline() == f"+OK {self.greeting}\r\n".encode()
        except OSError:
            return False

    def errors_text(self):
        text = super().errors_text()
        log = os.path.join(self.root, "dovecot.log")
        if os.path.exists(log):
            with open(log, errors="replace") as f:
                text += f.read()[-4000:]
        return text


class Dnsmasq(Peer):
    """An authoritative DNS server on a loopback address of its own (port 53)."""

    ZONES = ("example.org", "example.net", "example.com", "test", "in-addr.arpa", "ip6.arpa")

    def __init__(self):
        self.root = scratch_folder("quillbox-dnsmasq-")
        self.address = None  # its own, picked at start
        self.records = []

    def host(self, name, *addresses):
        """A and AAAA records: dotted quads and IPv6 addresses alike."""
        self.records += [f"address=/{name}/{a}" for a in addresses]

    def ptr(self, address, name):
        """A PTR record in in-addr.arpa or ip6.arpa, by the address's family."""
        reverse = ipaddress.ip_address(address).reverse_pointer
        self.records.append(f"ptr-record={reverse},{name}")

    def start(self):
        return on_free_ports(self._start_on_new_address)

    def _start_on_new_address(self):
        self.stop_process()
        # Another run's dnsmasq may hold an address; the probe name is only this one's.
        self.address = f"127.53.{random.randint(1, 254)}.{random.randint(1, 254)}"
        self.probe = f"ready-{random.getrandbits(48):012x}.test"
        conf = os.path.join(self.root, "dnsmasq.conf")
        with open(conf, "w") as f:
            f.write("\n".join([
                "no-resolv", "no-hosts", "no-poll", "bind-interfaces", "port=53",
                f"listen-address={self.address}", f"pid-file={self.root}/dnsmasq.pid",
                f"log-facility={self.root}/dnsmasq.log", "user=root",
                *[f"local=/{zone}/" for zone in self.ZONES], f"address=/{self.probe}/127.0.0.1",
                *self.records, ""]))
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen(["dnsmasq", "-k", "-C", conf],
                                        stdout=subprocess.DEVNULL, stderr=self.errors)
        self.wait_serving(self._answers, f"dnsmasq at {self.address}", self.address)
        return self

    def udp_answer(self, name, payload=1232):
        """Whether dnsmasq's UDP answer to an A query for name, offering payload bytes with
        EDNS0, is truncated, and the addresses it holds."""
        qname = b"".join(bytes([len(label)]) + label.encode() for label in name.split(".")) + b"\0"
        query = (bytes.fromhex("beef01000001000000000001") + qname + b"\0\x01\0\x01" + b"\0\0\x29"
                 + payload.to_bytes(2, "big") + bytes(6))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(WAIT)
            s.sendto(query, (self.address, 53))
            reply = s.recv(65535)
        count = int.from_bytes(reply[6:8], "big")
        at, addresses = 12 + len(qname) + 4, []
        for _ in range(count):
            while reply[at] and reply[at] < 192:
                at += 1 + reply[at]
            at += 2 if reply[at] else 1
            rtype, length = int.from_bytes(reply[at:at + 2], "big"), int.from_bytes(
                reply[at + 8:at + 10], "big")
            if rtype == 1:
                addresses.append(str(ipaddress.ip_address(reply[at + 10:at + 14])))
            at += 10 + length
        return bool(reply[2] & 0x02), addresses

    def _answers(self):
        name = b"".join(bytes([len(label)]) + label.encode() for label in self.probe.split("."))
        query = bytes.fromhex("abcd01000001000000000000") + name + b"\x00\x00\x01\x00\x01"
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(0.2)
            try:
                s.sendto(query, (self.address, 53))
                reply = s.recv(512)
            except OSError:
                return False
        # Only this server knows the name: an answer from any other has no records.
        return reply[:2] == b"\xab\xcd" and reply[6:8] != b"\x00\x00"


class Quillboxd(Peer):
    """quillboxd with its own INI file, S25R rules, allow list (S25R_Allow.txt, when its text is
    given) and name service files, run in a private mount namespace, serving ports the test holds
    (and a TLS port when asked). Its log (standard output) is collected in the background."""

    def __init__(self, dns_address, max_connections=1, rules=(), general="", tls=False,
                 allow=None, hosts=(), resolver_options="timeout:1 attempts:2"):
        self.root = scratch_folder("quillbox-d-")
        self.listeners = Listeners(tls)
        self.port, self.tls_port = self.listeners.port, self.listeners.tls_port
        self.lines = []
        self.lock = threading.Lock()
        # The ports it is handed; were it to bind the INI file's, it would find them taken.
        tls_line = f"TLSListeningPort={self.tls_port}\n" if tls else ""
        self._write("quillbox.ini", f"[General]\nListeningPort={self.port}\n{tls_line}"
                    f"MaxConnections={max_connections}\n{general}")
        # Made at the first start: what a mail client is told to trust.
        self.certificate = os.path.join(self.root, "quillbox.crt")
        self._write("S25R_Rules.txt", "".join(rule + "\n" for rule in rules))
        if allow is not None:
            self._write("S25R_Allow.txt", allow)
        # Debian's own lines: a client told "localhost" connects over ::1 first.
        self._write("hosts", "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n"
                    + "".join(f"{address}\t{name}\n" for address, name in hosts))
        self._write("resolv.conf", f"nameserver {dns_address}\noptions {resolver_options}\n")
        # A file, not a pipe: nobody reads standard error while quillboxd runs.
        self.errors = tempfile.TemporaryFile()

    def _write(self, name, text):
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def rule_file(self, name, text):
        """A per-user rule file in quillboxd's current directory; returns its name."""
        self._write(name, text)
        return name

    def in_namespace(self, argv):
        """The command that runs argv with quillboxd's /etc/hosts and /etc/resolv.conf."""
        return in_private_namespace(os.path.join(self.root, "hosts"),
                                    os.path.join(self.root, "resolv.conf"), argv)

    def start(self):
        argv, fds = self.listeners.command(
            self.in_namespace([QUILLBOXD, "-I" + os.path.join(self.root, "quillbox.ini")]))
        self.process = subprocess.Popen(argv, pass_fds=fds, cwd=self.root,
                                        stdout=subprocess.PIPE, stderr=self.errors)
        threading.Thread(target=self._read, daemon=True).start()
        wait_until(lambda: any(line.startswith("Started at ") for line in self.log()),
                   "quillboxd", process=self.process, why=self.reason)
        if f"Port number: {self.port}" not in self.log():
            raise RuntimeError(f"quillboxd does not serve the port handed over. {self.reason()}")
        return self

    def reason(self):
        """What quillboxd said: its standard error and the last lines of its log."""
        return f"Standard error: {self.errors_text()!r}; log: {self.log()[-20:]!r}"

    def stop(self):
        super().stop()
        self.listeners.close()

    def _read(self):
        for line in self.process.stdout:
            with self.lock:
                self.lines.append(line.decode("latin-1").rstrip("\n"))

    def log(self):
        with self.lock:
            return list(self.lines)

    def history(self, *arguments):
        """The rows of quillboxd --history --json (each a dict), the oldest first."""
        result = subprocess.run(
            [QUILLBOXD, "-I" + os.path.join(self.root, "quillbox.ini"), "--history", "--json",
             *arguments], capture_output=True, text=True, timeout=WAIT, check=True)
        return [json.loads(line) for line in result.stdout.splitlines()]

    def threads(self):
        return len(os.listdir(f"/proc/{self.process.pid}/task"))

    def descriptors(self):
        """Open descriptors, less the history's files, which its first row opens for good."""
        folder = f"/proc/{self.process.pid}/fd"
        count = 0
        for fd in os.listdir(folder):
            try:
                count += "/history.sqlite3" not in os.readlink(os.path.join(folder, fd))
            except OSError:  # closed meanwhile
                pass
        return count

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def at_rest(self):
        """The threads and descriptors at rest, all started: a client that comes and goes shows
        that the log's printer runs (it printed the client's lines), and once that client's
        thread has ended, what is left is the program at rest."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT) as probe:
            probe.makefile("rb").readline()
            wait_until(lambda: any(line.startswith("C->P    New connection")
                                   for line in self.log()), "the probe's log line")
            with_probe = self.threads()
        wait_until(lambda: self.threads() < with_probe, "the end of the probe's thread")
        return self.threads(), self.descriptors()

    def peak_rss_kib(self):
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0



class PeersTestCase(unittest.TestCase):
    """Test cases whose peers start once for the class, in start_peers (entered into
    cls.peers), and stop after its last test, also when starting them fails (unittest skips
    tearDownClass then)."""

    @classmethod
    def setUpClass(cls):
        cls.peers = contextlib.ExitStack()
        try:
            cls.start_peers()
        except BaseException:
            cls.peers.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.peers.close()


def login_name(user, dovecot, rule_file):
    return f"{user}#127.0.0.1:{dovecot.port};{rule_file}"


def message(received_from, subject, body_lines, extra_header=()):
    """A message as bytes with LF line ends, its first Received: line naming the sender."""
    header = [
        f"Received: from {received_from}",
        "\tby mx.example.net (Postfix) with ESMTP id 4F2A1;",
        "\tTue,  8 Dec 2026 02:00:00 +0000 (UTC)",
        "Received: from mx.example.net (localhost [127.0.0.1]) by pop.example.net",
        *extra_header,
        "From: Sender <sender@example.org>",
        "To: alice@example.net",
        f"Subject: {subject}",
        "Message-ID: <" + subject.replace(" ", "-") + "@example.org>",
    ]
    return ("\n".join(header) + "\n\n" + "".join(line + "\n" for line in body_lines)).encode(
        "latin-1")


def annotation(ip, host, lookuped, status):
    return [f"X-Quillbox-Sender-IP-Address: {ip}".encode(),
            f"X-Quillbox-Sender-Hostname: {host}".encode(),
            f"X-Quillbox-Lookuped-IP-Address: {lookuped}".encode(),
            f"X-Quillbox-Status: {status}".encode()]


def delivered(lines, added):
    """The lines of a message as quillboxd delivers them: before the first empty line, every
    name that begins with X-Quillbox- (any case) gets "Forged-" after its first two characters,
    and the four lines stand where the header ends: before the first line that is neither a
    field nor a continuation, or at the end."""
    def field_or_continuation(line):
        return re.match(rb"[!-9;-~]+:|[ \t]", line) is not None

    out = []
    for line in lines:
        out.append(line)
        if b"" in out[:-1]:
            continue
        if line[:11].lower() == b"x-quillbox-":
            out[-1] = line[:2] + b"Forged-" + line[2:]
    at = next((i for i, line in enumerate(lines) if not field_or_continuation(line)), len(lines))
    return out[:at] + list(added) + out[at:]


def message_id(data):
    found = re.search(rb"^Message-ID: <([^>]*)>", data, re.MULTILINE | re.IGNORECASE)
    return found.group(1).decode() if found else repr(data[:200])


def sha256_fingerprint(certificate):
    """The SHA-256 fingerprint of a PEM certificate as quillboxd logs it."""
    with open(certificate) as f:
        digest = hashlib.sha256(ssl.PEM_cert_to_DER_cert(f.read())).hexdigest().upper()
    return ":".join(digest[i:i + 2] for i in range(0, len(digest), 2))


def write(path, text, mode=0o600):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)
    return path
