"""Runs the hostile-input cases in a child interpreter, so that a crash of the
extension is reported as a failure carrying the child's output."""

import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = [pytest.mark.native]

ROOT = Path(__file__).resolve().parents[1]


def test_adversarial_cases_in_a_child():
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         "tests/adversarial_cases.py"],
        cwd=ROOT, capture_output=True, text=True, timeout=600)
    tail = proc.stdout.strip().splitlines()[-1:] or [""]
    print("adversarial child:", tail[0])
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n--- stdout ---\n{proc.stdout[-20000:]}"
        f"\n--- stderr ---\n{proc.stderr[-5000:]}")
