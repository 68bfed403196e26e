#!/usr/bin/env python3
"""The module's layers: the HTTPS client (net/), the dialogs (ui/), the
settings (config/), diagnostics (diag/) and the common helpers (common/) are
built without the service client (auth/) and the Winlogon face (gina/). They
reach them only through what they are handed (callbacks, plain types), so
none of their files may include a header of those two."""
import os
import re
import sys
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))
LOWER = ("net", "ui", "config", "diag", "common")
UPPER = ("auth", "gina")
SOURCE = (".h", ".hpp", ".c", ".cpp", ".inl", ".rc")
# Either quote form, with or without blanks after '#', and a path spelled
# with "./" or a backslash, as a compiler would still accept it.
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"](?:\.[\\/])?([^>"]+)[>"]', re.MULTILINE)


def includes(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return [name.replace("\\", "/") for name in INCLUDE.findall(f.read())]


def sources(folder):
    for base, _, files in os.walk(os.path.join(ROOT, folder)):
        for name in sorted(files):
            if name.endswith(SOURCE):
                yield os.path.join(base, name)


def upward(path):
    return [name for name in includes(path) if name.split("/", 1)[0] in UPPER]


def unit_circle(*folders):
    """A circle among the files of `folders`, each header taken with its source
    file of the same name (a file that includes log.h takes what log.cpp
    defines), as a list of units; empty when there is none."""
    edges = {}
    for folder in folders:
        for path in sources(folder):
            unit = os.path.splitext(os.path.relpath(path, ROOT).replace(os.sep, "/"))[0]
            targets = edges.setdefault(unit, set())
            for name in includes(path):
                target = os.path.splitext(name)[0]
                if target != unit and target.split("/", 1)[0] in folders:
                    targets.add(target)
    state, trail = {}, []

    def visit(unit):
        state[unit] = "open"
        trail.append(unit)
        for target in sorted(edges.get(unit, ())):
            if state.get(target) == "open":
                return trail[trail.index(target):] + [target]
            if target not in state:
                found = visit(target)
                if found:
                    return found
        trail.pop()
        state[unit] = "done"
        return []

    for unit in sorted(edges):
        if unit not in state:
            found = visit(unit)
            if found:
                return found
    return []


class Layering(unittest.TestCase):
    def test_lower_layers_include_nothing_of_auth_or_gina(self):
        found = []
        for folder in LOWER:
            for path in sources(folder):
                found += ["%s: %s" % (os.path.relpath(path, ROOT), name) for name in upward(path)]
        self.assertEqual(found, [])

    def test_no_files_form_a_circle(self):
        # Anywhere in the product and its tools: a file pair (header and
        # source) that needs another which needs it back is one concern split
        # in two, or a lower file reaching up. The log's file writer, for one,
        # reports its trouble through a reporter the layer above installs,
        # never by including the log or the event log.
        self.assertEqual(unit_circle(*(LOWER + UPPER + ("tools",))), [])
        self.assertIn("diag/log_report.h", includes(os.path.join(ROOT, "diag", "log_file.cpp")))

    def test_diagnostics_call_no_shell_function(self):
        # The log is opened at process attach, under the loader lock, where
        # no shell function may be called: neither its header nor a call.
        found = []
        for path in sources("diag"):
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            found += ["%s: %s" % (os.path.relpath(path, ROOT), name)
                      for name in re.findall(r"\b(SH[A-Z]\w*\s*\(|shlobj\.h|shellapi\.h|shlwapi\.h)", text)]
        self.assertEqual(found, [])

    def test_the_scan_sees_the_includes_it_must_refuse(self):
        # The gate is above both layers: its includes of them are found, so a
        # scan that reads nothing cannot pass the test above by accident.
        self.assertIn("auth/session.h", upward(os.path.join(ROOT, "gina", "gate.cpp")))
        self.assertGreater(sum(1 for folder in LOWER for _ in sources(folder)), 30)

    def test_include_forms_a_compiler_accepts_are_recognised(self):
        text = '#include "auth/session.h"\n  #  include <gina/gate.h>\n#include ".\\auth\\x.h"\n// include "auth/y.h"\n'
        self.assertEqual([n.replace("\\", "/") for n in INCLUDE.findall(text)],
                         ["auth/session.h", "gina/gate.h", "auth/x.h"])


if __name__ == "__main__":
    sys.exit(0 if unittest.main(argv=sys.argv[:1], exit=False).result.wasSuccessful() else 1)
