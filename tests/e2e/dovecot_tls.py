"""Real peers for the TLS tests and the TLS benchmark: a throwaway Dovecot POP3 server (plain,
STLS and POP3S), test certificates made with the openssl tool, quillboxd as a process, and a
relay that records what the proxy sends. Loopback only, free ports, every wait bounded."""

import os
import queue
import shutil
import socket
import subprocess
import tempfile
import threading
import time

BUILD = os.environ.get("QUILLBOX_BUILD", "build")
QUILLBOXD = os.path.join(os.path.abspath(BUILD), "apps", "quillboxd", "quillboxd")
WAIT = 10  # seconds any single step may take
MAIL_UID = 65534  # Dovecot's mail processes refuse root


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, deadline):
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise AssertionError(f"nothing listens on port {port}")


def run(*args, cwd=None):
    # No pipes: a program that puts itself in the background (dovecot) would hold them open.
    subprocess.run(args, cwd=cwd, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=WAIT * 3)


class Certificates:
    """A test authority and server certificates it issued, as PEM files in folder."""

    def __init__(self, folder):
        self.folder = folder
        self.ca = os.path.join(folder, "ca.crt")
        run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
            "-nodes", "-keyout", os.path.join(folder, "ca.key"), "-out", self.ca, "-days", "30",
            "-subj", "/CN=Quillbox Test CA", "-addext", "basicConstraints=critical,CA:TRUE")

    def issue(self, name, alt_names):
        """Returns (certificate, key) paths for a server certificate with these names."""
        base = os.path.join(self.folder, name)
        with open(base + ".ext", "w") as f:
            f.write(f"subjectAltName={alt_names}\nbasicConstraints=CA:FALSE\n")
        run("openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", base + ".key", "-out", base + ".csr", "-subj", f"/CN={name}")
        run("openssl", "x509", "-req", "-in", base + ".csr", "-CA", self.ca, "-CAkey",
            os.path.join(self.folder, "ca.key"), "-CAcreateserial", "-days", "30", "-out",
            base + ".crt", "-extfile", base + ".ext")
        return base + ".crt", base + ".key"


class Dovecot:
    """One Dovecot instance under folder with one user. With a certificate it offers STLS on its
    POP3 port and TLS on its POP3S port; without one it has no TLS at all."""

    def __init__(self, folder, user="alice", password="s3cret", cert=None):
        self.folder = folder
        self.user, self.password = user, password
        self.pop3_port = free_port()
        self.pop3s_port = free_port() if cert else 0
        self.maildir = os.path.join(folder, "mail", user, "Maildir")
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(self.maildir, sub), exist_ok=True)
        with open(os.path.join(folder, "passwd"), "w") as f:
            f.write(f"{user}:{{PLAIN}}{password}\n")
        ssl = "ssl = no\n"
        if cert:
            ssl = (f"ssl = yes\nssl_cert = <{cert[0]}\nssl_key = <{cert[1]}\n"
                   "ssl_min_protocol = TLSv1.2\n")
        with open(os.path.join(folder, "dovecot.conf"), "w") as f:
            f.write(f"""base_dir = {folder}/run
state_dir = {folder}/state
log_path = {folder}/dovecot.log
protocols = pop3
listen = 127.0.0.1
first_valid_uid = 1
disable_plaintext_auth = no
auth_mechanisms = plain
{ssl}
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {folder}/passwd
}}
userdb {{
  driver = static
  args = uid={MAIL_UID} gid={MAIL_UID} home={folder}/mail/%u
}}
mail_location = maildir:{folder}/mail/%u/Maildir
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {self.pop3_port}
  }}
  inet_listener pop3s {{
    address = 127.0.0.1
    port = {self.pop3s_port}
    ssl = yes
  }}
}}
""")
        self.process = None

    def add_message(self, name, data):
        with open(os.path.join(self.maildir, "new", name), "wb") as f:
            f.write(data)

    def start(self):
        run("chown", "-R", f"{MAIL_UID}:{MAIL_UID}", os.path.join(self.folder, "mail"))
        run("dovecot", "-c", os.path.join(self.folder, "dovecot.conf"))
        deadline = time.monotonic() + WAIT
        wait_for_port(self.pop3_port, deadline)
        if self.pop3s_port:
            wait_for_port(self.pop3s_port, deadline)
        return self

    def stop(self):
        pid_file = os.path.join(self.folder, "run", "master.pid")
        try:
            with open(pid_file) as f:
                pid = int(f.read().strip())
        except (OSError, ValueError):
            return
        try:
            os.kill(pid, 15)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            try:
                os.kill(pid, 0)
            except ProcessLookupError:
                return
            time.sleep(0.05)


