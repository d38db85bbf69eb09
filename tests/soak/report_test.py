#!/usr/bin/env python3
"""The reliability report's generator on made-up results: cases counted by
kind with their failures, skipped cases and the Wine fixture left out, the
soak's figures carried over, and "Not run." for what did not run."""
import os
import subprocess
import sys
import tempfile
import unittest

GENERATOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                         "reliability-report.py")

JUNIT = """<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="Linux" tests="6" failures="1" disabled="0" skipped="1">
  <testcase name="wine.setup" classname="wine.setup" time="1" status="run"/>
  <testcase name="Station.ImageHandleThatIsNotALiveBlockIsIgnored" classname="x" time="1" status="run"/>
  <testcase name="ClipboardTest.BlockShorterThanAHeaderIsRefused" classname="x" time="1" status="fail">
    <failure message="Failed"/>
  </testcase>
  <testcase name="SlowHostTest.FrontEndThatStoppedPumpingIsSkippedAtOnce" classname="x" time="0" status="notrun">
    <skipped message="Disabled"/>
  </testcase>
  <testcase name="CheckDibLayout.UnsafeOrUndrawableHeadersAreRefused" classname="x" time="1" status="run"/>
  <testcase name="Station.WindowIsCreatedHiddenWithClassAndStyle" classname="x" time="1" status="run"/>
</testsuite>
"""


def generate(files):
    with tempfile.TemporaryDirectory() as build:
        os.makedirs(os.path.join(build, "reports"))
        for name, text in files.items():
            with open(os.path.join(build, "reports", name), "w") as f:
                f.write(text)
        out = os.path.join(build, "reliability.md")
        subprocess.run([sys.executable, GENERATOR, build, out], check=True, stdout=subprocess.DEVNULL)
        with open(out) as f:
            return f.read().splitlines()


class ReportTest(unittest.TestCase):
    def test_cases_are_counted_by_kind_with_failures_and_without_skipped_or_fixtures(self):
        lines = generate({"suite-junit.xml": JUNIT})
        self.assertIn("| Hostile image handles (null, stale, not a live block) | 1 | 1 | 0 |", lines)
        self.assertIn("| Corrupt and foreign DIBs through the clipboard | 1 | 0 | 1 |", lines)
        self.assertIn("| Corrupt and foreign DIBs through the driver | 1 | 1 | 0 |", lines)
        self.assertIn("| Hung and slow hosts | 0 | 0 | 0 |", lines)
        self.assertIn("| The rest of the station's behaviour | 1 | 1 | 0 |", lines)
        self.assertIn("| All | 4 | 3 | 1 |", lines)

    def test_missing_runs_say_not_run_and_present_ones_give_their_figures(self):
        lines = generate({"soak-300.txt": "images_requested=300\nresult=passed\nfront_lost=0\n"
                                          "front_duplicated=0\nfront_reordered=2\n",
                          "fuzz-diblayout.txt": "target=diblayout\nseconds=10\nexecs=123456\n"
                                                "crashes=0\ncorpus=42\n"})
        self.assertEqual(lines[lines.index("## Inputs tried, by kind") + 2], "Not run.")
        self.assertIn("| Result | passed |", lines)
        self.assertIn("| Lost / duplicated / reordered at the front end | 0 / 0 / 2 |", lines)
        self.assertIn("| diblayout | 10 | 123456 | 0 | 42 |", lines)
        self.assertEqual(generate({})[-1], "Not run.")


if __name__ == "__main__":
    unittest.main()
