#!/usr/bin/env python3
"""Prints deb-src lines (one-line format) for the binary package sources this
machine's apt already uses, so that setup can fetch source packages from the
same mirror or proxy through a private list, without touching the machine's.

Reads <root>/etc/apt/sources.list, <root>/etc/apt/sources.list.d/*.list (one-line
format) and <root>/etc/apt/sources.list.d/*.sources (deb822). Options are kept;
a deb822 Signed-By that holds a key itself is written to a file in --keys-dir
and named by path.
With --suite, only the lines of the machine's own release suite (the codename
in <root>/etc/os-release, not its -updates or -security companions, nor other
vendors' suites) are kept, with that suite replaced: the source packages of
another Debian release from the same mirror.
  apt-source-lines.py [--root DIR] --keys-dir DIR [--suite SUITE]
"""
import argparse
import glob
import os
import re
import sys

# deb822 field -> one-line option, where the names differ.
FIELD_OPTIONS = {"architectures": "arch", "languages": "lang", "targets": "target"}
NOT_OPTIONS = {"types", "uris", "suites", "components", "enabled"}


def one_line_entries(text):
    """(options, uri, suite, components) of each "deb" line."""
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        match = re.match(r"^(\S+)\s+(?:\[([^\]]*)\]\s+)?(\S+)\s+(\S+)\s*(.*)$", line)
        if not match or match.group(1) != "deb":
            continue
        options = match.group(2).split() if match.group(2) else []
        yield options, match.group(3), match.group(4), match.group(5).split()


def deb822_stanzas(text):
    """Each stanza as {lower-case field: value}, continuation lines joined with newlines."""
    stanza, field = {}, None
    for raw in text.splitlines() + [""]:
        if raw.startswith("#"):
            continue
        if not raw.strip():
            if stanza:
                yield stanza
            stanza, field = {}, None
        elif raw[0] in " \t" and field:
            stanza[field] += "\n" + (raw.strip() if raw.strip() != "." else "")
        else:
            name, _, value = raw.partition(":")
            field = name.strip().lower()
            stanza[field] = value.strip()


def deb822_entries(text, keys_dir, origin):
    for number, stanza in enumerate(deb822_stanzas(text)):
        if "deb" not in stanza.get("types", "").split() or stanza.get("enabled", "yes").lower() == "no":
            continue
        options = []
        for field, value in stanza.items():
            if field in NOT_OPTIONS:
                continue
            if field == "signed-by" and "\n" in value.strip():
                # A key held in the stanza itself: give it a file of its own.
                os.makedirs(keys_dir, exist_ok=True)
                path = os.path.join(os.path.abspath(keys_dir), "%s-%d.asc" % (origin, number))
                with open(path, "w") as key:
                    key.write(value.strip() + "\n")
                value = path
            options.append("%s=%s" % (FIELD_OPTIONS.get(field, field), ",".join(value.split())))
        components = stanza.get("components", "").split()
        for uri in stanza.get("uris", "").split():
            for suite in stanza.get("suites", "").split():
                yield options, uri, suite, components


def release_codename(root):
    """VERSION_CODENAME of <root>/etc/os-release, or None."""
    path = os.path.join(root, "etc", "os-release")
    if not os.path.isfile(path):
        return None
    with open(path) as f:
        for line in f:
            name, _, value = line.strip().partition("=")
            if name == "VERSION_CODENAME":
                return value.strip().strip('"') or None
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default="/")
    parser.add_argument("--keys-dir", required=True)
    parser.add_argument("--suite")
    args = parser.parse_args()
    codename = release_codename(args.root) if args.suite else None
    etc = os.path.join(args.root, "etc", "apt")
    entries = []
    for path in [os.path.join(etc, "sources.list")] + sorted(glob.glob(os.path.join(etc, "sources.list.d", "*.list"))):
        if os.path.isfile(path):
            with open(path) as f:
                entries += one_line_entries(f.read())
    for path in sorted(glob.glob(os.path.join(etc, "sources.list.d", "*.sources"))):
        with open(path) as f:
            origin = os.path.splitext(os.path.basename(path))[0]
            entries += deb822_entries(f.read(), args.keys_dir, origin)
    seen = set()
    for options, uri, suite, components in entries:
        if args.suite:
            if suite != codename:
                continue
            suite = args.suite
        line = " ".join(["deb-src"] + (["[%s]" % " ".join(options)] if options else []) + [uri, suite] + components)
        if line not in seen:
            seen.add(line)
            print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
