#!/usr/bin/env python3
"""Adds up the JUnit files that the test stages wrote and prints one closing line."""
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

passed = failed = skipped = 0
for path in sorted(Path(sys.argv[1]).glob("*.xml")):
    for case in ET.parse(path).getroot().iter("testcase"):
        status = case.get("status", "")
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is not None or status in ("notrun", "disabled"):
            skipped += 1
        else:
            passed += 1
print(f"{passed} passed, {failed} failed, {skipped} skipped")
