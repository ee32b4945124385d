"""The engine's failure messages, how to recognise its PanicException, and small tables
that make each failure happen (or narrowly do not)."""

import numpy as np

INDEX = "ndarray: index out of bounds"
NONE = "called `Option::unwrap()` on a `None` value"
SHAPE = (
    "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible shapes"
)
ASSERTION = "assertion failed: index < dim"
KNOWN_FAILURES = {INDEX, NONE, SHAPE, ASSERTION}
POOL_BUILD_FAILURE = "called `Result::unwrap()` on an `Err` value: ThreadPoolBuildError"


def is_panic(error, message=None):
    """Whether ``error`` is the engine's PanicException (with ``message``, if given)."""
    kind = type(error)
    if (kind.__module__, kind.__qualname__) != ("pyo3_runtime", "PanicException"):
        return False
    return message is None or error.args == (message,)


NAN = np.nan

ANCHORS = [0, 0, 10, 0, 5, 0]
INFO = [[1, 0, 0, 0, 1, *ANCHORS], [2, 0, 0, 0, 1, 12, 0, 20, 0, 16, 0]]
POINTS = [[1, 1, 3, 0]]


def table(rows, width=None):
    array = np.array(rows, dtype=np.float64)
    return array.reshape(len(rows), width) if width is not None else array


def alone(width=11):
    """Crop row (1, 1) without connected rows."""
    return table([[0, 1, 1, NAN] + [0] * (width - 4)], width)


def linked(slot=(2, 1), width=11):
    """Crop row (1, 1) connected to the row named by ``slot``."""
    return table([([0, 1, 1, *slot, NAN] + [NAN] * 5)[:width]], width)


PT, RI = table(POINTS), table(INFO)
FAILURES = [  # id, crop rows, points, row information, message
    ("crop rows 2 wide", table([[0, 1]]), PT, RI, INDEX),
    ("points 0 wide", alone(), np.empty((2, 0)), RI, INDEX),
    ("points 1 wide, id matching", alone(), table([[5], [1]]), RI, INDEX),
    ("no row information", alone(), PT, np.empty((0, 11)), NONE),
    ("own ids not found", table([[0, 2, 7, NAN]]), PT, RI, NONE),
    ("row information 0 wide", alone(), PT, np.empty((3, 0)), INDEX),
    (
        "row information 4 wide, id matching",
        alone(),
        PT,
        table([[0, 0, 0, 0], [1, 0, 0, 0]]),
        INDEX,
    ),
    ("row information 1 wide, id matching", alone(), PT, table([[1]]), INDEX),
    ("row information 2 wide, no id matching", alone(), PT, table([[3, 1], [0, 1]]), NONE),
    ("slots past 3 columns", table([[0, 1, 1]]), PT, RI, INDEX),
    ("second id past 4 columns", linked(width=4), PT, RI, INDEX),
    ("four slots in 10 columns", table([[0, 1, 1, 2, 1, 2, 1, 2, 1, 2]]), PT, RI, INDEX),
    ("connected float ids not found", linked((1.5, 1)), PT, RI, NONE),
    ("connected second id NaN", linked((2, NAN)), PT, RI, NONE),
    ("connected row of a row without points", linked((3, 1)), np.empty((0, 4)), RI, NONE),
    ("row information 10 wide and a slot", linked(), PT, table([r[:10] for r in INFO]), SHAPE),
    ("row information 12 wide and a slot", linked(), PT, table([[*r, 0] for r in INFO]), SHAPE),
    ("filtered points 3 wide", linked(), table([[1, 1, 3]]), RI, INDEX),
]


NOT_FAILURES = [  # id, crop rows, points, row information, shape of the result
    ("points 1 wide, no id matching", alone(), table([[5], [0]]), RI, (0, 1)),
    ("4 crop-row columns, no slots", alone(4), PT, RI, (1, 4)),
    ("row information 5 wide, no slots", alone(), PT, table([r[:5] for r in INFO]), (1, 4)),
    ("no crop rows at all", np.empty((0, 0)), np.empty((0, 6)), np.empty((0, 0)), (0, 6)),
    ("a connected row without points", linked(), np.empty((0, 5)), RI, (0, 5)),
]
