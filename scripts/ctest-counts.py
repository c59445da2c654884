#!/usr/bin/env python3
"""Counts tests from what ctest writes for programs to read.

  ctest-counts.py results JUNIT   "PASSED FAILED SKIPPED" of the run that wrote the JUnit
                                  report JUNIT (ctest --output-junit JUNIT)
  ctest-counts.py listed JSON     how many tests JSON lists (ctest --show-only=json-v1;
                                  "-" reads it from standard input)

In a JUnit report a test that skipped itself (SKIP_RETURN_CODE, SKIP_REGULAR_EXPRESSION) and
one that could not run at all (its program missing) are both "notrun"; the first is skipped,
the second failed, as ctest counts them.
"""

import json
import sys
import xml.etree.ElementTree as ET


def results(path):
    passed = failed = skipped = 0
    for case in ET.parse(path).getroot().iter("testcase"):
        status = case.get("status")
        reason = case.find("skipped")
        if status == "run":
            passed += 1
        elif status == "disabled" or (
            status == "notrun"
            and reason is not None
            and reason.get("message", "").startswith("SKIP_")
        ):
            skipped += 1
        else:
            failed += 1
    return f"{passed} {failed} {skipped}"


def listed(path):
    with open(path if path != "-" else 0, encoding="utf-8") as source:
        return str(len(json.load(source)["tests"]))


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("results", "listed"):
        sys.exit(__doc__)
    print(results(sys.argv[2]) if sys.argv[1] == "results" else listed(sys.argv[2]))


if __name__ == "__main__":
    main()
