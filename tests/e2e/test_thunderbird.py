"""Thunderbird through quillboxd, as the README's "Thunderbird" section sets it up: a POP3 account
for localhost with the login name as it is, STARTTLS on ListeningPort or SSL/TLS on the TLS port,
Quillbox's certificate imported as an authority, X-Quillbox-Status added as a custom header and
the two filters (S25R..., everything else but Normal). Every message lands once, in the folder
its verdict says, equal to Dovecot's copy plus the four lines apart from what Thunderbird's mbox
storage changes (LF line ends, its X-Account-Key, X-UIDL and X-Mozilla-* lines on top, body
lines that begin "From " written as ">From "); "Get Messages" again takes nothing; told to trust
nothing, it takes nothing and never sends the password.

The preferences are the ones Account Settings writes (user.js); the filters are the file the
filter dialog writes (msgFilterRules.dat) for the README's filter steps, read from the README.
Through Marionette the password goes into the login manager, the certificate is imported as the
Authorities tab imports it, and "Get Messages" is pressed for the account and waited for."""

import json
import os
import re
import socket
import subprocess
import unittest
import urllib.parse

import desktop_mail as dm
import quillbox_e2e as e2e
from quillbox_e2e import write

STARTTLS, TLS = 2, 3  # mail.server.*.socketType
DELETED = 0x0008  # X-Mozilla-Status: expunged, what a filter's move leaves in Inbox


def readme_filters(uri):
    """msgFilterRules.dat as the filter dialog writes it for the README's filters: each one's
    name, its conditions ("`X-Quillbox-Status` · begins with · `S25R`", all of which must hold)
    and the folder it moves to."""
    section = dm.readme("### Thunderbird")
    lines = ['version="9"', 'logging="no"']
    for part in re.split(r"^\d\. ", section, flags=re.M)[1:]:
        name = re.search(r"[Ff]ilter name `([^`]+)`", part).group(1)
        conditions = re.findall(r"`(X-Quillbox-Status)`\s+·\s+([a-z' ]+?)\s+·\s+`([^`]+)`", part)
        folder = re.search(r"Move Message to → (\w+)", part).group(1)
        lines += [f'name="{name}"', 'enabled="yes"', 'type="17"', 'action="Move to folder"',
                  f'actionValue="{uri}/{folder}"', 'condition="' + " ".join(
                      f'AND (\\"{header}\\",{op},{value})' for header, op, value in conditions)
                  + '"']
    return "".join(line + "\n" for line in lines)


QUIET = {  # a first start without questions, updates or reports
    "mail.shell.checkDefaultClient": False, "mailnews.start_page.enabled": False,
    "mail.rights.override": True, "datareporting.policy.dataSubmissionEnabled": False,
    "toolkit.telemetry.reportingpolicy.firstRun": False, "app.update.auto": False,
    "mail.provider.enabled": False, "marionette.port": 0,
}

SERVER = """
const { MailServices } = ChromeUtils.importESModule("resource:///modules/MailServices.sys.mjs");
const server = MailServices.accounts.getIncomingServer("server1");
"""

GET_MESSAGES = SERVER + """
const [done] = arguments;
const inbox = server.rootFolder.getFolderWithFlags(Ci.nsMsgFolderFlags.Inbox);
server.getNewMessages(inbox, null, {
  OnStartRunningUrl() {},
  OnStopRunningUrl(url, status) { done(status); },
  QueryInterface: ChromeUtils.generateQI(["nsIUrlListener"]),
});
"""

# What Settings, Certificates, Authorities, Import... does with the file, "identify websites"
# ticked.
TRUST = """
const [pem, done] = arguments;
const base64 = pem.replace(/-----[^-]*-----|\\s/g, "");
Cc["@mozilla.org/security/x509certdb;1"].getService(Ci.nsIX509CertDB)
  .addCertFromBase64(base64, "C,,");
done(true);
"""

SET_PORT = SERVER + """
const [port, done] = arguments;
server.port = port;
done(true);
"""

