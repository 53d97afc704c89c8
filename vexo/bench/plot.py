"""The plot: ns per element against size, one panel per pattern, both axes logarithmic."""

import math
from collections.abc import Sequence

from vexo import patterns as pattern_generators

from .catalog import BASELINE, STABLE_REFERENCE
from .measure import OK, Measurement

# tab20 in this order: the ten strong colours first, then their light twins, so the
# first ten functions never share a hue.
COLOUR_ORDER = [*range(0, 20, 2), *range(1, 20, 2)]
PANEL_COLUMNS = 4  # eight default patterns make two rows of four
PANEL_SIZE = (4.0, 3.2)  # inches per panel: readable tick labels at the default dpi
DPI = 120


def available() -> bool:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def draw(results: Sequence[Measurement], path: str, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")  # files only: no display is needed, or wanted, on a build host
    import matplotlib.pyplot as plt

    pattern_names = list(dict.fromkeys(m.pattern for m in results))
    functions = list(dict.fromkeys(m.function for m in results))
    columns = min(PANEL_COLUMNS, len(pattern_names))
    rows = math.ceil(len(pattern_names) / columns)
    figure, axes = plt.subplots(
        rows,
        columns,
        figsize=(PANEL_SIZE[0] * columns, PANEL_SIZE[1] * rows),
        squeeze=False,
        sharex=True,
    )
    palette = plt.get_cmap("tab20")
    ours = [function for function in functions if function not in (BASELINE, STABLE_REFERENCE)]
    colours = {
        function: palette(COLOUR_ORDER[index % len(COLOUR_ORDER)])
        for index, function in enumerate(ours)
    }
    for panel, pattern in zip(axes.flat, pattern_names, strict=False):
        for function in functions:
            points = sorted(
                (m.size, m.median)
                for m in results
                if m.pattern == pattern and m.function == function and m.status == OK
            )
            if not points:
                continue
            reference = function in (BASELINE, STABLE_REFERENCE)
            panel.plot(
                *zip(*points, strict=True),
                label=function,
                color=colours.get(function, "black"),
                linestyle="--" if function == STABLE_REFERENCE else "-",
                linewidth=2.2 if reference else 1.4,
                marker="o",
                markersize=3,
            )
        panel.set_xscale("log")
        panel.set_yscale("log")
        panel.set_title(
            f"{pattern}\n{pattern_generators.DESCRIPTIONS.get(pattern, '')}", fontsize=9
        )
        panel.grid(True, which="major", alpha=0.3)
    for panel in list(axes.flat)[len(pattern_names) :]:
        panel.set_visible(False)
    for panel in axes[:, 0]:
        panel.set_ylabel("ns per element")
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
        ncol=max(1, min(8, len(legend))),
        fontsize=8,
        frameon=False,
    )
    figure.suptitle(title, fontsize=10)
    figure.tight_layout(rect=(0, 0.08, 1, 0.95))
    figure.savefig(path, dpi=DPI)
    plt.close(figure)
