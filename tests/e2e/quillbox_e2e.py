"""Real peers for end-to-end runs of quillboxd: a throwaway Dovecot POP3 server, a dnsmasq DNS
server on a loopback address, and quillboxd itself in a private mount namespace whose
/etc/hosts and /etc/resolv.conf belong to the run, so that reverse lookups never leave the
machine; and a private X server for the tray program. Every wait is bounded; everything started
is stopped again, also on failure (use the classes as context managers, or through a
contextlib.ExitStack)."""

import contextlib
import ctypes
import ctypes.util
import ipaddress
import os
import poplib
import queue
import random
import re
import select
import shutil
import signal
import socket
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


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, what, host="127.0.0.1"):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{what} ended with status {process.returncode}")
        try:
            with socket.create_connection((host, port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"{what} does not listen on {host}:{port}")


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
        if self.root:
            shutil.rmtree(self.root, ignore_errors=True)

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
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp"],
                                        pass_fds=[write], stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(ready) as f:
            number = f.readline().strip() if select.select([f], [], [], WAIT)[0] else ""
        if not number:
            raise RuntimeError("Xvfb did not start")
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
            raise RuntimeError(f"no window {title!r} on {self.name}")
        x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
        x11.XOpenDisplay.restype = ctypes.c_void_p
        display = ctypes.c_void_p(x11.XOpenDisplay(self.name.encode()))
        x11.XMoveResizeWindow(display, ctypes.c_ulong(int(found[0], 16)), *geometry)
        x11.XSync(display, 0)
        x11.XCloseDisplay(display)


class Dovecot(Peer):
    """A POP3 server with passwd-file users and maildirs written by the test."""

    UID = 65534

    def __init__(self, users):
        self.root = scratch_folder("quillbox-dovecot-")
        self.port = free_port()
        self.users = dict(users)
        self.counter = 0
        with open(os.path.join(self.root, "passwd"), "w") as f:
            for user, password in self.users.items():
                f.write(f"{user}:{{PLAIN}}{password}\n")
        for user in self.users:
            for sub in ("new", "cur", "tmp"):
                os.makedirs(os.path.join(self.root, "mail", user, "Maildir", sub))
        r = self.root
        with open(os.path.join(r, "dovecot.conf"), "w") as f:
            f.write(f"""base_dir = {r}/run
state_dir = {r}/state
log_path = {r}/dovecot.log
protocols = pop3
listen = 127.0.0.1
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
""")

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
        self.process = subprocess.Popen(
            ["dovecot", "-F", "-c", os.path.join(self.root, "dovecot.conf")],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_for_port(self.port, self.process, "dovecot")
        return self



class Dnsmasq(Peer):
    """An authoritative DNS server on a loopback address of its own (port 53)."""

    ZONES = ("example.org", "example.net", "example.com", "test", "in-addr.arpa", "ip6.arpa")

    def __init__(self):
        self.root = scratch_folder("quillbox-dnsmasq-")
        self.address = f"127.53.{random.randint(1, 254)}.{random.randint(1, 254)}"
        self.records = []

    def host(self, name, *addresses):
        """A and AAAA records: dotted quads and IPv6 addresses alike."""
        self.records += [f"address=/{name}/{a}" for a in addresses]

    def ptr(self, address, name):
        """A PTR record in in-addr.arpa or ip6.arpa, by the address's family."""
        reverse = ipaddress.ip_address(address).reverse_pointer
        self.records.append(f"ptr-record={reverse},{name}")

    def start(self):
        conf = os.path.join(self.root, "dnsmasq.conf")
        with open(conf, "w") as f:
            f.write("\n".join([
                "no-resolv", "no-hosts", "no-poll", "bind-interfaces", "port=53",
                f"listen-address={self.address}", f"pid-file={self.root}/dnsmasq.pid",
                f"log-facility={self.root}/dnsmasq.log", "user=root",
                *[f"local=/{zone}/" for zone in self.ZONES], *self.records, ""]))
        self.process = subprocess.Popen(["dnsmasq", "-k", "-C", conf],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + WAIT
        while not self._answers():
            if self.process.poll() is not None:
                raise RuntimeError("dnsmasq ended: " + self.process.stderr.read().decode(
                    "utf-8", "replace"))
            if time.monotonic() > deadline:
                raise RuntimeError("dnsmasq does not answer")
            time.sleep(0.05)
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
        query = bytes.fromhex("abcd01000001000000000000") + b"\x04test\x00\x00\x01\x00\x01"
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(0.2)
            try:
                s.sendto(query, (self.address, 53))
                return s.recv(512)[:2] == b"\xab\xcd"
            except OSError:
                return False



class Quillboxd(Peer):
    """quillboxd with its own INI file, S25R rules and name service files, run in a private mount
    namespace. Its log (standard output) is collected in the background."""

    def __init__(self, dns_address, max_connections=1, rules=(), general=""):
        self.root = scratch_folder("quillbox-d-")
        self.port = free_port()
        self.lines = []
        self.lock = threading.Lock()
        self._write("quillbox.ini", f"[General]\nListeningPort={self.port}\n"
                    f"MaxConnections={max_connections}\n{general}")
        # Made at the first start: what a mail client is told to trust.
        self.certificate = os.path.join(self.root, "quillbox.crt")
        self._write("S25R_Rules.txt", "".join(rule + "\n" for rule in rules))
        # Debian's own lines: a client told "localhost" connects over ::1 first.
        self._write("hosts", "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n")
        self._write("resolv.conf", f"nameserver {dns_address}\noptions timeout:1 attempts:2\n")
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
        self.process = subprocess.Popen(
            self.in_namespace([QUILLBOXD, "-I" + os.path.join(self.root, "quillbox.ini")]),
            cwd=self.root, stdout=subprocess.PIPE, stderr=self.errors)
        threading.Thread(target=self._read, daemon=True).start()
        try:
            wait_for_port(self.port, self.process, "quillboxd")
        except RuntimeError as error:
            self.errors.seek(0)
            raise RuntimeError(f"{error}: {self.errors.read().decode('utf-8', 'replace')}")
        return self

    def _read(self):
        for line in self.process.stdout:
            with self.lock:
                self.lines.append(line.decode("latin-1").rstrip("\n"))

    def log(self):
        with self.lock:
            return list(self.lines)

    def threads(self):
        return len(os.listdir(f"/proc/{self.process.pid}/task"))

    def descriptors(self):
        return len(os.listdir(f"/proc/{self.process.pid}/fd"))

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

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
