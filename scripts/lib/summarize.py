#!/usr/bin/env python3
"""Counts the results of one test tier from its GoogleTest XML reports.

Usage: summarize.py TIER REPORT_DIR SUMMARY_FILE EXPECTED_NAME...

Every expected executable must have left a report; one that crashed or hung before writing it
counts as one failed test, so a dead binary can never pass silently. Prints one line:
"TIER: N passed, N failed, N skipped" and, for failures, the names involved.
"""
import os
import sys
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape, quoteattr


def write_report(path, cases):
    """Writes (classname, name, failure text or None) cases as a report count() reads."""
    with open(path, "w") as out:
        out.write("<testsuites><testsuite>\n")
        for classname, name, failure in cases:
            out.write(f"<testcase classname={quoteattr(classname)} name={quoteattr(name)}>")
            if failure is not None:
                first = (failure.splitlines() or [""])[0]
                out.write(f"<failure message={quoteattr(first)}>{escape(failure)}</failure>")
            out.write("</testcase>\n")
        out.write("</testsuite></testsuites>\n")


def count(report):
    passed = failed = skipped = 0
    failures = []
    root = ET.parse(report).getroot()
    for case in root.iter("testcase"):
        name = f"{case.get('classname')}.{case.get('name')}"
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
            failures.append(name)
        elif case.get("result") == "skipped" or case.find("skipped") is not None or case.get("status") == "notrun":
            skipped += 1
        else:
            passed += 1
    return passed, failed, skipped, failures


def main():
    tier, report_dir, summary_file, *expected = sys.argv[1:]
    totals = [0, 0, 0]
    failures = []
    for name in expected:
        report = os.path.join(report_dir, name + ".xml")
        try:
            p, f, s, names = count(report)
        except (OSError, ET.ParseError):
            totals[1] += 1
            failures.append(f"{name} (no report: crashed, hung or did not start)")
            continue
        totals[0] += p
        totals[1] += f
        totals[2] += s
        failures.extend(names)
    print(f"{tier}: {totals[0]} passed, {totals[1]} failed, {totals[2]} skipped")
    for name in failures:
        print(f"{tier}:   FAILED {name}")
    with open(summary_file, "w") as out:
        out.write(" ".join(map(str, totals)) + "\n")


if __name__ == "__main__":
    main()
