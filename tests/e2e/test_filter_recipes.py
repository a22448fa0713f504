"""The README's filter recipes for a local mail system, each as the README's block gives it:
procmail, maildrop and Sieve run by Dovecot's LDA, on the messages quillboxd delivers from the
desktop tests' mailbox (two of each status, with forged status lines and a forged lower
Received: line among them, taken with RETR as fetchmail would hand them on). Each message lands
once, in the Maildir folder its status says. As root both procmail and maildrop take $HOME from
the password database, so the test writes its own folder for $HOME into their recipes; the LDA
runs as the mailbox's owner with HOME set, as it does for a real user."""

import os
import poplib
import shutil
import subprocess
import unittest

import desktop_mail as dm
import quillbox_e2e as e2e
from quillbox_e2e import message_id, write

LDA = "/usr/lib/dovecot/dovecot-lda"
FOLDERS = {"Inbox": "new", "S25R": ".S25R/new", "Suspect": ".Suspect/new"}
LDA_CONF = """protocols =
ssl = no
log_path = /dev/stderr
mail_location = maildir:~/Maildir
protocol lda {
  mail_plugins = sieve
}
plugin {
  sieve = file:~/sieve;active=~/.dovecot.sieve
}
"""


def run(argv, data, **kwargs):
    result = subprocess.run(argv, input=data, capture_output=True, timeout=e2e.WAIT, **kwargs)
    if result.returncode:
        raise AssertionError(f"{argv[0]}: {result.returncode} {result.stderr[-2000:]!r}")


def procmail(home, data):
    rc = write(os.path.join(home, ".procmailrc"),
               dm.readme_block("procmail", "X-Quillbox-Status").replace("$HOME", home))
    run(["procmail", "-m", rc], data)


def maildrop(home, data):
    for folder in ("S25R", "Suspect"):
        if not os.path.isdir(os.path.join(home, "Maildir", "." + folder)):
            subprocess.run(["maildirmake", "-f", folder, os.path.join(home, "Maildir")],
                           check=True, timeout=e2e.WAIT)
    rc = write(os.path.join(home, ".mailfilter"),
               dm.readme_block("maildrop", "X-Quillbox-Status").replace("$HOME", home))
    run(["maildrop", rc], data)


def sieve(home, data):
    write(os.path.join(home, ".dovecot.sieve"), dm.readme_block("sieve", "X-Quillbox-Status"),
          0o644)
    conf = write(os.path.join(home, "lda.conf"), LDA_CONF, 0o644)
    for dirpath, _, names in os.walk(home):
        for name in [".", *names]:
            os.chown(os.path.join(dirpath, name), e2e.Dovecot.UID, e2e.Dovecot.UID)
    uid = str(e2e.Dovecot.UID)
    run(["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", LDA, "-c", conf, "-e"],
        data, env={"HOME": home, "USER": "nobody", "PATH": os.environ["PATH"]})


class FilterRecipes(e2e.PeersTestCase):
    @classmethod
    def start_peers(cls):
        peers = dm.Peers(cls.peers)
        cls.root = peers.root
        cls.expected = peers.fill()
        pop = poplib.POP3("127.0.0.1", peers.proxy.port, timeout=e2e.WAIT)
        try:
            pop.user(peers.login)
            pop.pass_(dm.PASSWORD)
            cls.messages = [b"\n".join(pop.retr(n)[1]) + b"\n"
                            for n in range(1, pop.stat()[0] + 1)]
        finally:
            pop.quit()

    def check(self, deliver):
        home = e2e.scratch_folder(f"quillbox-{deliver.__name__}-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        subprocess.run(["maildirmake", os.path.join(home, "Maildir")], check=True,
                       timeout=e2e.WAIT)
        for data in self.messages:
            deliver(home, data)
        got = {}
        for folder, sub in FOLDERS.items():
            path = os.path.join(home, "Maildir", sub)
            for name in os.listdir(path) if os.path.isdir(path) else ():
                with open(os.path.join(path, name), "rb") as f:
                    got.setdefault(message_id(f.read()), []).append(folder)
        self.assertEqual(got, {key: [folder] for key, (_, folder) in self.expected.items()})

    def test_procmail(self):
        self.check(procmail)

    def test_maildrop(self):
        self.check(maildrop)

    def test_sieve(self):
        self.check(sieve)


if __name__ == "__main__":
    e2e.require_real_servers("procmail", "maildrop", "maildirmake", "setpriv", LDA)
    unittest.main(verbosity=2)
