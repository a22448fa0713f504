"""TLS end to end. To the real server: quillboxd logs in to Dovecot over POP3S and over STLS,
verifies the certificate against the system store plus the rule file's CAFile, and refuses what
it must refuse. From the mail client: curl fetches over STLS and over the TLS port, trusting the
certificate quillboxd made. Loopback only, ports the system picks, every wait bounded."""

import os
import poplib
import shutil
import ssl
import subprocess
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dovecot_tls import (Certificates, LogCursor, Pop3Client, RecordingRelay,  # noqa: E402
                         TlsDovecot, body_lines)
from quillbox_e2e import (WAIT, Dovecot, PeersTestCase, Quillboxd, message,  # noqa: E402
                          require_real_servers, scratch_folder)

# No Received: line matches, so no retrieval asks any name service.
RULES = "[QuillboxRules]\nMaxLines=0\n[S25R]\nDNSServer=127.0.0.1\nMatchString=/^X-Never:/\n"
ADDED = [b"X-Quillbox-Sender-IP-Address: Unextracted\r\n",
         b"X-Quillbox-Sender-Hostname: Unresolved\r\n",
         b"X-Quillbox-Lookuped-IP-Address: Unresolved\r\n",
         b"X-Quillbox-Status: Unknown\r\n"]
PASSWORD = "s3cret"