ADD_LOGIN = """
const [user, password, done] = arguments;
const login = Cc["@mozilla.org/login-manager/loginInfo;1"].createInstance(Ci.nsILoginInfo);
login.init("mailbox://localhost", null, "mailbox://localhost", user, password, "", "");
Services.logins.addLoginAsync(login).then(() => done(true));
"""


class Marionette:
    """Thunderbird's remote protocol: length-prefixed JSON over TCP."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=dm.RUN_LIMIT)
        self.id = 0
        self._read()  # the greeting
        self.call("WebDriver:NewSession", {})
        self.call("Marionette:SetContext", {"value": "chrome"})

    def _read(self):
        length = b""
        while not length.endswith(b":"):
            length += self._receive(1)
        data, size = b"", int(length[:-1])
        while len(data) < size:
            data += self._receive(size - len(data))
        return json.loads(data)

    def _receive(self, size):
        data = self.socket.recv(size)
        if not data:
            raise RuntimeError("Thunderbird closed its Marionette connection")
        return data

    def call(self, command, params):
        self.id += 1
        data = json.dumps([0, self.id, command, params]).encode()
        self.socket.sendall(str(len(data)).encode() + b":" + data)
        _, _, error, result = self._read()
        if error:
            raise RuntimeError(f"{command}: {error}")
        return result

    def run(self, script, *args):
        return self.call("WebDriver:ExecuteAsyncScript",
                         {"script": script, "args": list(args),
                          "scriptTimeout": dm.RUN_LIMIT * 1000})["value"]

    def close(self):
        self.socket.close()


class Thunderbird(e2e.Peer):
    """Thunderbird with a profile of its own: one POP3 account on quillboxd and Local Folders."""

    def __init__(self, peers, display, security, port):
        self.root = e2e.scratch_folder("quillbox-thunderbird-")
        self.peers, self.display = peers, display
        self.profile = os.path.join(self.root, "profile")
        self.mail = os.path.join(self.profile, "Mail", "quillbox")
        os.makedirs(self.mail)
        prefs = {**QUIET,
                 "mail.accountmanager.accounts": "account1,account2",
                 "mail.accountmanager.defaultaccount": "account1",
                 "mail.accountmanager.localfoldersserver": "server2",
                 "mail.account.account1.server": "server1",
                 "mail.account.account1.identities": "id1",
                 "mail.account.account2.server": "server2",
                 "mail.identity.id1.useremail": "alice@example.net",
                 "mail.server.server1.type": "pop3",
                 "mail.server.server1.hostname": "localhost",
                 "mail.server.server1.port": port,
                 "mail.server.server1.socketType": security,
                 "mail.server.server1.authMethod": 3,  # normal password
                 "mail.server.server1.userName": peers.login,
                 "mail.server.server1.name": "Quillbox",
                 "mail.server.server1.directory": self.mail,
                 "mail.server.server1.leave_on_server": True,
                 "mail.server.server1.download_on_biff": True,
                 "mail.server.server1.login_at_startup": False,
                 "mail.server.server2.type": "none",
                 "mail.server.server2.hostname": "Local Folders",
                 "mail.server.server2.userName": "nobody",
                 "mail.server.server2.directory": os.path.join(self.profile, "Mail", "local"),
                 "mailnews.customHeaders": "X-Quillbox-Status"}
        write(os.path.join(self.profile, "user.js"), "".join(
            f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in prefs.items()))
        uri = "mailbox://" + urllib.parse.quote(peers.login, safe="") + "@localhost"
        write(os.path.join(self.mail, "msgFilterRules.dat"), readme_filters(uri))
        for folder in ("Inbox", "S25R", "Suspect"):
            write(os.path.join(self.mail, folder), "")

    def start(self):
        self.errors = open(os.path.join(self.root, "output"), "w+b")
        self.process = subprocess.Popen(
            ["thunderbird", "--profile", self.profile, "--no-remote", "--marionette",
             "-remote-allow-system-access"], stdout=self.errors, stderr=subprocess.STDOUT,
            env={**os.environ, "HOME": self.root, "DISPLAY": self.display.name},
            start_new_session=True)
        active = os.path.join(self.profile, "MarionetteActivePort")
        port = e2e.wait_until(lambda: os.path.exists(active) and read(active).strip(),
                              "Thunderbird's Marionette port", dm.RUN_LIMIT, self.process,
                              self.errors_text)
        self.marionette = Marionette(int(port))
        self.marionette.run(ADD_LOGIN, self.peers.login, dm.PASSWORD)
        return self

    def trust(self):
        """Imports Quillbox's certificate as an authority."""
        self.marionette.run(TRUST, read(self.peers.proxy.certificate))

    def set_port(self, port):
        """Account Settings, Server Settings, Port."""
        self.marionette.run(SET_PORT, port)

    def get_messages(self):
        """Presses "Get Messages" for the account; returns the status it ended with."""
        return self.marionette.run(GET_MESSAGES)

    def folders(self):
        """The messages in each of the account's folders, as stored, moved ones left out."""
        out = {}
        for folder in ("Inbox", "S25R", "Suspect"):
            with open(os.path.join(self.mail, folder), "rb") as f:
                text = f.read()
            # Thunderbird ends each message with an empty line of its own, CR LF.
            out[folder] = [m for m in text.removesuffix(b"\r\n").split(b"\r\nFrom - ")
                           if m and not stored_status(m) & DELETED]
        return out

    def stop_process(self):
        if self.process and self.process.poll() is None:
            try:
                self.marionette.call("Marionette:Quit", {"flags": ["eForceQuit"]})
                self.process.wait(timeout=e2e.WAIT)
            except (AttributeError, OSError, RuntimeError, subprocess.TimeoutExpired):
                os.killpg(self.process.pid, 9)
                self.process.wait(timeout=e2e.WAIT)
        if getattr(self, "marionette", None):
            self.marionette.close()
        if getattr(self, "errors", None):
            self.errors.close()


