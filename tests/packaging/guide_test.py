#!/usr/bin/env python3
"""The documents that travel: the package's VynGina-Guide.txt is made from
docs/admin-guide.md and names no path of the sources; the guide's own links
and vyn-check exit codes hold; README.md stays a short front page with the
two commands and its links to both guides."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))
GUIDE = os.path.join(REPO, "docs", "admin-guide.md")
MAKE_GUIDE = os.path.join(REPO, "packaging", "make-guide.sh")


def read(*parts):
    with open(os.path.join(REPO, *parts), encoding="utf-8") as f:
        return f.read()


def make_guide(source, out, *options):
    return subprocess.run(["bash", MAKE_GUIDE, *options, source, out], capture_output=True, text=True)


def slug(heading):
    # The anchor a Markdown renderer gives a heading: lower case, punctuation
    # dropped, spaces as hyphens.
    return re.sub(r"[^a-z0-9 -]", "", heading.strip().lower()).replace(" ", "-")


def vyn_check_exit_codes():
    # vyn-check's own words and codes, from its two switches, so that the
    # guide's table is checked against the tool and not against a copy.
    source = read("tools", "check", "report.cpp")
    words = dict(re.findall(r'case Verdict::(\w+): return "([a-z-]+)";', source))
    body = source[source.index("int ExitCode("):]
    body = body[:body.index("\n}\n")]
    codes, pending = {}, []
    for case, code in re.findall(r"case Verdict::(\w+):(?:\s*return (\d+);)?", body):
        pending.append(case)
        if code:
            for name in pending:
                codes[words[name]] = int(code)
            pending = []
    return codes


class PackageGuide(unittest.TestCase):
    def test_guide_is_the_admin_guide_with_windows_line_ends(self):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "VynGina-Guide.txt")
            run = make_guide(GUIDE, out)
            self.assertEqual(run.returncode, 0, run.stderr)
            with open(out, "rb") as f:
                text = f.read()
            with open(GUIDE, "rb") as f:
                source = f.read()
            self.assertEqual(text, source.replace(b"\n", b"\r\n"))
            self.assertTrue(text.startswith(b"# VynGina: the administrator's guide\r\n"))
            for needle in (b"tests/", b"scripts/", b".cpp"):
                self.assertNotIn(needle, text)
            self.assertEqual(os.listdir(tmp), ["VynGina-Guide.txt"])

    def test_guides_the_package_must_not_ship_are_refused(self):
        # (name, options, planted line, refused?, the refusal's words)
        rows = [
            ("a test", [], "Measured by tests/e2e/hang_e2e_test.cpp.", True, "names a source path"),
            ("a script", [], "Run scripts/run-demo.sh build --outage to see it.", True, "names a source path"),
            ("a source file", [], "The reader lives in config.cpp.", True, "names a source path"),
            ("a release with a source path", ["--release"], "See scripts/soak.sh.", True, "names a source path"),
            ("a release with a note to fill", ["--release"], "It takes [[PENDING: figure]] s.", True,
             "still holds notes to fill in"),
            ("a test build with a note to fill", [], "It takes [[PENDING: figure]] s.", False, ""),
            ("a release without either", ["--release"], "Restart the machine.", False, ""),
        ]
        for name, options, line, refused, words in rows:
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp:
                source = os.path.join(tmp, "guide.md")
                with open(source, "w", encoding="utf-8") as f:
                    f.write("# Guide\n\nAll is well.\n" + line + "\n")
                out = os.path.join(tmp, "VynGina-Guide.txt")
                run = make_guide(source, out, *options)
                if refused:
                    self.assertNotEqual(run.returncode, 0)
                    self.assertIn(words, run.stderr)
                    self.assertIn("4:" + line, run.stderr)
                    self.assertEqual(sorted(os.listdir(tmp)), ["guide.md"])
                else:
                    self.assertEqual(run.returncode, 0, run.stderr)
                    with open(out, "rb") as f:
                        self.assertEqual(f.read(), ("# Guide\r\n\r\nAll is well.\r\n" + line + "\r\n").encode())


class AdminGuide(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = read("docs", "admin-guide.md")
        cls.headings = re.findall(r"^#{2,3} (.+)$", cls.text, re.M)

    def test_twelve_chapters_in_the_order_of_the_job(self):
        chapters = [h for h in self.headings if re.match(r"\d+\. ", h)]
        self.assertEqual([int(h.split(".")[0]) for h in chapters], list(range(1, 13)))
        self.assertEqual([h.split(". ", 1)[1].split(":")[0] for h in chapters], [
            "What the module does", "Requirements", "The package and how to verify it",
            "Installing one machine", "Installing many machines with Group Policy", "Settings",
            "Before the restart", "Locked out", "Upgrading", "Uninstalling", "The log and the events",
            "Appendix"])

    def test_links_stay_inside_the_guide(self):
        # The text file travels alone: a link may only point at a heading of
        # the guide itself.
        anchors = {slug(h) for h in self.headings}
        links = re.findall(r"\]\(([^)]*)\)", self.text)
        self.assertTrue(links)
        for target in links:
            self.assertTrue(target.startswith("#"), target)
            self.assertIn(target[1:], anchors, target)

    def test_exit_code_table_and_batch_lines_are_vyn_checks_own(self):
        codes = vyn_check_exit_codes()
        self.assertEqual(len(codes), 8)
        table = {word: int(code) for code, word in re.findall(r"^\| (\d+) \| `([a-z-]+)` \|", self.text, re.M)}
        self.assertEqual(table, codes)
        batch = re.findall(r"^    if %verdict% equ (\d+) echo ([a-z-]+)(?: or ([a-z-]+))?", self.text, re.M)
        shown = {}
        for code, *words in batch:
            for word in filter(None, words):
                shown[word] = int(code)
        self.assertEqual(shown, codes)
        self.assertNotRegex(self.text, r"^\s*if errorlevel", "the guide must not show if errorlevel")


class Readme(unittest.TestCase):
    def test_front_page_is_short_with_two_commands_and_both_guides(self):
        text = read("README.md")
        self.assertLessEqual(len(text.splitlines()), 150)
        self.assertIn("\n    scripts/demo.sh     # sets everything up and runs a logon through the module\n", text)
        self.assertIn("\n    scripts/test.sh     # sets everything up and runs all tests\n", text)
        for guide in ("docs/admin-guide.md", "docs/developing.md"):
            self.assertIn("](" + guide + ")", text)
            self.assertTrue(os.path.isfile(os.path.join(REPO, guide)), guide)


if __name__ == "__main__":
    sys.exit(unittest.main())
