"""What the TLS tests and the TLS benchmark add to quillbox_e2e: test certificates made with the
openssl tool, Dovecot with STLS and POP3S, a plain POP3 client of the proxy, a way to wait for
log lines, and a relay that records what the proxy sends to the real server. Loopback only,
ports the system picks, every wait bounded."""

import os
import socket
import subprocess
import threading
import time

from quillbox_e2e import WAIT, Dovecot, candidate_port


def run(*args):
    subprocess.run(args, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE, timeout=WAIT)


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


class TlsDovecot(Dovecot):
    """Dovecot that offers STLS on its POP3 port and speaks TLS on its POP3S port."""

    def __init__(self, users, cert):
        super().__init__(users)
        self.cert = cert
        self.pop3s_port = 0

    def pick_ports(self):
        super().pick_ports()
        self.pop3s_port = candidate_port()

    def config(self):
        text = super().config()
        cert = self.cert
        for old, new in (
                ("ssl = no\n", f"ssl = yes\nssl_cert = <{cert[0]}\nssl_key = <{cert[1]}\n"
                               "ssl_min_protocol = TLSv1.2\n"),
                ("    port = 0\n",
                 f"    address = 127.0.0.1\n    port = {self.pop3s_port}\n    ssl = yes\n")):
            if old not in text:
                raise RuntimeError(f"dovecot.conf has no {old!r} to change")
            text = text.replace(old, new)
        return text


class LogCursor:
    """Reads quillboxd's log in order: each wait returns the next line with the prefix."""

    def __init__(self, proxy):
        self.proxy = proxy
        self.next = 0

    def wait_for(self, prefix, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while True:
            lines = self.proxy.log()
            for index in range(self.next, len(lines)):
                if lines[index].startswith(prefix):
                    self.next = index + 1
                    return lines[index]
            if time.monotonic() > deadline:
                raise AssertionError(f"no log line starting with {prefix!r}; "
                                     f"last lines {lines[-20:]!r}")
            time.sleep(0.02)


class Pop3Client:
    """A POP3 client of the proxy, raw lines in and out: plain, or TLS from the first byte when
    given an ssl context; start_tls() follows STLS."""

    def __init__(self, port, timeout=WAIT, context=None, host="localhost", source="127.0.0.1"):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                               source_address=(source, 0))
        if context:
            self.socket = context.wrap_socket(self.socket, server_hostname=host)
        self.reader = self.socket.makefile("rb")
        self.greeting = self.readline()

    def start_tls(self, context, host="localhost"):
        """Runs the TLS handshake after a +OK to STLS; the certificate is checked for host."""
        self.reader.close()
        self.socket = context.wrap_socket(self.socket, server_hostname=host)
        self.reader = self.socket.makefile("rb")

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


def body_lines(index, size):
    """About size bytes of body lines, some of which need dot-stuffing on the wire."""
    text = "".join(chr(33 + (i * 7 + index) % 90) for i in range(70))
    lines = [".a line that starts with a dot", "", "..two dots"]
    total = 0
    while total < size:
        lines.append(text)
        total += len(text) + 1
    return lines + [".", "end"]