class TlsTest(PeersTestCase):
    @classmethod
    def start_peers(cls):
        cls.certs_folder = scratch_folder("quillbox-certs-")
        cls.peers.callback(shutil.rmtree, cls.certs_folder, ignore_errors=True)
        certs = Certificates(cls.certs_folder)
        cls.ca = certs.ca
        users = {"alice": PASSWORD}
        cls.server = TlsDovecot(users, certs.issue("localhost", "DNS:localhost,IP:127.0.0.1"))
        cls.server.add_message("alice", message("sender.example (sender.example [192.0.2.1])",
                                                "small", body_lines(1, 2000)))
        cls.server.add_message("alice", message("sender.example (sender.example [192.0.2.2])",
                                                "large", body_lines(2, 40000)))
        cls.other_name = TlsDovecot(users, certs.issue("pop.example.test", "DNS:pop.example.test"))
        cls.plain = Dovecot(users)
        for peer in (cls.server, cls.other_name, cls.plain):
            cls.peers.enter_context(peer)
        # No name is looked up: the address of the DNS server does not matter.
        cls.proxy = cls.peers.enter_context(Quillboxd("127.0.0.1", max_connections=8, tls=True))
        cls.tls_port = cls.proxy.tls_port
        shutil.copy(cls.ca, cls.proxy.root)  # for rule files that name it relatively
        cls.log = LogCursor(cls.proxy)

    def login(self, port, rules, host="localhost"):
        """Logs in through quillboxd; returns the client and the reply to PASS."""
        rule_file = self.proxy.rule_file(f"{self.id().split('.')[-1]}.ini", RULES + rules)
        client = Pop3Client(self.proxy.port, timeout=30)
        self.addCleanup(client.close)
        reply = client.login(f"alice#{host}:{port};{rule_file}", PASSWORD)
        return client, reply

    def direct_retrieval(self, number):
        context = ssl.create_default_context(cafile=self.ca)
        pop = poplib.POP3_SSL("localhost", self.server.pop3s_port, context=context, timeout=10)
        try:
            pop.user("alice")
            pop.pass_(PASSWORD)
            _, lines, _ = pop.retr(number)
        finally:
            pop.quit()
        # poplib unstuffs; the proxy's client sees the wire form again.
        return [(b"." + line if line.startswith(b".") else line) + b"\r\n" for line in lines]

    def test_pop3s_and_starttls_retrieve_the_same_bytes_as_a_direct_tls_retrieval(self):
        for security, port in (("TLS", self.server.pop3s_port),
                               ("STARTTLS", self.server.port)):
            with self.subTest(security=security):
                client, reply = self.login(port, f"[Upstream]\nSecurity={security}\nCAFile=ca.crt\n")
                self.assertEqual(reply, "+OK Login OK")
                if security == "STARTTLS":
                    self.log.wait_for("   P->S STLS")
                    self.assertTrue(self.log.wait_for("   P<-S ").startswith("   P<-S +OK"))
                tls = self.log.wait_for("   P    TLS: ")
                self.assertRegex(tls, r"^   P    TLS: TLSv1\.[23], \S+, certificate verified$")
                # USER, PASS and the login's CAPA all run inside TLS.
                self.log.wait_for("   P->S USER alice")
                self.log.wait_for("   P->S CAPA")
                for number in (1, 2):
                    first, lines = client.multiline(f"RETR {number}")
                    self.assertTrue(first.startswith("+OK"), first)
                    expected = self.direct_retrieval(number)
                    blank = expected.index(b"\r\n")
                    self.assertEqual(lines, expected[:blank] + ADDED + expected[blank:])
                self.assertTrue(client.command("QUIT").startswith("+OK"))

    def test_a_mail_client_on_tls_gets_the_same_bytes_as_in_clear(self):
        rule_file = self.proxy.rule_file("client_tls.ini", RULES)
        login = urllib.parse.quote(f"alice#localhost:{self.server.port};{rule_file}", safe="")

        def curl(scheme, port, *args):
            result = subprocess.run(
                ["curl", "-s", "--max-time", str(WAIT), *args,
                 f"{scheme}://{login}:{PASSWORD}@127.0.0.1:{port}/2"],
                capture_output=True, timeout=2 * WAIT)
            self.assertEqual(result.returncode, 0, result.stderr)
            return result.stdout

        in_clear = curl("pop3", self.proxy.port)
        self.assertIn(b"".join(ADDED), in_clear)
        self.assertGreater(len(in_clear), 40000)
        trust = ["--cacert", self.proxy.certificate]
        self.assertEqual(curl("pop3", self.proxy.port, "--ssl-reqd", *trust), in_clear)
        self.assertEqual(curl("pop3s", self.tls_port, *trust), in_clear)
        self.assertRegex(self.log.wait_for("   P    TLS with the client 127.0.0.1:"),
                         r": TLSv1\.3, TLS_")

    def test_certificate_verifies_only_with_the_ca_file(self):
        port = self.server.pop3s_port
        _, reply = self.login(port, "[Upstream]\nSecurity=TLS\n")
        self.assertEqual(
            reply, f"-ERR The certificate of localhost:{port} did not verify: unable to get local "
            "issuer certificate. If you trust this server, save its certificate or its "
            "authority's as a PEM file and name that file with CAFile= in section [Upstream] of "
            "the rule file.")
        self.log.wait_for("C<-P    -ERR The certificate of localhost:")
        for host, rules, checked in (
                ("localhost", f"CAFile={self.ca}\n", "certificate verified"),
                # The address of the login name is checked as an address.
                ("127.0.0.1", f"CAFile={self.ca}\n", "certificate verified"),
                ("localhost", "VerifyCertificate=0\n",
                 "certificate not verified (VerifyCertificate=0)")):
            _, reply = self.login(port, "[Upstream]\nSecurity=TLS\n" + rules, host=host)
            self.assertEqual(reply, "+OK Login OK")
            self.assertTrue(self.log.wait_for("   P    TLS: ").endswith(", " + checked))

    def test_certificate_for_another_name_is_refused(self):
        port = self.other_name.pop3s_port
        _, reply = self.login(port, f"[Upstream]\nSecurity=TLS\nCAFile={self.ca}\n")
        self.assertEqual(
            reply, f"-ERR The certificate of localhost:{port} did not verify: hostname mismatch. "
            "Name the server in the login name as its certificate does.")

    def test_plain_login_to_the_pop3s_port_fails_cleanly(self):
        port = self.server.pop3s_port
        _, reply = self.login(port, "[Upstream]\nSecurity=None\n")
        self.assertEqual(
            reply, f"-ERR No greeting from localhost:{port} within 15 seconds. If the server "
            "expects TLS from the first byte (POP3S, usually port 995), set Security=TLS in "
            "section [Upstream] of the rule file.")

    def test_starttls_to_a_server_without_stls_is_refused_and_nothing_follows_in_clear(self):
        relay = RecordingRelay(self.plain.port)
        self.addCleanup(relay.stop)
        client, reply = self.login(relay.port, "[Upstream]\nSecurity=STARTTLS\n")
        self.assertRegex(reply, rf"^-ERR localhost:{relay.port} does not offer STLS \(it "
                         r"answered \"-ERR .*\"\)\. Use Security=TLS if it has a POP3S port "
                         r"\(usually 995\)\.$")
        self.assertTrue(client.command("QUIT").startswith("+OK"))
        self.log.wait_for("   P    Disconnected")
        self.assertEqual(bytes(relay.sent), b"STLS\r\n")

    def test_the_password_never_travels_before_tls_is_up(self):
        for security, port in (("STARTTLS", self.server.port),
                               ("TLS", self.server.pop3s_port)):
            with self.subTest(security=security):
                relay = RecordingRelay(port)
                self.addCleanup(relay.stop)
                client, reply = self.login(relay.port,
                                           f"[Upstream]\nSecurity={security}\nCAFile=ca.crt\n")
                self.assertEqual(reply, "+OK Login OK")
                self.assertTrue(client.command("QUIT").startswith("+OK"))
                self.log.wait_for("   P    Disconnected")
                sent = bytes(relay.sent)
                self.assertNotIn(PASSWORD.encode(), sent)
                self.assertNotIn(b"PASS", sent)
                self.assertNotIn(b"USER", sent)
                if security == "STARTTLS":
                    self.assertTrue(sent.startswith(b"STLS\r\n\x16\x03"), sent[:16])
                else:
                    self.assertTrue(sent.startswith(b"\x16\x03"), sent[:16])


if __name__ == "__main__":
    require_real_servers()
    unittest.main(verbosity=2)
