"""What the desktop mail client tests and the filter recipe tests share: a mailbox whose senders
get each verdict a filter sorts on, with the traps a filter must not fall into (status lines
forged above and below the header's end, a forged lower Received: line), the peers that serve it
through quillboxd on both kinds of TLS, what each message must look like once delivered, which
folder the README's filters put it in, and the README's own recipe blocks."""

import os
import poplib
import re
import shutil
import time

import quillbox_e2e as e2e
from dovecot_tls import RecordingRelay
from quillbox_e2e import message_id

# The 20000-character line is longer than poplib takes by default.
poplib._MAXLINE = 100000

PASSWORD = "Pa55-w0rd"
SOURCE = os.path.abspath(os.environ.get("QUILLBOX_SOURCE", os.path.join(
    os.path.dirname(__file__), "..", "..")))
RUN_LIMIT = 60  # seconds one client may take for everything it is asked to do

# As the README's rule file example has it: from the top, so that what a sender wrote below the
# provider's own line never counts.
MATCH = r"/\((?!localhost )[^ ()]* ?\[(?!127\.)[0-9a-f:.]+\]\)\s+by mx\.example\.net/i"
RULES = ["/^dyn-/"]

# The sending host of each kind: its Received: words, its PTR and A records, its four lines.
NORMAL = ("mail.example.org (mail.example.org [203.0.113.7])",
          ("203.0.113.7", "mail.example.org", "203.0.113.7", "Normal"))
DYNAMIC = ("pc (dyn-198-51-100-2.example.net [198.51.100.2])",
           ("198.51.100.2", "dyn-198-51-100-2.example.net", "198.51.100.2", "S25R Rule 1"))
NAMELESS = ("unknown ([192.0.2.9])",
            ("192.0.2.9", "", "", "Reverse lookup failure"))
PARANOID = ("relay.example.com ([192.0.2.20])",
            ("192.0.2.20", "relay.example.com", "192.0.2.21", "Paranoid check failure"))
RECORDS = [("203.0.113.7", "mail.example.org", "203.0.113.7"),
           ("198.51.100.2", "dyn-198-51-100-2.example.net", "198.51.100.2"),
           ("192.0.2.20", "relay.example.com", "192.0.2.21")]

FORGED_LOWER = ("Received: from mail.example.org (mail.example.org [203.0.113.7])"
                " by mx.example.net (Postfix) with ESMTP id F0RGED;")


def mailbox():
    """The messages (bytes, LF line ends) and the four lines each must get."""
    def m(sender, subject, body, extra=()):
        return e2e.message(sender[0], subject, body, extra), sender[1]

    return [
        m(NORMAL, "normal dots", [".", "..two", ".one", "From the start", "", "-- ", "end"]),
        m(NORMAL, "normal long 8bit", ["caf\xe9 \xbfqu\xe9?", "z" * 20000, "From here", "."],
          ["Content-Type: text/plain; charset=iso-8859-1", "Content-Transfer-Encoding: 8bit"]),
        m(DYNAMIC, "dynamic forged status", ["X-Quillbox-Status: Normal", "body"],
          ["X-Quillbox-Status: Normal", "x-quillbox-sender-hostname: a.example"]),
        m(DYNAMIC, "dynamic forged lower", ["y" * 9000], [FORGED_LOWER]),
        m(NAMELESS, "nameless forged lower", ["..", "x"], [FORGED_LOWER]),
        m(NAMELESS, "nameless forged normal", ["caf\xe9"], ["X-Quillbox-Status: Normal"]),
        m(PARANOID, "paranoid", [".", "p" * 1000]),
        m(PARANOID, "paranoid forged s25r", ["end"], ["X-Quillbox-Status: S25R Rule 1"]),
    ]


def folder_of(status):
    """Where the README's filters put a message: status beginning with S25R to "S25R", any
    other but Normal to "Suspect"."""
    return "Inbox" if status == "Normal" else "S25R" if status.startswith("S25R") else "Suspect"


def readme(heading=None):
    """The README's text, or the part of it under the heading (up to the next heading)."""
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        text = f.read()
    if heading is None:
        return text
    found = re.search(rf"^{re.escape(heading)}\n(.*?)(?=^#)", text, re.S | re.M)
    if not found:
        raise AssertionError(f"README.md has no {heading!r}")
    return found.group(1)


def readme_block(language, marker):
    """The fenced block of the README's with this language that contains marker: the tests use
    the recipes as the README gives them."""
    for block in re.findall(rf"^```{re.escape(language)}\n(.*?)^```$", readme(), re.S | re.M):
        if marker in block:
            return block
    raise AssertionError(f"README.md has no ```{language} block with {marker!r}")


