"""A short fuzzing session of the whole API, in a subprocess so that a crash or a hang fails the
test instead of ending the test run. `make fuzz` runs a long one."""

import os
import re
import subprocess
import sys

import pytest

FUZZER = os.path.join(os.path.dirname(__file__), "fuzz_api.py")
# Seconds: the session takes a few (a minute or so under AddressSanitizer); only a hang gets here.
TIME_LIMIT_S = 600


def test_every_call_succeeds_or_raises_a_documented_exception():
    try:
        session = subprocess.run(
            [sys.executable, FUZZER, "--examples", "40", "--derandomize"],
            capture_output=True, text=True, timeout=TIME_LIMIT_S, check=False,
        )
    except subprocess.TimeoutExpired as timeout:
        pytest.fail(f"the fuzzing session hung:\n{timeout.stdout}\n{timeout.stderr}")
    report = session.stdout + session.stderr
    assert session.returncode == 0, report
    # Every target ran, and some simulations got through to a record.
    for target in ["SourceParameters", "PathParameters", "SiteParameters", "RecordParameters",
                   "FaultSegment", "VelocityModel1D", "HfConfig", "SlipModel", "Simulator"]:
        assert re.search(rf"^  {target}: 40 calls .*ok \d+", report, re.MULTILINE), report
    assert re.search(r"^  run_stations: \d+ calls .*ok [1-9]", report, re.MULTILINE), report
