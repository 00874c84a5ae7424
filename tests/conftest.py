import os
import re
import signal
import subprocess
import sys
import textwrap
import time

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


def run_until_ctrl_c(setup, call, env=None, wait=0.3, timeout=30):
    """Runs `setup` and then `call` in a fresh interpreter and sends it
    SIGINT `wait` seconds after `call` has started. Returns what the child
    printed ("interrupted" when `call` raised KeyboardInterrupt) and the
    seconds from the signal to the child's exit."""
    code = (f"{setup}\nprint('started', flush=True)\ntry:\n    {call}\n"
            "except KeyboardInterrupt:\n    print('interrupted', flush=True)\n")
    full_env = dict(os.environ, **(env or {}))
    p = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
                         env=full_env)
    try:
        assert p.stdout.readline().strip() == "started"
        time.sleep(wait)
        sent = time.monotonic()
        p.send_signal(signal.SIGINT)
        out, _ = p.communicate(timeout=timeout)
        return out.strip(), time.monotonic() - sent
    finally:
        p.kill()


@pytest.fixture
def ctrl_c():
    return run_until_ctrl_c


def split_top_level(s):
    """Splits at commas outside brackets and quotes."""
    parts, depth, quote, cur = [], 0, None, ""
    for ch in s:
        if quote:
            quote = None if ch == quote else quote
        elif ch in "\"'":
            quote = ch
        elif ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(cur.strip())
            cur = ""
            continue
        cur += ch
    if cur.strip():
        parts.append(cur.strip())
    return parts


def generated_signature(func):
    """(parameter name, default text or None) from the generated signature
    line of the binding's docstring."""
    line = func.__doc__.strip().splitlines()[0]
    m = re.match(rf"{func.__name__}\((.*)\) -> ", line)
    assert m, line
    params = []
    for p in split_top_level(m.group(1)):
        pname, _, rest = p.partition(":")
        default = rest.rpartition(" = ")[2] if " = " in rest else None
        params.append((pname.strip(), default))
    return [p for p in params if p[0] != "self"]


@pytest.fixture
def signature():
    return generated_signature