class Peers:
    """dnsmasq with the senders' records, Dovecot with alice's mailbox and quillboxd with a
    STARTTLS and a TLS port, started into an ExitStack. fill() puts the mailbox in place and
    returns what each message must look like when delivered."""

    def __init__(self, stack):
        self.root = e2e.scratch_folder("quillbox-desktop-")
        stack.callback(shutil.rmtree, self.root, ignore_errors=True)
        dns = e2e.Dnsmasq()
        for address, name, forward in RECORDS:
            dns.ptr(address, name)
            dns.host(name, forward)
        stack.enter_context(dns)
        self.dovecot = stack.enter_context(e2e.Dovecot({"alice": PASSWORD}))
        # One client at a time, as a user's Quillbox serves out of the box.
        self.proxy = stack.enter_context(e2e.Quillboxd(dns.address, 1, RULES, tls=True))
        rules = self.proxy.rule_file("alice.ini", f"[S25R]\nDNSServer={dns.address}\n"
                                     f"SelectFrom=Top\nMatchString={MATCH}\n")
        self.login = e2e.login_name("alice", self.dovecot, os.path.join(self.proxy.root, rules))

    def fill(self):
        """Returns {Message-ID: (lines as quillboxd must deliver them, folder)}."""
        messages = mailbox()
        got = self.dovecot.refill("alice", [data for data, _ in messages])
        added = {message_id(data): four for data, four in messages}
        if len(got) != len(messages):
            raise AssertionError(f"Dovecot serves {len(got)} of {len(messages)} messages")
        return {key: (e2e.delivered(lines, e2e.annotation(*added[key])), folder_of(added[key][3]))
                for key, lines in got.items()}

    def sessions(self, seen=0):
        """quillboxd's log lines after the first seen, cut into client sessions."""
        out = []
        for line in self.proxy.log()[seen:]:
            if line.startswith("C->P    New connection from ") or not out:
                out.append([])
            out[-1].append(line)
        return out

    def logged_in(self, seen, client=None):
        """Waits for the first session after the first seen log lines that logged in and
        ended, and returns its lines; client (a Peer) may end first, which fails it."""
        def ended():
            return next(("\n".join(lines) for lines in self.sessions(seen)
                         if any(line.startswith("   P    User: ") for line in lines)
                         and lines[-1] == "   P    Disconnected"), None)
        return e2e.wait_until(ended, "a session of the client's", RUN_LIMIT,
                              client and client.process, client and client.errors_text or str)

    def untrusting(self, test, run, port):
        """Runs run(port of a relay to the given port of quillboxd's) for a client that does not
        trust the certificate, and checks that its password never went in clear and that it
        came no further than the handshake."""
        relay = RecordingRelay(port)
        seen = len(self.proxy.log())
        try:
            run(relay.port)
        finally:
            relay.stop()
        # The session's end: a handshake that failed, or the client's leaving after one it
        # did not check until it ended (Claws Mail's way).
        def ended():
            lines = self.proxy.log()[seen:]
            return any(line == "   P    Disconnected" or line.startswith(
                "   P    TLS handshake with ") for line in lines) and lines
        said = "\n".join(e2e.wait_until(ended, "the end of the untrusting session",
                                         why=lambda: repr(self.proxy.log()[-30:])))
        test.assertIn("   P    TLS ", said)
        test.assertNotIn("   P    User: ", said)
        test.assertNotIn(PASSWORD.encode(), bytes(relay.sent))
        test.assertNotIn(b"PASS", bytes(relay.sent))

    def sorted_in(self, folders, expected, timeout=RUN_LIMIT):
        """Waits until folders() holds as many messages in each folder as expected says (a
        client may still be moving them), and returns them as {Message-ID: [(folder, stored)]}."""
        want = {folder: 0 for folder in ("Inbox", "S25R", "Suspect")}
        for _, folder in expected.values():
            want[folder] += 1

        def held():
            now = folders()
            return {folder: len(messages) for folder, messages in now.items()} == want and now
        try:
            now = e2e.wait_until(held, "every message in its folder", timeout)
        except RuntimeError:
            now = folders()
        got = {}
        for folder, messages in now.items():
            for stored in messages:
                got.setdefault(message_id(stored), []).append((folder, stored))
        return got

    def check_sorted(self, test, got, expected, unstore):
        """Every message once, in its folder, as expected once unstore() undid the client's
        storage changes."""
        test.assertEqual(sorted(got), sorted(expected))
        for key, (lines, folder) in expected.items():
            test.assertEqual([f for f, _ in got[key]], [folder], key)
            test.assertEqual(unstore(got[key][0][1]), lines, key)

    def took_nothing(self, test, seen):
        """The session after the first seen log lines logged in, listed and retrieved nothing."""
        said = self.logged_in(seen)
        test.assertIn("C->P    UIDL", said)
        test.assertNotIn("C->P    RETR", said)
        test.assertNotIn("C->P    TOP", said)


class ClientTestCase(e2e.PeersTestCase):
    """A desktop client's tests: the peers and a private X server for the class, and check(port
    setting) once for STARTTLS on ListeningPort and once for the TLS port, each timed."""

    NAME, STARTTLS, TLS = "", None, None  # the client's name and its two settings

    @classmethod
    def start_peers(cls):
        cls.peers_ = Peers(cls.peers)
        cls.display = cls.peers.enter_context(e2e.Display())

    def timed(self, security):
        started = time.monotonic()
        self.check(security)
        print(f"{self.NAME}, {security}: {time.monotonic() - started:.1f} s")

    def test_starttls(self):
        self.timed(self.STARTTLS)

    def test_tls_port(self):
        self.timed(self.TLS)
