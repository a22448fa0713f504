"""Clients that send RETR and hang up while their senders' reverse lookups go unanswered must not
keep the judgments from anybody else, nor leave a thread or a descriptor behind: the system
resolver's nameserver here is a socket that never answers, and only the one good sender's name is
in the hosts file."""

import contextlib
import poplib
import random
import socket
import threading
import time
import unittest

import quillbox_e2e as e2e

HANGING_UP = 100
USERS = 4  # Dovecot takes at most 100 sessions of one user from one address
MATCH = r"/\(\S* ?\[[0-9.]+\]\)\s+by mx\.example\.net/"
GOOD = ("198.18.0.2", "good.example.org")
JUDGING = 32  # judgments at once in the process


class SilentNameserver:
    """A UDP socket on port 53 of a loopback address of its own that counts the queries it gets
    and never answers one."""

    def __enter__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        e2e.on_free_ports(self._bind)
        self.socket.settimeout(0.1)
        self.queries = 0
        self.running = True
        self.thread = threading.Thread(target=self._count)
        self.thread.start()
        return self

    def _bind(self):
        self.address = f"127.55.{random.randint(1, 254)}.{random.randint(1, 254)}"
        try:
            self.socket.bind((self.address, 53))
        except OSError as error:
            raise e2e.PortTaken(self.address) from error

    def _count(self):
        while self.running:
            with contextlib.suppress(socket.timeout):
                self.socket.recv(4096)
                self.queries += 1

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()
        self.socket.close()


class HangUpWhileJudged(unittest.TestCase):
    def test_hung_up_clients_free_everything_and_hold_up_nobody(self):
        with contextlib.ExitStack() as stack:
            silent = stack.enter_context(SilentNameserver())
            dns = e2e.Dnsmasq()
            dns.host(GOOD[1], GOOD[0])
            users = {f"user{u}": f"pw{u}" for u in range(USERS)} | {"good": "pw"}
            dovecot = e2e.Dovecot(users)
            for u in range(USERS):
                dovecot.add_message(f"user{u}", e2e.message(
                    f"unknown ([198.18.1.{u + 1}])", "never judged", ["Body."]))
            dovecot.add_message("good", e2e.message(
                f"{GOOD[1]} ({GOOD[1]} [{GOOD[0]}])", "judged", ["Body."]))
            stack.enter_context(dns)
            stack.enter_context(dovecot)
            # One try of a second: what a lookup nobody waits for still holds.
            proxy = stack.enter_context(e2e.Quillboxd(
                silent.address, HANGING_UP + 1, hosts=[GOOD], resolver_options="timeout:1 attempts:1"))
            rules = proxy.rule_file("rules.ini",
                                    f"[S25R]\nDNSServer={dns.address}\nMatchString={MATCH}\n")
            rest = proxy.at_rest()

            def logged_in(user):
                pop = poplib.POP3("127.0.0.1", proxy.port, timeout=e2e.WAIT)
                pop.user(e2e.login_name(user, dovecot, rules))
                pop.pass_(users[user])
                return pop

            good = logged_in("good")
            clients = [None] * HANGING_UP

            def log_in(i):
                clients[i] = logged_in(f"user{i % USERS}")

            logins = [threading.Thread(target=log_in, args=(i,)) for i in range(HANGING_UP)]
            for t in logins:
                t.start()
            for t in logins:
                t.join(timeout=e2e.WAIT * 3)
            self.assertNotIn(None, clients, "every client logged in")
            for pop in clients:
                pop.sock.sendall(b"RETR 1\r\n")
            # Every client's judgment has started, and as many lookups as may be on the wire at once
            # hang at the nameserver, before the clients give up.
            e2e.wait_until(lambda: sum(line.startswith("   P->S TOP 1 ") for line in proxy.log())
                           >= HANGING_UP and silent.queries >= JUDGING, "the judgments under way")
            for pop in clients:
                # The socket closes with the last of its files.
                pop.file.close()
                pop.sock.close()
            hung_up = time.monotonic()

            good.sock.sendall(b"RETR 1\r\n")
            self.assertTrue(good.file.readline().startswith(b"+OK"))
            answered = time.monotonic() - hung_up
            lines = []
            while (line := good.file.readline().rstrip(b"\r\n")) != b".":
                lines.append(line)
            self.assertIn(b"X-Quillbox-Status: Normal", lines)
            self.assertLess(answered, 2.0)
            good.quit()

            e2e.wait_until(lambda: (proxy.threads(), proxy.descriptors()) == rest,
                           "threads and descriptors at rest",
                           timeout=max(0.1, 2.0 - (time.monotonic() - hung_up)),
                           why=lambda: f"{(proxy.threads(), proxy.descriptors())} for {rest}")
            print(f"good RETR answered after {answered:.2f} s; at rest after "
                  f"{time.monotonic() - hung_up:.2f} s")


if __name__ == "__main__":
    e2e.require_real_servers()
    unittest.main()
