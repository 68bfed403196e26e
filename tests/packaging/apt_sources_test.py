#!/usr/bin/env python3
"""scripts/apt-source-lines.py on sample apt configurations: both source
formats, options, several suites and components, keys held inline, and what
must be left out. The mirror names are made up (example.net)."""
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "apt-source-lines.py")


class AptSourceLines(unittest.TestCase):
    def derive(self, files, suite=None):
        with tempfile.TemporaryDirectory() as root:
            for name, text in files.items():
                path = os.path.join(root, "etc", "apt", name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as f:
                    f.write(text)
            keys = os.path.join(root, "keys")
            command = [sys.executable, SCRIPT, "--root", root, "--keys-dir", keys]
            if suite:
                command += ["--suite", suite]
            out = subprocess.run(command, capture_output=True, text=True, check=True).stdout.splitlines()
            key_files = {}
            for name in sorted(os.listdir(keys)) if os.path.isdir(keys) else []:
                with open(os.path.join(keys, name)) as f:
                    key_files[name] = f.read()
            return [line.replace(keys, "KEYS") for line in out], key_files

    def test_one_line_format_keeps_options_suites_and_components(self):
        lines, _ = self.derive({"sources.list": (
            "# the machine's mirror\n"
            "deb [arch=amd64 signed-by=/usr/share/keyrings/a.gpg] http://mirror.example.net/debian bookworm main contrib non-free-firmware\n"
            "deb-src http://mirror.example.net/debian bookworm main\n"
            "deb http://proxy.example.net:3142/debian-security bookworm-security main # security\n"
            "\n"
            "deb [arch=amd64 signed-by=/usr/share/keyrings/a.gpg] http://mirror.example.net/debian bookworm main contrib non-free-firmware\n"),
            "sources.list.d/extra.list": "deb file:/srv/local-repo ./\n",
            "sources.list.d/old.list.disabled": "deb http://old.example.net/debian bookworm main\n"})
        self.assertEqual(lines, [
            "deb-src [arch=amd64 signed-by=/usr/share/keyrings/a.gpg] http://mirror.example.net/debian bookworm main contrib non-free-firmware",
            "deb-src http://proxy.example.net:3142/debian-security bookworm-security main",
            "deb-src file:/srv/local-repo ./",
        ])

    def test_deb822_format_crosses_uris_and_suites(self):
        lines, keys = self.derive({"sources.list.d/debian.sources": (
            "Types: deb deb-src\n"
            "# a comment inside the stanza\n"
            "URIs: http://mirror.example.net/debian http://backup.example.net/debian\n"
            "Suites: bookworm bookworm-updates\n"
            "Components: main contrib\n"
            "Signed-By: /usr/share/keyrings/a.gpg\n"
            "Architectures: amd64 arm64\n"
            "\n"
            "Types: deb-src\n"
            "URIs: http://sources-only.example.net/debian\n"
            "Suites: bookworm\n"
            "Components: main\n"
            "\n"
            "Types: deb\n"
            "URIs: http://off.example.net/debian\n"
            "Suites: bookworm\n"
            "Components: main\n"
            "Enabled: no\n"
            "\n"
            "Types: deb\n"
            "URIs: http://inline.example.net/debian\n"
            "Suites: stable\n"
            "Components: main\n"
            "Signed-By:\n"
            " -----BEGIN PGP PUBLIC KEY BLOCK-----\n"
            " .\n"
            " mQINBF\n"
            " -----END PGP PUBLIC KEY BLOCK-----\n")})
        options = "[signed-by=/usr/share/keyrings/a.gpg arch=amd64,arm64]"
        self.assertEqual(lines, [
            f"deb-src {options} http://mirror.example.net/debian bookworm main contrib",
            f"deb-src {options} http://mirror.example.net/debian bookworm-updates main contrib",
            f"deb-src {options} http://backup.example.net/debian bookworm main contrib",
            f"deb-src {options} http://backup.example.net/debian bookworm-updates main contrib",
            "deb-src [signed-by=KEYS/debian-3.asc] http://inline.example.net/debian stable main",
        ])
        self.assertEqual(keys, {"debian-3.asc": "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\nmQINBF\n-----END PGP PUBLIC KEY BLOCK-----\n"})

    def test_suite_option_keeps_only_the_release_suite_and_replaces_it(self):
        lines, _ = self.derive({
            "../os-release": 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nVERSION_CODENAME=bookworm\nID=debian\n',
            "sources.list": (
                "deb [arch=amd64] http://mirror.example.net/debian bookworm main contrib\n"
                "deb http://mirror.example.net/debian bookworm-updates main\n"
                "deb http://mirror.example.net/debian-security bookworm-security main\n"
                "deb http://vendor.example.net/apt cloud-sdk-bookworm main\n"),
            "sources.list.d/debian.sources": (
                "Types: deb\n"
                "URIs: http://proxy.example.net:3142/debian\n"
                "Suites: bookworm bookworm-backports\n"
                "Components: main\n"
                "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n"
                "\n"
                "Types: deb\n"
                "URIs: http://vendor.example.net/node\n"
                "Suites: nodistro\n"
                "Components: main\n")}, suite="trixie")
        self.assertEqual(lines, [
            "deb-src [arch=amd64] http://mirror.example.net/debian trixie main contrib",
            "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://proxy.example.net:3142/debian trixie main",
        ])

    def test_suite_option_without_a_release_name_gives_no_line(self):
        lines, _ = self.derive({"sources.list": "deb http://mirror.example.net/debian bookworm main\n"}, suite="trixie")
        self.assertEqual(lines, [])

    def test_no_package_source_gives_no_line(self):
        lines, _ = self.derive({"sources.list": "# nothing here\n"})
        self.assertEqual(lines, [])


if __name__ == "__main__":
    unittest.main()
