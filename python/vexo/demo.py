"""Sort one demo array with every function of vexo and print the results."""

import numpy as np

import vexo


def main() -> None:
    """Sorts a copy of one seeded array of twelve values with every function of vexo, and
    prints each result and whether it matches numpy.sort's.

    Notes
    -----
    What `python -m vexo.demo` and ``tools/demo --demo`` run.
    """
    rng = np.random.default_rng(2026)
    demo = rng.integers(-99, 100, size=12, dtype=np.int64)
    print(f"input:             {demo}")
    for name in vexo.__all__:
        arr = demo.copy()
        getattr(vexo, name)(arr)
        verdict = "ok" if np.array_equal(arr, np.sort(demo)) else "WRONG"
        print(f"{name + ':':<19}{arr}  {verdict}")


if __name__ == "__main__":
    main()
