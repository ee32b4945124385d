"""The progress line: drawn only on a colour-capable terminal, and complete at the end."""

import os
import pty
import re
import select
import subprocess
import sys
import time

import numpy as np
import pytest
from _native import merge_points_removing_overlap as merge
from engine_failures import NONE

CHILD = """
import sys
import numpy as np
from _native import merge_points_removing_overlap as merge
n, failing = int(sys.argv[1]), sys.argv[2:] == ["failing"]
connected = np.array([[0, 1, 1, np.nan]] * n).reshape(n, 4)
if failing:
    connected[-1, 1] = 9  # names no row of row_information
points = np.array([[1, 1, 2, 3]] * 3, dtype=float)
try:
    out = merge(connected, points, np.array([[1, 0, 0, 0, 1.0]]), 0.5, 2)
except BaseException as error:
    assert failing and type(error).__name__ == "PanicException", error
else:
    assert not failing and out.shape == (3 * n, 4)
"""
SPINNER = "⠁⠉⠙⠚⠒⠂⠲⠴⠤⠄⠠⠦⠖⠐⠓⠋⠈"
ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


def run_on_terminal(rows, *args, **env_changes):
    """Run a call in a child whose standard error is a pseudo-terminal; return what it drew."""
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    env["TERM"] = "xterm-256color"
    env.update(env_changes)
    env = {k: v for k, v in env.items() if v is not None}
    master, slave = pty.openpty()
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(rows), *args],
        stderr=slave,
        env=env,
        stdin=subprocess.DEVNULL,
    )
    os.close(slave)
    data = b""
    deadline = time.monotonic() + 60
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 1.0)
            if not ready:
                if child.poll() is not None:
                    break
                continue
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            data += chunk
    finally:
        os.close(master)
    assert child.wait(timeout=60) == 0, data
    return data.decode()


def last_line(drawn):
    """The final state of the line: what follows the last carriage return before the end."""
    assert drawn.endswith("\r\n"), "the finished line stays, followed by a newline"
    return drawn[:-2].rsplit("\r", 1)[-1]


@pytest.mark.parametrize("rows", [0, 1, 5, 300])
def test_finished_bar_on_a_terminal(rows):
    drawn = run_on_terminal(rows)
    raw = last_line(drawn)
    plain = ANSI.sub("", raw)
    pattern = rf"([{SPINNER}]) \[\d\d:\d\d:\d\d\] \[(█{{40}})\] {rows}/{rows} \(\d+[smhd]\)"
    assert re.fullmatch(pattern, plain), plain
    assert "░" not in plain
    assert "Processing complete" not in drawn
    assert re.search(rf"\x1b\[32m[{SPINNER}]", raw), "green spinner"
    assert "\x1b[36m" + "█" * 40 in raw, "cyan filled cells"


def test_failure_report_starts_on_a_line_of_its_own():
    """The bar's line ends where the bar stopped, and the bar draws nothing after the report."""
    drawn = run_on_terminal(5000, "failing")
    bar, report = drawn.split("thread '", 1)
    assert bar.endswith("\n")
    position = ANSI.sub("", bar).rstrip().rsplit("\r", 1)[-1].split()[-2]
    assert int(position.split("/")[0]) < 5000 and position.endswith("/5000")
    assert NONE in report
    assert "█" not in report and "░" not in report


@pytest.mark.parametrize(
    "env",
    [{"NO_COLOR": "1"}, {"TERM": "dumb"}, {"TERM": None}],
    ids=["NO_COLOR", "dumb", "no TERM"],
)
def test_nothing_drawn_on_a_terminal_without_colours(env):
    assert run_on_terminal(5, **env) == ""


def test_nothing_written_when_stderr_is_not_a_terminal(capfd):
    connected = np.array([[0, 1, 1, np.nan]] * 50)
    out = merge(connected, np.array([[1.0, 1, 2, 3]]), np.array([[1, 0, 0, 0, 1.0]]), 0.5, 2)
    assert out.shape == (50, 4)
    captured = capfd.readouterr()
    assert captured.err == ""
    assert captured.out == ""
