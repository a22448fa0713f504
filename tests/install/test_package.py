#!/usr/bin/env python3
"""The Debian package that `make deb` makes, built by CPack from the binaries of this build.

Run by ctest (registered in dist/CMakeLists.txt) as three tests that share one package:
    test_package.py build      makes it in QUILLBOX_PACKAGE_DIR
    test_package.py            its control fields and file list, and the installed-file checks of
                               test_install.py on its unpacked content
    test_package.py lintian    lintian finds no errors, warnings or unexplained remarks
Each ends as skipped (status 77) where a Debian tool it needs is missing.
"""

import glob
import gzip
import os
import re
import shutil
import subprocess
import sys
import unittest

import test_install

PACKAGE_DIR = os.environ["QUILLBOX_PACKAGE_DIR"]
SKIP = 77  # the exit status ctest reports as "skipped"


def require(*tools):
    missing = [tool for tool in tools if not shutil.which(tool)]
    if missing:
        print(f"skipped: not installed here: {', '.join(missing)} (scripts/bootstrap installs it)")
        raise SystemExit(SKIP)


def run(command):
    return subprocess.run(command, capture_output=True, text=True, timeout=300)


def package():
    found = glob.glob(os.path.join(PACKAGE_DIR, "quillbox_*.deb"))
    if len(found) != 1:
        raise AssertionError(f"expected one package in {PACKAGE_DIR}, found {found}")
    return found[0]


def build():
    shutil.rmtree(PACKAGE_DIR, ignore_errors=True)
    result = run(["cpack", "-G", "DEB", "-B", PACKAGE_DIR,
                  "--config", os.path.join(test_install.BUILD, "CPackConfig.cmake")])
    print(result.stdout + result.stderr)
    return result.returncode


def lintian():
    # Remarks (I:) that are justified are overridden in dist/deb/quillbox.lintian-overrides.
    result = run(["lintian", "--display-info", "--fail-on", "error,warning,info", package()])
    print(result.stdout + result.stderr)
    return result.returncode


class PackageTest(test_install.InstallTest):
    prefix = "/usr"
    man_page_suffix = ".gz"

    @classmethod
    def stage(cls, destdir):
        result = run(["dpkg-deb", "-x", package(), destdir])
        if result.returncode != 0:
            raise AssertionError("dpkg-deb -x failed:\n" + result.stdout + result.stderr)

    @classmethod
    def expected_files(cls):
        doc = os.path.join(cls.prefix, "share", "doc", "quillbox")
        return super().expected_files() | {
            os.path.join(doc, "copyright"), os.path.join(doc, "changelog.gz"),
            os.path.join(cls.prefix, "share", "lintian", "overrides", "quillbox")}

    def test_control_fields_name_the_package_and_its_libraries(self):
        control = run(["dpkg-deb", "--field", package()]).stdout
        fields = dict(re.findall(r"^(\S+): (.*(?:\n .*)*)", control, re.MULTILINE))
        architecture = run(["dpkg", "--print-architecture"]).stdout.strip()
        self.assertEqual({key: fields.get(key) for key in
                          ("Package", "Version", "Section", "Priority", "Architecture")},
                         {"Package": "quillbox", "Version": test_install.VERSION,
                          "Section": "mail", "Priority": "optional",
                          "Architecture": architecture})
        summary, *description = fields["Description"].split("\n")
        self.assertTrue(summary and len(summary) <= 80, summary)
        self.assertGreater(len(description), 3)
        self.assertIn("@", fields["Maintainer"])
        # Computed from the binaries, so each names the version its symbols need.
        depends = dict(re.fullmatch(r"\s*(\S+) \((.+)\)\s*", d).groups()
                       for d in fields["Depends"].split(","))
        libraries = {"libc6", "libstdc++6", "libpcre2-8-0", "libssl3"}
        if "quillbox" in test_install.PROGRAMS:
            libraries |= {"libqt6core6", "libqt6gui6", "libqt6widgets6"}
        self.assertLessEqual(libraries, set(depends), fields["Depends"])

    def test_files_belong_to_root_and_only_programs_are_executable(self):
        listing = run(["dpkg-deb", "--contents", package()]).stdout.splitlines()
        programs = {self.installed("BINDIR", p) for p in test_install.PROGRAMS}
        self.assertTrue(listing)
        for line in listing:
            mode, owner, _, _, _, path = line.split(maxsplit=5)
            path = path[1:].rstrip("/")
            with self.subTest(path):
                self.assertEqual(owner, "root/root")
                self.assertRegex(path, r"^/usr(/|$)")
                expected = ("drwxr-xr-x" if mode.startswith("d") else
                            "-rwxr-xr-x" if path in programs else "-rw-r--r--")
                self.assertEqual(mode, expected)

    def test_changelog_names_this_version(self):
        changelog = self.staged(os.path.join(self.prefix, "share/doc/quillbox/changelog.gz"))
        with gzip.open(changelog, "rt", encoding="utf-8") as f:
            first = f.readline()
        self.assertRegex(first, rf"^quillbox \({re.escape(test_install.VERSION)}\) ")


if __name__ == "__main__":
    step = sys.argv[1] if len(sys.argv) > 1 else "check"
    if step == "build":
        require("dpkg-deb", "dpkg-shlibdeps")
        sys.exit(build())
    require("dpkg-deb")
    if step == "lintian":
        require("lintian")
        sys.exit(lintian())
    unittest.main(verbosity=2)
