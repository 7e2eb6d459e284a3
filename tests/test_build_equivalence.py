"""The default simulated day through the installed module against the same day
through another build of it: the distributed wheel (clang, libc++ linked in,
glibc 2.17) must post exactly the events of the source build (g++, libstdc++).

The other build's report is `tessaline-sim --quiet --json PATH` run in that
build's environment, named by TESSALINE_REFERENCE_REPORT (scripts/test-wheel.sh
sets it).  Without one there is nothing to compare, and the test is skipped."""
import json
import os

import pytest

from tessaline_sim.session import Options, run_simulation

REFERENCE = os.environ.get("TESSALINE_REFERENCE_REPORT")


@pytest.mark.skipif(not REFERENCE, reason="no report of another build (TESSALINE_REFERENCE_REPORT)")
def test_simulated_day_posts_the_events_of_the_other_build():
    with open(REFERENCE, encoding="utf-8") as f:
        reference = json.load(f)
    report, _, _ = run_simulation(Options())
    ours = json.loads(json.dumps(report, default=str))        # as tessaline-sim writes it
    assert ours["run"] == reference["run"], "the reference is not the default simulated day"
    assert reference["ok"] and ours["ok"]
    assert ours["digest"] == reference["digest"]
    assert ours["digest"]["sequence"], "single-thread delivery fixes the order of the events"
    without_timing = lambda r: {k: v for k, v in r.items() if k != "timing"}    # noqa: E731
    assert without_timing(ours) == without_timing(reference)
