#!/usr/bin/env python3
"""The ADMX and ADML templates: well-formed XML that agree with each other
(every string and presentation the ADMX names is in the ADML, every text box
of a presentation belongs to an element of its policy, nothing is left over),
and the explain texts say what an administrator must know about the policy
key and about SYSVOL."""
import os
import re
import sys
import unittest
import xml.etree.ElementTree as ET

GPO = os.path.join(os.path.dirname(__file__), "..", "..", "packaging", "gpo")
NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}


class Templates(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # ET.parse raises on any XML that is not well-formed.
        cls.admx = ET.parse(os.path.join(GPO, "VynSecurity.admx")).getroot()
        cls.adml = ET.parse(os.path.join(GPO, "en-US", "VynSecurity.adml")).getroot()
        cls.strings = {s.get("id"): s.text or "" for s in cls.adml.iterfind(".//p:stringTable/p:string", NS)}
        cls.presentations = {p.get("id"): p for p in cls.adml.iterfind(".//p:presentationTable/p:presentation", NS)}
        with open(os.path.join(GPO, "VynSecurity.admx"), encoding="utf-8") as f:
            cls.admx_text = f.read()

    def test_every_reference_of_the_admx_is_in_the_adml_and_nothing_else(self):
        strings = set(re.findall(r"\$\(string\.([^)]+)\)", self.admx_text))
        presentations = set(re.findall(r"\$\(presentation\.([^)]+)\)", self.admx_text))
        self.assertEqual(strings, set(self.strings))
        self.assertEqual(presentations, set(self.presentations))

    def test_presentations_match_the_elements_of_their_policy(self):
        for policy in self.admx.iterfind(".//p:policy", NS):
            elements = {e.get("id") for e in policy.iterfind("p:elements/*", NS)}
            ref = policy.get("presentation")
            if not elements:
                self.assertIsNone(ref, policy.get("name"))
                continue
            shown = {c.get("refId") for c in self.presentations[ref[len("$(presentation."):-1]]}
            self.assertEqual(shown, elements, policy.get("name"))

    def test_categories_and_support_are_defined(self):
        categories = {c.get("name") for c in self.admx.iterfind(".//p:categories/p:category", NS)}
        support = {d.get("name") for d in self.admx.iterfind(".//p:supportedOn/p:definitions/p:definition", NS)}
        for policy in self.admx.iterfind(".//p:policy", NS):
            self.assertEqual(policy.get("class"), "Machine")
            self.assertIn(policy.find("p:parentCategory", NS).get("ref"), categories)
            self.assertIn(policy.find("p:supportedOn", NS).get("ref"), support)

    def test_explain_texts_name_the_policy_key_rule_and_sysvol(self):
        for policy in self.admx.iterfind(".//p:policy", NS):
            text = self.strings[policy.get("explainText")[len("$(string."):-1]]
            self.assertIn("only when it holds Host, IKey and SKey", text, policy.get("name"))
            self.assertIn("supplies every value", text, policy.get("name"))
        self.assertIn("SYSVOL", self.strings["SKey_Help"])
        self.assertIn("every domain user can read", self.strings["SKey_Help"])
        with open(os.path.join(GPO, "VynSecurity.adm"), encoding="ascii") as f:
            adm = f.read()
        self.assertIn("every domain user can read", adm)


if __name__ == "__main__":
    sys.exit(unittest.main())
