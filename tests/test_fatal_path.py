"""Native allocation failure ends the process with the module's own diagnostic."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

# The sanitizer runtime reserves terabytes of address space, so an address-space
# limit cannot be applied under it.
pytestmark = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="an address-space limit breaks the sanitizer runtime"
)

DIAGNOSTIC = "veltrix_core_rs: fatal: out of memory"
HEADROOM = 256 << 20  # bytes of address space left for the interpreter's own work

# Each child builds its input first, then caps its address space a little above
# what it uses, so that the module's native allocation for that input fails.
CHILD = textwrap.dedent(
    """
    import resource, sys
    import numpy as np
    import veltrix_core_rs as core

    samples = np.zeros(40_000_000)              # 320 MB, whose working series would need 4.8 GB
    text = "a" * (600 << 20)                    # a key whose native copy needs 600 MB
    call = {call!r}

    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + {headroom}, resource.RLIM_INFINITY))
    eval(call)
    print("returned", flush=True)
    """
)


@pytest.mark.parametrize(
    "call",
    [
        "core.evaluate_curvature_zerocopy_rs(samples, samples, samples)",
        "core.consume_nonce_rs(text)",
        "core.ban_ip_rs(text, 60)",
    ],
)
def test_allocation_failure_ends_with_the_modules_diagnostic(call):
    child = subprocess.run(
        [sys.executable, "-c", CHILD.format(call=call, headroom=HEADROOM)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert child.returncode == -signal.SIGABRT, child.stderr
    assert child.stdout == ""
    assert child.stderr.splitlines()[-1] == DIAGNOSTIC, child.stderr
    assert "terminate called" not in child.stderr
