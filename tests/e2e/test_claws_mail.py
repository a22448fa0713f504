"""Claws Mail through quillboxd, as the README's "Claws Mail" section sets it up: a POP3 account for
localhost with the login name as it is, STARTTLS on ListeningPort or SSL/TLS on the TLS port,
"Leave messages on server", "Filter messages on receiving", and the two filters of the filter
dialog (S25R..., everything else but Normal). Every message lands once, in the folder its
verdict says, byte for byte Dovecot's copy plus the four lines apart from its MH storage's LF
line ends (it adds nothing); "Receive all" again takes nothing. Before its certificate is
trusted it asks ("TLS certificate is unknown") after the handshake, and sends no login name or
password while it waits.

Its settings are the files its dialogs write (accountrc, passwordstorerc, matcherrc,
folderlist.xml); "Accept and save" in the certificate dialog stores the certificate as DER in
certs/HOST.PORT.cert, which the test writes itself after the dialog was seen."""

import os
import ssl
import subprocess
import unittest

import desktop_mail as dm
import quillbox_e2e as e2e
from quillbox_e2e import write

STARTTLS, TLS = "ssl_pop=2", "ssl_pop=1"
FOLDERS = ("inbox", "S25R", "Suspect")
STORED = {"inbox": "Inbox", "S25R": "S25R", "Suspect": "Suspect"}

FOLDERLIST = """<?xml version="1.0" encoding="UTF-8"?>
<folderlist>
<folder type="mh" name="Mailbox" path="{mail}" sort="0" collapsed="0">
<folderitem type="inbox" name="inbox" path="inbox"/>
<folderitem type="outbox" name="sent" path="sent"/>
<folderitem type="queue" name="queue" path="queue"/>
<folderitem type="draft" name="draft" path="draft"/>
<folderitem type="trash" name="trash" path="trash"/>
<folderitem type="normal" name="S25R" path="S25R"/>
<folderitem type="normal" name="Suspect" path="Suspect"/>
</folder>
</folderlist>
"""


class ClawsMail(e2e.Peer):
    """Claws Mail with a configuration folder and a home of its own."""

    def __init__(self, peers, display, security):
        self.root = e2e.scratch_folder("quillbox-claws-")
        self.peers, self.display, self.security = peers, display, security
        self.port = peers.proxy.port if security == STARTTLS else peers.proxy.tls_port
        self.config = os.path.join(self.root, "config")
        self.mail = os.path.join(self.root, "Mail")
        for folder in ("sent", "queue", "draft", "trash", *FOLDERS):
            os.makedirs(os.path.join(self.mail, folder))
        os.makedirs(os.path.join(self.config, "certs"))
        self.account(self.port)
        write(os.path.join(self.config, "passwordstorerc"), f"[account:1]\nrecv {dm.PASSWORD}\n")
        write(os.path.join(self.config, "folderlist.xml"), FOLDERLIST.format(mail=self.mail))
        rules = dm.readme_block("text", "#mh/Mailbox/S25R")
        write(os.path.join(self.config, "matcherrc"),
              "[preglobal]\n\n[postglobal]\n\n[filtering]\n" + rules)

    def account(self, port):
        """Account Preferences: Receive (POP), SSL/TLS, Advanced (the port)."""
        write(os.path.join(self.config, "accountrc"), f"""[Account: 1]
account_name=Quillbox
is_default=1
name=Alice
address=alice@example.net
protocol=0
receive_server=localhost
user_id={self.peers.login}
use_pop_auth=0
remove_mail=0
filter_on_receive=1
receive_at_get_all=1
inbox=#mh/Mailbox/inbox
{self.security}
set_popport=1
pop_port={port}
account_id=1
""")

    def start(self):
        self.errors = open(os.path.join(self.root, "output"), "w+b")
        return self

    def receive(self):
        """Starts it with "Receive all"."""
        self.process = self.claws("--receive-all", start_new_session=True)

    def claws(self, *args, **kwargs):
        return subprocess.Popen(
            ["claws-mail", "--alternate-config-dir", self.config, *args],
            stdout=self.errors, stderr=subprocess.STDOUT, **kwargs,
            env={**os.environ, "HOME": self.root, "DISPLAY": self.display.name})

    def receive_all(self):
        """"Receive all" once more, handed to the running instance."""
        self.claws("--receive-all").wait(timeout=e2e.WAIT)

    def trust(self):
        """What "Accept and save" stores."""
        with open(self.peers.proxy.certificate) as f:
            der = ssl.PEM_cert_to_DER_cert(f.read())
        with open(os.path.join(self.config, "certs", f"localhost.{self.port}.cert"), "wb") as f:
            f.write(der)

    def folders(self):
        out = {}
        for folder in FOLDERS:
            path = os.path.join(self.mail, folder)
            names = sorted((n for n in os.listdir(path) if n.isdigit()), key=int)
            out[STORED[folder]] = []
            for name in names:
                with open(os.path.join(path, name), "rb") as f:
                    out[STORED[folder]].append(f.read())
        return out

    def kill(self):
        os.killpg(self.process.pid, 9)
        self.process.wait(timeout=e2e.WAIT)

    def stop_process(self):
        if self.process and self.process.poll() is None:
            try:
                self.claws("--exit").wait(timeout=e2e.WAIT)
                self.process.wait(timeout=e2e.WAIT)
            except subprocess.TimeoutExpired:
                pass
            if self.process.poll() is None:
                self.kill()
        if self.errors:
            self.errors.close()


def windows(display):
    tree = subprocess.run(["xwininfo", "-display", display.name, "-root", "-tree"],
                          capture_output=True, text=True, timeout=e2e.WAIT).stdout
    return [line.split('"')[1] for line in tree.splitlines() if line.count('"') >= 2]


class ClawsMailTest(dm.ClientTestCase):
    NAME, STARTTLS, TLS = "Claws Mail", STARTTLS, TLS

    def untrusted(self, client, port):
        """Asked whether to trust the certificate, it waits with the handshake done."""
        client.account(port)
        client.receive()
        e2e.wait_until(lambda: "TLS certificate is unknown" in windows(self.display),
                       "the certificate dialog", dm.RUN_LIMIT, client.process, client.errors_text)
        client.kill()
        self.assertEqual(client.folders(), {"Inbox": [], "S25R": [], "Suspect": []})

    def check(self, security):
        peers = self.peers_
        expected = peers.fill()
        with ClawsMail(peers, self.display, security) as client:
            peers.untrusting(self, lambda port: self.untrusted(client, port), client.port)
            client.account(client.port)
            client.trust()
            seen = len(peers.proxy.log())
            client.receive()
            self.assertIn("C->P    RETR", peers.logged_in(seen, client))
            peers.check_sorted(self, peers.sorted_in(client.folders, expected), expected,
                               lambda stored: stored.split(b"\n")[:-1])
            seen, before = len(peers.proxy.log()), client.folders()
            client.receive_all()
            peers.took_nothing(self, seen)
            self.assertEqual(client.folders(), before)
        self.assertEqual(peers.dovecot.count("alice"), len(expected))


if __name__ == "__main__":
    e2e.require_real_servers("claws-mail", "Xvfb", "xwininfo")
    unittest.main(verbosity=2)
