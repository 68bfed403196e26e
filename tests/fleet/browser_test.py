#!/usr/bin/env python3
"""The fleet report opened in a real browser: headless Chromium (Debian's)
loads the page vyn-fleet.exe wrote under Wine and the test reads the text the
browser rendered. The counts and the first machine not to restart must be
there, and nothing from a result file may have run: a machine named like a
script shows as text, and the page's title and text are what vyn-fleet wrote.
"""
import argparse
import html
import html.parser
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import datetime

FAILURES = []


def expect(ok, what):
    if not ok:
        FAILURES.append(what)
        print("FAIL: " + what, file=sys.stderr)


def result(machine, verdict, fail_open=False, codes=0):
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    return json.dumps({
        "schema": 1, "machine": machine, "domain": "CORP",
        "os": {"version": "5.2.3790", "service_pack": "Service Pack 2", "architecture": "x64"},
        "module_version": "1.1.8.0", "tool_version": "1.1.8.0", "checked_at": now,
        "fail_open": fail_open, "tls": "system", "recovery_codes": codes,
        "checks": [{"name": "service.check", "status": "fail" if verdict != "ready" else "ok",
                    "detail": "service: " + verdict}],
        "verdict": verdict, "sentence": "the " + verdict + " sentence.", "exit_code": 0})


# Runs the page's script, if any can run: it changes the title and the text.
HOSTILE = "<script>document.title='RAN'+'-BY-SCRIPT';document.body.innerHTML='RAN'+'-BY-SCRIPT'</script>\"q'"


class Text(html.parser.HTMLParser):
    """The text of a DOM as a browser renders it: no script or style content."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.parts, self.skip, self.elements = [], 0, []

    def handle_starttag(self, tag, attrs):
        self.elements.append(tag)
        if tag in ("script", "style", "title"):
            self.skip += 1
        if tag in ("tr", "p", "h1", "h2", "div", "li", "table"):
            self.parts.append("\n")

    def handle_endtag(self, tag):
        if tag in ("script", "style", "title"):
            self.skip -= 1

    def handle_data(self, data):
        if not self.skip:
            self.parts.append(data)

    def text(self):
        return re.sub(r"[ \t]+", " ", " ".join(self.parts))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--fleet", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--screenshot", help="also save a screenshot of the page here")
    args = parser.parse_args()

    browser = shutil.which("chromium")
    expect(browser is not None, "chromium is not installed (scripts/setup.sh installs it)")
    if browser is None:
        return 1

    shutil.rmtree(args.work, ignore_errors=True)
    folder = os.path.join(args.work, "share")
    os.makedirs(folder)
    files = {"WEB01.json": result("WEB01", "ready"),
             "DC02.json": result("DC02", "unreachable"),
             "APP03.json": result("APP03", "exposed"),
             "evil.json": result(HOSTILE, "ready")}
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
            f.write(text)
    page = os.path.join(args.work, "report.html")
    windows = lambda p: "Z:" + os.path.abspath(p).replace("/", "\\")
    run = subprocess.run([args.wine_run, args.fleet, "report", windows(folder), "--out", windows(page)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    expect(run.returncode == 2, "vyn-fleet exit code %d: %r" % (run.returncode, run.stdout))
    expect(os.path.isfile(page), "no page written")

    profile = tempfile.mkdtemp(prefix="vyn-chromium-")
    try:
        # As root (CI) Chromium runs only without its sandbox; the page is a
        # local file and nothing is fetched.
        common = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--user-data-dir=" + profile]
        dom = subprocess.run(common + ["--dump-dom", "file://" + os.path.abspath(page)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120).stdout.decode("utf-8")
        if args.screenshot:
            subprocess.run(common + ["--hide-scrollbars", "--window-size=1100,1500",
                                     "--screenshot=" + os.path.abspath(args.screenshot),
                                     "file://" + os.path.abspath(page)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    finally:
        shutil.rmtree(profile, ignore_errors=True)

    reader = Text()
    reader.feed(dom)
    text = reader.text()
    lines = [line.strip() for line in text.split("\n") if line.strip()]

    expect("RAN-BY-SCRIPT" not in dom, "a script from a result file ran")
    expect("script" not in reader.elements, "the rendered page has a script element")
    title = re.search(r"<title>(.*?)</title>", dom, re.S)
    expect(title is not None and title.group(1) == "VynGina fleet report: 4 machines", "title: %r" % (title and title.group(1)))
    expect(HOSTILE.replace("'", "'") in text, "the script-like machine name is not shown as text")

    for verdict, count in (("registration-broken", 0), ("keys-refused", 0), ("refused", 0), ("unreachable", 1),
                           ("exposed", 1), ("bypass", 0), ("ready", 2)):
        expect("%s %d" % (verdict, count) in lines, "count line %r not rendered" % ("%s %d" % (verdict, count)))
    heading = lines.index("Do not restart (1)") if "Do not restart (1)" in lines else -1
    expect(heading >= 0, "no 'Do not restart (1)' heading")
    if heading >= 0:
        # Its explanation, the table's head, then the first machine's row.
        first_row = next((l for l in lines[heading + 1:] if l.startswith("DC02")), "")
        expect(first_row.startswith("DC02 (CORP)"), "first machine not to restart: %r" % lines[heading:heading + 4])
        expect(lines.index(first_row) < lines.index("Exposed (1)"), "DC02 is not in the Do not restart section")

    if FAILURES:
        print("%d failures" % len(FAILURES), file=sys.stderr)
        return 1
    print("browser test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
