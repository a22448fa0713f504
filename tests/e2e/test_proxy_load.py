"""200 mail clients at once through quillboxd (MaxConnections 200), each retrieving its messages
from its own Dovecot mailbox whose senders all differ: every message must carry its own verdict,
nothing may cross between connections, none may be refused, and every connection thread and
every descriptor must be gone afterwards; and the threads of the process stay bounded
meanwhile: one per connection and a fixed few more, whatever the connections judge."""

import contextlib
import poplib
import socket
import threading
import time
import unittest

import quillbox_e2e as e2e

CLIENTS = 200
MESSAGES = 5
MATCH = r"/\(\S* ?\[[0-9.]+\]\)\s+by mx\.example\.net/"
RULES = ["/^dyn-/"]
# Threads beyond one per connection at the peak: the judgments' own, the listeners', the log's.
SPARE_THREADS = 40


def sender(user, n):
    """The sender of message n of user: its address, and what the DNS says about it."""
    address = f"198.18.{user}.{n}"
    kind = n % 5
    name = {0: None, 1: f"h{user}-{n}.noaddr.test", 2: f"h{user}-{n}.cheat.test",
            3: f"dyn-{user}-{n}.example.com", 4: f"mail{user}-{n}.example.org"}[kind]
    four = {0: (address, "", "", "Reverse lookup failure"),
            1: (address, name, "", "Forward lookup failure"),
            2: (address, name, f"198.19.{user}.{n}", "Paranoid check failure"),
            3: (address, name, address, "S25R Rule 1"),
            4: (address, name, address, "Normal")}[kind]
    return address, name, four


class ManyClientsAtOnce(unittest.TestCase):
    def test_every_client_gets_its_own_verdicts_and_nothing_outlives_it(self):
        with contextlib.ExitStack() as stack:
            dns = e2e.Dnsmasq()
            dovecot = e2e.Dovecot({f"user{u}": f"pw{u}" for u in range(CLIENTS)})
            for u in range(CLIENTS):
                for n in range(1, MESSAGES + 1):
                    address, name, four = sender(u, n)
                    if name:
                        dns.ptr(address, name)
                    if four[3] in ("S25R Rule 1", "Normal"):
                        dns.host(name, address)
                    elif four[3] == "Paranoid check failure":
                        dns.host(name, four[2])
                    dovecot.add_message(f"user{u}", e2e.message(
                        f"{name or 'unknown'} ({name or ''} [{address}])",
                        f"user{u} message {n}", [f"Body of message {n} for user{u}."]))
            stack.enter_context(dns)
            stack.enter_context(dovecot)
            proxy = stack.enter_context(e2e.Quillboxd(dns.address, CLIENTS, RULES))
            rules = proxy.rule_file("rules.ini",
                                    f"[S25R]\nDNSServer={dns.address}\nMatchString={MATCH}\n")
            idle_threads, idle_descriptors = proxy.at_rest()

            start = threading.Barrier(CLIENTS, timeout=e2e.WAIT)
            # Every client is logged in before any retrieves: all of them at once, at the limit.
            all_in = threading.Barrier(CLIENTS, timeout=e2e.WAIT * 3)
            failures = []

            def client(u):
                step = "start"
                try:
                    start.wait()
                    step = "connect"
                    pop = poplib.POP3("127.0.0.1", proxy.port, timeout=e2e.WAIT * 3)
                    step = "login"
                    pop.user(e2e.login_name(f"user{u}", dovecot, rules))
                    pop.pass_(f"pw{u}")
                    step = "all logged in"
                    all_in.wait()
                    self.assertEqual(pop.stat()[0], MESSAGES)
                    # Dovecot lists new mail in delivery order, so message n is the n-th one.
                    for n in range(1, MESSAGES + 1):
                        step = f"RETR {n}"
                        lines = pop.retr(n)[1]
                        at = lines.index(b"")
                        self.assertEqual(lines[at - 4:at], e2e.annotation(*sender(u, n)[2]))
                        self.assertIn(f"Subject: user{u} message {n}".encode(), lines)
                        self.assertEqual(lines[at + 1:], [f"Body of message {n} for user{u}.".encode()])
                    step = "QUIT"
                    pop.quit()
                except Exception as error:  # reported below, with the client it happened to
                    failures.append((u, step, repr(error)))

            peak = [0]
            running = threading.Event()
            running.set()

            def sample():
                while running.is_set():
                    with contextlib.suppress(OSError):
                        peak[0] = max(peak[0], proxy.threads())
                    time.sleep(0.005)

            sampler = threading.Thread(target=sample)
            sampler.start()
            threads = [threading.Thread(target=client, args=(u,)) for u in range(CLIENTS)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=240)
            running.clear()
            sampler.join()
            print(f"peak threads: {peak[0]} (at rest {idle_threads})")
            self.assertLessEqual(peak[0], CLIENTS + SPARE_THREADS)
            self.assertFalse(any(t.is_alive() for t in threads), "clients still running")
            log = proxy.log()
            # The clients that failed first, not the many that then waited at a barrier in vain.
            causes = [f for f in failures if "BrokenBarrierError" not in f[2]] or failures
            self.assertEqual(failures, [], "%d connections in the log, port %d; first: %r" % (
                sum(line.startswith("C->P    New connection") for line in log), proxy.port,
                causes[:10]))

            try:
                e2e.wait_until(lambda: (proxy.threads(), proxy.descriptors())
                               == (idle_threads, idle_descriptors), "the idle state")
            except RuntimeError:
                pass  # the assertions below say what is left
            # quillboxd writes its log on a thread of its own: a good-bye logged before the reply
            # went out may still be on its way when the last client has its reply.
            goodbye = "C<-P    +OK Good-bye from the Quillbox"
            try:
                e2e.wait_until(lambda: proxy.log().count(goodbye) >= CLIENTS, "every good-bye")
            except RuntimeError:
                pass  # the assertions below say what is left
            log = proxy.log()
            self.assertEqual(proxy.threads(), idle_threads)
            self.assertEqual(proxy.descriptors(), idle_descriptors)
            self.assertEqual(log.count(goodbye), CLIENTS)
            self.assertEqual(sum(line.startswith("   P->S RETR ") for line in log),
                             CLIENTS * MESSAGES)


if __name__ == "__main__":
    e2e.require_real_servers()
    unittest.main()
