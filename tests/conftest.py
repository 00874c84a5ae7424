import os
import subprocess
import sys
import textwrap

import pytest


def run_child(code, env=None, timeout=120):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess.

    Used where a fault could take the interpreter down (so that a crash fails
    one test instead of the run) and where the environment must differ (thread
    counts).
    """
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


@pytest.fixture
def child():
    return run_child