def read(path):
    with open(path) as f:
        return f.read()


def stored_status(message):
    for line in message.split(b"\n", 8):
        if line.startswith(b"X-Mozilla-Status: "):
            return int(line.split()[1], 16)
    raise AssertionError(f"no X-Mozilla-Status in {message[:300]!r}")


def as_delivered(stored):
    """A message as Thunderbird stored it, with its storage changes undone: the separator line,
    the lines it adds on top, the ">" before body lines that begin "From "."""
    lines = stored.split(b"\n")[1:]
    while lines[0].split(b":")[0] in (b"X-Account-Key", b"X-UIDL", b"X-Mozilla-Status",
                                      b"X-Mozilla-Status2", b"X-Mozilla-Keys"):
        lines.pop(0)
    last = lines.pop()
    if last != b"":
        raise AssertionError(f"a message stored without its last line end: {last!r}")
    return [line[1:] if line.startswith(b">From ") else line for line in lines]


class ThunderbirdTest(dm.ClientTestCase):
    NAME, STARTTLS, TLS = "Thunderbird, socketType", STARTTLS, TLS

    def check(self, security):
        peers = self.peers_
        expected = peers.fill()
        port = peers.proxy.port if security == STARTTLS else peers.proxy.tls_port
        with Thunderbird(peers, self.display, security, port) as client:
            peers.untrusting(self, lambda relay: self.untrusted(client, relay), port)
            client.set_port(port)
            client.trust()
            seen = len(peers.proxy.log())
            self.assertEqual(client.get_messages(), 0, client.errors_text()[-2000:])
            self.assertIn("C->P    RETR", peers.logged_in(seen, client))
            peers.check_sorted(self, peers.sorted_in(client.folders, expected, e2e.WAIT), expected,
                               as_delivered)
            seen, before = len(peers.proxy.log()), client.folders()
            self.assertEqual(client.get_messages(), 0)
            peers.took_nothing(self, seen)
            self.assertEqual(client.folders(), before)
        self.assertEqual(peers.dovecot.count("alice"), len(expected))

    def untrusted(self, client, port):
        client.set_port(port)
        self.assertNotEqual(client.get_messages(), 0)
        self.assertEqual(client.folders(), {"Inbox": [], "S25R": [], "Suspect": []})



if __name__ == "__main__":
    e2e.require_real_servers("thunderbird", "Xvfb")
    unittest.main(verbosity=2)
