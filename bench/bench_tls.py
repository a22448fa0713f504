"""Times retrieving a 20 x 5 MB mailbox through quillboxd from Dovecot in the same run, taking
turns: plain on both sides, POP3S to Dovecot, and TLS from the mail client to quillboxd (its TLS
port, its own certificate) with plain POP3 to Dovecot. Prints the medians, their ratios to plain
and the CPU time quillboxd and Dovecot spent. The same mailbox fetched directly from Dovecot
shows the server's own share.

    QUILLBOX_BUILD=build python3 bench/bench_tls.py [rounds]

Needs root (Dovecot), dovecot-pop3d and openssl, like the end-to-end tests."""

import contextlib
import os
import shutil
import socket
import ssl
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from dovecot_tls import Certificates, TlsDovecot, body_lines  # noqa: E402
from quillbox_e2e import Quillboxd, message, scratch_folder  # noqa: E402

MESSAGES = 20
MESSAGE_SIZE = 5 * 1024 * 1024
PASSWORD = "s3cret"
RULES = "[QuillboxRules]\nMaxLines=0\n[S25R]\nDNSServer=127.0.0.1\nMatchString=/^X-Never:/\n"


class RawClient:
    """Reads whole answers in large pieces, so the client's own speed does not blur the figures."""

    def __init__(self, port, context=None):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=60)
        if context:
            self.socket = context.wrap_socket(self.socket, server_hostname="localhost")
        self.buffer = b""
        self.line()

    def line(self):
        while b"\r\n" not in self.buffer:
            self.fill()
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def fill(self):
        data = self.socket.recv(1 << 20)
        if not data:
            raise ConnectionError("the proxy closed the connection")
        self.buffer += data

    def command(self, text):
        self.socket.sendall(text.encode() + b"\r\n")
        return self.line()

    def answer(self):
        """The bytes of a multi-line answer up to its terminating line. Only the new bytes are
        searched each time, so a large answer costs linear time."""
        data = bytearray(self.buffer)
        start = 0
        while True:
            end = data.find(b"\r\n.\r\n", start)
            if end >= 0:
                self.buffer = bytes(data[end + 5:])
                return bytes(data[:end + 2])
            start = max(0, len(data) - 4)
            piece = self.socket.recv(1 << 20)
            if not piece:
                raise ConnectionError("the proxy closed the connection")
            data += piece

    def close(self):
        self.socket.close()


TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pids):
    """User and system time of each process by pid; processes that are gone are left out."""
    times = {}
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        times[pid] = (int(fields[11]) + int(fields[12])) / TICKS
    return times


def children(pid):
    """The processes whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        found.append(int(entry))
            except (OSError, ValueError, IndexError):
                continue
    return found


class CpuMeter:
    """CPU time that quillboxd and the Dovecot instance spend between start() and stop()."""

    def __init__(self, proxy_pid, dovecot_pid):
        self.proxy_pid, self.dovecot_pid = proxy_pid, dovecot_pid

    def _sample(self):
        return (cpu_seconds([self.proxy_pid]),
                cpu_seconds([self.dovecot_pid] + children(self.dovecot_pid)))

    def start(self):
        self.before = self._sample()

    def stop(self):
        after = self._sample()
        return tuple(sum(t - before.get(pid, 0.0) for pid, t in now.items())
                     for before, now in zip(self.before, after))


def retrieve_all(port, login, meter, context=None):
    client = RawClient(port, context)
    try:
        client.command("USER " + login)
        reply = client.command("PASS " + PASSWORD)
        if not reply.startswith(b"+OK"):
            raise RuntimeError(reply.decode("latin-1"))
        meter.start()
        start = time.perf_counter()
        size = 0
        for number in range(1, MESSAGES + 1):
            reply = client.command(f"RETR {number}")
            if not reply.startswith(b"+OK"):
                raise RuntimeError(reply.decode("latin-1"))
            size += len(client.answer())
        elapsed = time.perf_counter() - start
        cpu = meter.stop()
        client.command("QUIT")
    finally:
        client.close()
    if size < MESSAGES * MESSAGE_SIZE:
        raise RuntimeError(f"only {size} bytes retrieved")
    return elapsed, cpu


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    with contextlib.ExitStack() as peers:
        folder = scratch_folder("quillbox-certs-")
        peers.callback(shutil.rmtree, folder, ignore_errors=True)
        certs = Certificates(folder)
        dovecot = TlsDovecot({"alice": PASSWORD},
                             certs.issue("localhost", "DNS:localhost,IP:127.0.0.1"))
        for index in range(1, MESSAGES + 1):
            dovecot.add_message("alice", message(f"sender{index}.example", f"message {index}",
                                                 body_lines(index, MESSAGE_SIZE)))
        peers.enter_context(dovecot)
        # No name is looked up: the address of the DNS server does not matter.
        proxy = peers.enter_context(Quillboxd("127.0.0.1", max_connections=4, tls=True))
        tls_port = proxy.tls_port
        shutil.copy(certs.ca, proxy.root)
        tls_rules = RULES + "[Upstream]\nSecurity=TLS\nCAFile=ca.crt\n"
        # The direct sessions (a Python client at Dovecot, no proxy) show what TLS costs the
        # server alone.
        logins = {
            "plain": (proxy.port, f"alice#localhost:{dovecot.port};"
                      + proxy.rule_file("plain.ini", RULES), None),
            "POP3S": (proxy.port, f"alice#localhost:{dovecot.pop3s_port};"
                      + proxy.rule_file("tls.ini", tls_rules), None),
            "client TLS": (tls_port, f"alice#localhost:{dovecot.port};plain.ini",
                           ssl.create_default_context(cafile=proxy.certificate)),
            "direct plain": (dovecot.port, "alice", None),
            "direct POP3S": (dovecot.pop3s_port, "alice",
                             ssl.create_default_context(cafile=certs.ca)),
        }
        meter = CpuMeter(proxy.process.pid, dovecot.process.pid)
        times = {name: [] for name in logins}
        cpus = {name: [] for name in logins}
        retrieve_all(*logins["plain"][:2], meter)  # warm the page cache and indexes
        for _ in range(rounds):
            for name, (port, login, context) in logins.items():
                elapsed, cpu = retrieve_all(port, login, meter, context)
                times[name].append(elapsed)
                cpus[name].append(cpu)
    medians = {name: statistics.median(values) for name, values in times.items()}
    mb = MESSAGES * MESSAGE_SIZE / 1e6
    for name, values in times.items():
        proxy_cpu = statistics.median(c[0] for c in cpus[name])
        server_cpu = statistics.median(c[1] for c in cpus[name])
        print(f"{name:12} median {medians[name]:.3f} s ({mb / medians[name]:.0f} MB/s), "
              f"CPU quillboxd {proxy_cpu:.2f} s, Dovecot {server_cpu:.2f} s; "
              f"runs {' '.join(f'{v:.3f}' for v in values)}")
    print(f"through quillboxd POP3S / plain: {medians['POP3S'] / medians['plain']:.2f} "
          "(target <= 1.20)")
    print(f"through quillboxd, TLS from the client / plain: "
          f"{medians['client TLS'] / medians['plain']:.2f} (target <= 1.30)")
    print(f"direct to Dovecot POP3S / plain: "
          f"{medians['direct POP3S'] / medians['direct plain']:.2f}")


if __name__ == "__main__":
    main()
