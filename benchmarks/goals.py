"""The module's speed and memory goals, judged on the figures of one benchmark run.

Each verdict is (word, goal, detail): "met" or "NOT met" with every figure behind it (those
that miss the goal marked "!"), or "SKIP" when the run did not measure them.
"""

ORDER_LIMITS = {"b": 1.2, "c": 1.5}  # at most this times the cost of order (a)
BYTES_PER_POINT = 8  # allowed on top of the output
CHECK_SHARE = 0.5  # check_field at most this share of the merge's time, at large size


def ratio(a, b):
    return a / b if a is not None and b else None


def verdict(goal, cases, limit, at_most=True):
    """Judge the (label, value) cases against one limit."""
    measured = [(label, value) for label, value in cases if value is not None]
    if not measured:
        return ("SKIP", goal, "not measured in this run")
    figures, missed = [], False
    for label, value in measured:
        ok = value <= limit if at_most else value >= limit
        missed |= not ok
        figures.append(f"{label} {value:.2f}{'' if ok else '!'}")
    return ("NOT met" if missed else "met", goal, ", ".join(figures))


def _speed_goals(times, sizes, orders):
    def per_order(size, top, bottom):
        return [
            (order, ratio(times[size].get((order, top)), times[size].get((order, bottom))))
            for order in orders
        ]

    verdicts = []
    for native, numba in (("native t=0", "numba all threads"), ("native t=1", "numba 1 thread")):
        for size in sizes:
            verdicts.append(
                verdict(f"{native} / {numba} <= 1 at {size}", per_order(size, native, numba), 1.0)
            )
    for native in ("native t=1", "native t=0"):
        for size in sizes:
            verdicts.append(
                verdict(
                    f"numpy / {native} >= 3 at {size}",
                    per_order(size, "numpy", native),
                    3.0,
                    at_most=False,
                )
            )
    for size in sizes:
        verdicts.append(
            verdict(
                f"native t=0 / native t=1 <= 1.1 at {size}",
                per_order(size, "native t=0", "native t=1"),
                1.1,
            )
        )
    if "large" in sizes:
        verdicts.append(
            verdict(
                f"check_field / native t=0 <= {CHECK_SHARE} at large",
                per_order("large", "check_field", "native t=0"),
                CHECK_SHARE,
            )
        )
    return verdicts


def _order_goals(times, sizes):
    verdicts = []
    for order, limit in ORDER_LIMITS.items():
        for native in ("native t=1", "native t=0"):
            cases = [
                (size, ratio(times[size].get((order, native)), times[size].get(("a", native))))
                for size in ("medium", "large")
                if size in sizes
            ]
            verdicts.append(verdict(f"{native}: ({order}) / (a) <= {limit}", cases, limit))
    return verdicts


def _memory_goal(memory, points, size):
    """Growth over the output, in bytes per point: at most BYTES_PER_POINT."""
    cases = [
        (f"({order}) {name}", (m["growth"] - m["out_bytes"]) / points[order])
        for (order, name), m in memory.items()
        if name.startswith("native") and m is not None
    ]
    return verdict(
        f"peak memory growth <= output + {BYTES_PER_POINT} bytes per point at {size} "
        "(figures: bytes per point over the output)",
        cases,
        BYTES_PER_POINT,
    )


def _adversarial_goal(adversarial):
    cases = [
        (name, ratio(adversarial.get(("colliding", name)), adversarial.get(("plain", name))))
        for name in ("native t=1", "native t=0")
    ]
    return verdict("colliding ids / plain ids <= 2", cases, 2.0)


def judge(times, info, memory, memory_size, adversarial):
    """Every verdict of the run, in the order they are reported."""
    sizes = list(times)
    orders = sorted({order for size in sizes for order, _ in times[size]})
    verdicts = _speed_goals(times, sizes, orders) + _order_goals(times, sizes)
    if memory:
        points = {order: info[memory_size][order]["points"] for order in info[memory_size]}
        verdicts.append(_memory_goal(memory, points, memory_size))
    verdicts.append(_adversarial_goal(adversarial))
    return verdicts