class Quillboxd:
    """quillboxd on a free port; its log (standard output) is read in the background."""

    def __init__(self, folder):
        self.port = free_port()
        self.folder = folder
        ini = os.path.join(folder, "quillbox.ini")
        with open(ini, "w") as f:
            # Tests log in one after the other; a connection thread still ending must not turn
            # the next client away.
            f.write(f"[General]\nListeningPort={self.port}\nMaxConnections=8\n")
        self.process = subprocess.Popen([QUILLBOXD, f"-I{ini}"], cwd=folder,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()
        self.wait_for_line("Started at ")

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.decode("latin-1").rstrip("\n"))

    def wait_for_line(self, prefix, timeout=WAIT):
        """Returns the first line not seen before that starts with prefix."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                break
            self.seen.append(line)
            if line.startswith(prefix):
                return line
        raise AssertionError(f"no line starting with {prefix!r}; last lines {self.seen[-20:]!r}")

    def rule_file(self, name, text):
        path = os.path.join(self.folder, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=WAIT)
        self.process.stdout.close()


class Pop3Client:
    """A plain POP3 client of the proxy, raw lines in and out."""

    def __init__(self, port, timeout=WAIT):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.reader = self.socket.makefile("rb")
        self.greeting = self.readline()

    def readline(self):
        return self.reader.readline()

    def command(self, line):
        self.socket.sendall(line.encode("latin-1") + b"\r\n")
        return self.readline().rstrip(b"\r\n").decode("latin-1")

    def login(self, login_name, password):
        self.command("USER " + login_name)
        return self.command("PASS " + password)

    def multiline(self, line):
        """The reply line and the raw (still stuffed) lines of the answer, CR LF kept."""
        first = self.command(line)
        lines = []
        while True:
            raw = self.readline()
            if not raw or raw == b".\r\n":
                return first, lines
            lines.append(raw)

    def close(self):
        self.reader.close()
        self.socket.close()


class RecordingRelay:
    """Forwards one port to another and keeps every byte the client side sent."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.sent = bytearray()
        self.stopped = threading.Event()
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        while not self.stopped.is_set():
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            server = socket.create_connection(("127.0.0.1", self.target_port), timeout=WAIT)
            for source, sink, record in ((client, server, True), (server, client, False)):
                t = threading.Thread(target=self._pump, args=(source, sink, record), daemon=True)
                t.start()
                self.threads.append(t)

    def _pump(self, source, sink, record):
        source.settimeout(0.2)
        while not self.stopped.is_set():
            try:
                data = source.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                data = b""
            if not data:
                break
            if record:
                self.sent.extend(data)
            try:
                sink.sendall(data)
            except OSError:
                break
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        # The other direction's pump ends on the shutdown and closes its own source.
        source.close()

    def stop(self):
        self.stopped.set()
        for t in self.threads:
            t.join(timeout=WAIT)
        self.listener.close()


def message(index, size=2048):
    """A mail message of about size bytes, LF line ends, with lines that need dot-stuffing."""
    lines = [f"Received: from sender{index}.example (sender{index}.example [192.0.2.{index % 250}])",
             "\tby mx.example.net with ESMTP",
             f"From: sender{index}@example.org", "To: alice@example.net",
             f"Subject: message {index}", "", ".a line that starts with a dot"]
    body = "".join(chr(33 + (i * 7 + index) % 90) for i in range(70))
    total = sum(len(line) + 1 for line in lines)
    while total < size:
        lines.append(body)
        total += len(body) + 1
    lines.append(".")
    lines.append("end")
    return ("\n".join(lines) + "\n").encode()


class TempFolder:
    """A short temporary folder (Dovecot's socket paths must stay short)."""

    def __init__(self, prefix):
        self.name = tempfile.mkdtemp(prefix=prefix, dir="/tmp")
        os.chmod(self.name, 0o755)

    def cleanup(self):
        shutil.rmtree(self.name, ignore_errors=True)
