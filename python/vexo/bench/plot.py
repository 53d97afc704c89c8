"""The plot: time relative to NumPy against size, one panel per pattern, both axes
logarithmic.

A reader compares each sort with NumPy, and the sorts one picks for speed with each other,
so those are what the picture shows: NumPy's yardstick is the bold line at 1x, the six
fast functions each keep one colour in every panel, and the classic sorts, there for
study, are drawn thin and grey behind them.
"""

import math
from collections.abc import Sequence

from vexo import patterns as pattern_generators

from . import machine
from .catalog import BASELINE, HELD_BASELINE, STABLE_REFERENCE
from .measure import Measurement
from .status import OK

# The functions a user picks for speed, in Okabe and Ito's palette, which stays distinct
# for colour-blind readers.
FAST = {
    "smart": "#0072B2",
    "par_sort_unstable": "#D55E00",
    "par_sort": "#009E73",
    "pdq": "#CC79A7",
    "radix": "#E69F00",
    "tim": "#56B4E9",
}
NUMPY_STYLES = {  # matplotlib line styles of NumPy's rows
    BASELINE: {"color": "black", "linewidth": 2.4},
    HELD_BASELINE: {"color": "black", "linewidth": 2.4, "linestyle": "--"},
    STABLE_REFERENCE: {"color": "dimgray", "linewidth": 1.6, "linestyle": ":"},
}
CLASSIC_STYLE = {"color": "#b0b0b0", "linewidth": 0.9, "alpha": 0.8}
CLASSIC_LABEL = "classic sorts"
PANEL_COLUMNS = 4  # eight default patterns make two rows of four
PANEL_SIZE = (4.0, 3.2)  # inches per panel: readable tick labels at the default dpi
DPI = 120


def available() -> bool:
    """Whether matplotlib is installed, which `draw` needs."""
    return machine.installed("matplotlib")


def style(function: str) -> dict:
    """How `function`'s line is drawn, its legend label included."""
    if function in NUMPY_STYLES:
        return {"label": function, "zorder": 3, **NUMPY_STYLES[function]}
    if function in FAST:
        return {"label": function, "color": FAST[function], "linewidth": 1.8, "zorder": 2}
    return {"label": CLASSIC_LABEL, "zorder": 1, **CLASSIC_STYLE}


def draw(results: Sequence[Measurement], path: str, title: str) -> None:
    """Draws every timed ratio against its size, one panel per pattern, into a PNG file.

    Parameters
    ----------
    results : sequence of Measurement
        The run's measurements; those without a ratio are left out.
    path : str
        The PNG file to write.
    title : str
        The figure's title (the report's heading).

    Notes
    -----
    Needs matplotlib (see `available`), which it drives without a display.
    """
    import matplotlib

    matplotlib.use("Agg")  # files only: no display is needed, or wanted, on a build host
    import matplotlib.pyplot as plt

    pattern_names = list(dict.fromkeys(m.pattern for m in results))
    # Classic sorts first, so every coloured line is drawn over them.
    functions = sorted(dict.fromkeys(m.function for m in results), key=lambda f: style(f)["zorder"])
    columns = min(PANEL_COLUMNS, len(pattern_names))
    rows = math.ceil(len(pattern_names) / columns)
    figure, axes = plt.subplots(
        rows,
        columns,
        figsize=(PANEL_SIZE[0] * columns, PANEL_SIZE[1] * rows),
        squeeze=False,
        sharex=True,
    )
    for panel, pattern in zip(axes.flat, pattern_names, strict=False):
        yardsticks = set()
        for function in functions:
            cells = [m for m in results if m.pattern == pattern and m.function == function]
            points = sorted((m.size, m.ratio) for m in cells if m.status == OK and m.ratio)
            yardsticks.update(m.baseline for m in cells if m.ratio)
            if points:
                panel.plot(*zip(*points, strict=True), marker="o", markersize=3, **style(function))
        panel.set_xscale("log")
        panel.set_yscale("log")
        description = pattern_generators.DESCRIPTIONS.get(pattern, "")
        panel.set_title(f"{pattern}\n{description}", fontsize=9)
        panel.set_ylabel(f"time / {' or '.join(sorted(yardsticks))}", fontsize=8)
        panel.grid(True, which="major", alpha=0.3)
    for panel in list(axes.flat)[len(pattern_names) :]:
        panel.set_visible(False)
    for panel in axes[-1, :]:
        panel.set_xlabel("elements")
    legend = {}
    for panel in axes.flat:
        for handle, label in zip(*panel.get_legend_handles_labels(), strict=True):
            legend.setdefault(label, handle)
    figure.legend(
        list(legend.values()),
        list(legend),
        loc="lower center",
        ncol=max(1, min(10, len(legend))),
        fontsize=8,
        frameon=False,
    )
    figure.suptitle(f"{title}\nbelow 1: faster than NumPy", fontsize=10)
    figure.tight_layout(rect=(0, 0.06, 1, 0.95))
    figure.savefig(path, dpi=DPI)
    plt.close(figure)
