"""quillbox-judge as a user runs it, without lookups (--no-dns): every input kind on one command
line, JSON Lines parsed back, the summary, errors on standard error in one line each and the exit
statuses 0, 1 and 2. The lookups are tested beside the report code and over Dovecot's mailbox in
test_proxy_dovecot."""

import json
import os
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("QUILLBOX_BUILD", "build")
JUDGE = os.path.join(os.path.abspath(BUILD), "apps", "quillbox-judge", "quillbox-judge")
MATCH = r"/\(\S* ?\[(IPv6:)?[0-9a-f:.]+\]\)\s+by mx\.example\.net/i"


def message(sender, subject):
    return (f"Received: from x (y [{sender}])\r\n\tby mx.example.net (Postfix); Wed, 9 Dec 2026\r\n"
            f"Subject: {subject}\r\n\r\nHello\r\n")


class JudgeCommandLine(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="judge-cli-")
        self.rules = self.write("rules.ini", f"[S25R]\nSelectFrom=Top\nMatchString={MATCH}\n")

    def tearDown(self):
        self.folder.cleanup()

    def write(self, name, text):
        path = os.path.join(self.folder.name, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", newline="") as f:
            f.write(text)
        return path

    def judge(self, *args, stdin=""):
        return subprocess.run([JUDGE, *args], input=stdin, capture_output=True, text=True,
                              timeout=30, cwd=self.folder.name)

    def test_every_input_kind_judged_and_written_as_json_lines(self):
        single = self.write("one.eml", message("203.0.113.7", "single"))
        mbox = self.write("saved.mbox", "".join(
            f"From a@example.org Wed Dec  9 10:00:00 2026\n{message(s, s)}\n>From quoted\n\n"
            for s in ("198.51.100.2", "IPv6:2001:DB8::7")))
        self.write("Maildir/new/1.host", message("192.0.2.33", "new"))
        self.write("Maildir/cur/2.host:2,S", "Subject: no Received line\n\n")
        run = self.judge("-r", self.rules, "--no-dns", "--json", "--address", "[IPv6:2001:DB8::1]",
                         single, "-", mbox,
                         os.path.join(self.folder.name, "Maildir"),
                         stdin=message("192.0.2.99", "stdin"))
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        reports = [json.loads(line) for line in run.stdout.splitlines()]
        self.assertEqual([(os.path.basename(r["source"]), r["address"], r["selected"])
                          for r in reports],
                         [("", "2001:db8::1", None), ("one.eml", "203.0.113.7", 1),
                          ("-", "192.0.2.99", 1),
                          ("saved.mbox #1", "198.51.100.2", 1),
                          ("saved.mbox #2", "2001:db8::7", 1), ("1.host", "192.0.2.33", 1),
                          ("2.host:2,S", None, None)])
        unknown = reports[-1]
        self.assertEqual(unknown["status"], "Unknown")
        self.assertEqual(unknown["annotation"][-1], "X-Quillbox-Status: Unknown")
        self.assertEqual([w["kind"] for w in unknown["warnings"]], ["nothing-selected"])
        self.assertIsNone(reports[1]["status"])  # not looked up
        self.assertTrue(reports[1]["received"][0].startswith("Received: from x (y [203.0.113.7])"
                                                            " by mx.example.net"))

    def test_summary_counts_statuses_and_warnings(self):
        mbox = self.write("m", "".join(f"From a Wed Dec  9 10:00:00 2026\n{message(s, s)}\n"
                                       for s in ("127.0.0.1", "8.8.8.8", "1.2.3")))
        run = self.judge("-r", self.rules, "--no-dns", mbox)
        self.assertEqual(run.returncode, 0, run.stderr)
        summary = run.stdout[run.stdout.index("Summary of 3 messages"):].splitlines()
        self.assertIn("  2  not looked up", summary)
        self.assertIn("  1  Unknown", summary)
        self.assertIn("  1  special-address", summary)
        self.assertIn("  1  nothing-selected", summary)
        self.assertIn("Warning: the sender's address 127.0.0.1 is a loopback address", run.stdout)

    def test_exit_statuses_and_one_line_errors(self):
        good = self.write("good.eml", message("203.0.113.7", "good"))
        cases = [
            ("a missing file", ["--no-dns", "missing.eml"], 1,
             "missing.eml cannot be read: No such file or directory."),
            ("no message", ["--no-dns", self.write("pic", "\x89PNG\n")], 1,
             "is no message: its first line is no header field."),
            ("a bad address", ["--no-dns", "--address", "1.2.3.4.5"], 1,
             "--address 1.2.3.4.5 is no IPv4 or IPv6 address."),
            ("an address with more", ["--no-dns", "--address", "1.2.3.4 x"], 1,
             "--address 1.2.3.4 x is no IPv4 or IPv6 address."),
            ("an invalid SelectFrom", ["-r", self.write("s.ini", "[S25R]\nSelectFrom=Up\n"),
                                       "--no-dns", good], 2,
             "the proxy would answer -ERR SelectFrom=Up in section [S25R] of the rule file is not "
             "valid; use Bottom or Top."),
            ("an invalid MatchString", ["-r", self.write("m.ini", "[S25R]\nMatchString=/(/\n"),
                                        "--no-dns", good], 2,
             "the proxy would answer -ERR missing closing parenthesis at offset 1"),
            ("a missing rule file", ["-r", "nowhere.ini", "--no-dns", good], 2,
             "-ERR Config file \"nowhere.ini\" is not existed."),
            ("a missing rules file", ["-R", "nowhere.txt", "--no-dns", good], 2,
             "nowhere.txt cannot be read: it does not exist."),
            ("an unknown option", ["--frobnicate", good], 2, "unknown option --frobnicate"),
        ]
        for name, args, status, error in cases:
            with self.subTest(name):
                run = self.judge(*args)
                self.assertEqual(run.returncode, status, run.stderr)
                first = run.stderr.splitlines()[0]
                self.assertTrue(first.startswith("quillbox-judge: "), first)
                self.assertIn(error, first)
        # A message judged after an input that failed still counts: exit 1, the report written.
        run = self.judge("-r", self.rules, "--no-dns", "missing.eml", good)
        self.assertEqual(run.returncode, 1)
        self.assertIn("Sender address: 203.0.113.7", run.stdout)
        self.assertEqual(len(run.stderr.splitlines()), 1)

    def test_suggestion_printed_and_usable_as_a_rule_file(self):
        sample = self.write("sample.eml",
                            "Received: from localhost (localhost [127.0.0.1]) by mx1.example.ne.jp"
                            " (Postfix)\nReceived: from h (mail.example.org [198.51.100.20]) by "
                            "mx1.example.ne.jp (Postfix)\nSubject: s\n\n")
        run = self.judge("--suggest", sample)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout.startswith("[S25R]\nSelectFrom=Top\nMatchString=/"))
        rules = self.write("suggested.ini", run.stdout)
        run = self.judge("-r", rules, "--no-dns", "--json", sample)
        self.assertEqual(json.loads(run.stdout)["address"], "198.51.100.20")
        run = self.judge("--suggest", self.write("own.eml", "Received: from localhost "
                                                 "(localhost [127.0.0.1]) by mx.example.net\n\n"))
        self.assertEqual(run.returncode, 1)
        self.assertIn("no Received: line names a host outside the provider", run.stdout)


if __name__ == "__main__":
    unittest.main()
