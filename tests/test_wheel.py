"""The release wheel installs on common Linux distributions: auditwheel must
find it consistent with manylinux_2_28 or an older policy. `make test` names
the wheel it built in KILN_WHEEL for the run in .venv (which has auditwheel)."""
import os
import re
import subprocess
import sys

import pytest

WHEEL = os.environ.get("KILN_WHEEL")


@pytest.mark.skipif(not WHEEL, reason="needs KILN_WHEEL, the built wheel, as `make test` sets it")
def test_wheel_fits_manylinux_2_28():
    show = subprocess.run([sys.executable, "-m", "auditwheel", "show", WHEEL],
                          capture_output=True, text=True, check=True).stdout
    tag = re.search(r'platform tag:\s*"([^"]+)"', show)
    assert tag, show
    glibc = re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", tag.group(1))
    assert glibc, f"not a manylinux wheel: {tag.group(1)}\n{show}"
    assert (int(glibc[1]), int(glibc[2])) <= (2, 28), show
