#!/usr/bin/env python3
"""What a slow DNS costs a mail client through quillboxd: a forwarder in front of the test dnsmasq
answers every query after a fixed delay (quillboxd's system resolver and the rule file's DNSServer
both ask it); a mailbox of 200 messages from 200 different senders is retrieved in order with
poplib, directly from Dovecot and through quillboxd, interleaved, each round with senders
quillboxd has not judged before; and one message retrieved alone (login, RETR 1, QUIT) from
such a mailbox.

Usage: QUILLBOX_BUILD=build python3 bench/bench_lookahead.py [--rounds N] [--delays 50,0]
Needs root (dnsmasq on port 53, the mount namespace of quillboxd)."""

import argparse
import contextlib
import os
import random
import socket
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import quillbox_e2e as e2e  # noqa: E402
from bench_proxy import PASSWORD, poplib_all as retrieve_all  # noqa: E402

COUNT = 200
MATCH = r"/\(\S* ?\[[0-9.]+\]\)\s+by mx\.example\.net/"


class DelayedDns:
    """A UDP forwarder on a loopback address of its own (port 53): every query goes on to the
    upstream server after `delay` seconds, on a thread of its own, and its answer comes back."""

    def __init__(self, upstream):
        self.upstream = upstream
        self.address = f"127.54.{random.randint(1, 254)}.{random.randint(1, 254)}"
        self.delay = 0.0
        self.queries = 0
        self.stopping = False

    def __enter__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.socket.bind((self.address, 53))
        self.socket.settimeout(0.2)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping = True
        self.thread.join(timeout=5)
        self.socket.close()

    def _serve(self):
        while not self.stopping:
            try:
                query, client = self.socket.recvfrom(4096)
            except socket.timeout:
                continue
            self.queries += 1
            threading.Thread(target=self._answer, args=(query, client, self.delay),
                             daemon=True).start()

    def _answer(self, query, client, delay):
        time.sleep(delay)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(2)
            try:
                s.sendto(query, (self.upstream, 53))
                self.socket.sendto(s.recv(4096), client)
            except OSError:
                pass


def mailbox(dns, dovecot, user, net):
    """COUNT messages whose senders 198.<net>.n.1 all differ and have proper names."""
    for n in range(1, COUNT + 1):
        address = f"198.{net // 256}.{net % 256}.{n}"
        name = f"h{net}-{n}.example.org"
        dns.ptr(address, name)
        dns.host(name, address)
        dovecot.add_message(user, e2e.message(f"{name} ({name} [{address}])", f"{user} {n}",
                                              [f"Body of message {n}."] * 100))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--delays", default="50,0", help="milliseconds, comma-separated")
    options = parser.parse_args()
    delays = [int(d) for d in options.delays.split(",")]
    rounds = options.rounds
    with contextlib.ExitStack() as stack:
        dns = e2e.Dnsmasq()
        users = {}
        net = 18 * 256
        for delay in delays:
            for r in range(rounds):
                users[("all", delay, r)] = net
                net += 1
        for r in range(rounds):
            users[("alone", r)] = net
            net += 1
        dovecot = e2e.Dovecot({f"u{n}": PASSWORD for n in users.values()})
        for n in users.values():
            mailbox(dns, dovecot, f"u{n}", n)
        stack.enter_context(dns)
        stack.enter_context(dovecot)
        forwarder = stack.enter_context(DelayedDns(dns.address))
        proxy = stack.enter_context(e2e.Quillboxd(forwarder.address, 0))
        rules = proxy.rule_file("bench.ini",
                                f"[S25R]\nDNSServer={forwarder.address}\nMatchString={MATCH}\n")

        for delay in delays:
            forwarder.delay = delay / 1000
            direct, proxied = [], []
            for r in range(rounds):
                user = f"u{users[('all', delay, r)]}"
                direct.append(retrieve_all(dovecot.port, user, COUNT))
                proxied.append(retrieve_all(proxy.port, e2e.login_name(user, dovecot, rules),
                                            COUNT))
            d, p = statistics.median(direct), statistics.median(proxied)
            print(f"{COUNT} messages from {COUNT} senders, DNS answering after {delay} ms, poplib, "
                  f"medians of {rounds}: direct {d:.3f} s  through quillboxd {p:.3f} s  "
                  f"added {(p - d) / COUNT * 1000:.2f} ms per message")

        forwarder.delay = max(delays) / 1000
        direct, proxied = [], []
        for r in range(rounds):
            user = f"u{users[('alone', r)]}"
            direct.append(retrieve_all(dovecot.port, user, 1))
            proxied.append(retrieve_all(proxy.port, e2e.login_name(user, dovecot, rules), 1))
        d, p = statistics.median(direct), statistics.median(proxied)
        print(f"One message alone (login, RETR 1, QUIT) of {COUNT}, DNS answering after "
              f"{max(delays)} ms, medians of {rounds}: direct {d * 1000:.1f} ms  through "
              f"quillboxd {p * 1000:.1f} ms")
        log = proxy.log()
        print(f"quillboxd sent {sum(line.startswith('   P->S TOP ') for line in log)} TOPs; the "
              f"forwarder answered {forwarder.queries} DNS queries")


if __name__ == "__main__":
    e2e.require_real_servers()
    main()
