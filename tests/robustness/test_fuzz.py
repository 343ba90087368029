"""A short fuzz run on every interpreter the suite runs on (the long one runs under the
sanitizers, scripts/check-sanitizers): version-specific paths of the C API get their
share of hostile calls too."""

import subprocess
import sys
from pathlib import Path

FUZZ = Path(__file__).with_name("fuzz.py")


def test_a_short_fuzz_run_ends_without_crash_hang_or_system_error():
    result = subprocess.run(
        [sys.executable, str(FUZZ), "--cases", "2000", "--seed", "9"],
        capture_output=True,
        text=True,
        timeout=900,
    )
    assert result.returncode == 0, result.stdout + result.stderr
