"""How each kernel was tested, from a ctest JUnit file; tools/check's last line.

    python tools/kernel_report.py build/cpp/results.xml

There are two kinds of kernel, the partition kernels (the tests "Kernels/Kernel.*") and
the merge kernels ("MergeKernels/MergeKernel.*"), each with one kernel per instruction
set. A kernel is "native" when its native tests ran and passed (none skipped),
"emulated" when its tests over SIMDe did. Prints one line naming every kernel of each
kind that the native tests have parameters for, and how it was tested; exits with a
message, and status 1, when a kind has no tests at all or a kernel was tested neither
way.
"""

import re
import sys
import xml.etree.ElementTree as ET

# Each kind of kernel and its tests' names, "emulated:" in front over SIMDe.
KINDS = {
    "partition": r"(emulated:)?Kernels/Kernel\.\w+/(\w+)",
    "merge": r"(emulated:)?MergeKernels/MergeKernel\.\w+/(\w+)",
}
WAYS = ("native", "emulated")


def outcomes(path: str, kernel_test: str) -> dict[str, dict[str, list[bool]]]:
    """kernel -> "native"/"emulated" -> whether each of its tests ran and passed."""
    results: dict[str, dict[str, list[bool]]] = {}
    for case in ET.parse(path).getroot().iter("testcase"):
        match = re.fullmatch(kernel_test, case.get("name", ""))
        if match:
            passed = (
                case.get("status") == "run"
                and case.find("skipped") is None
                and case.find("failure") is None
            )
            way = "emulated" if match[1] else "native"
            results.setdefault(match[2], {}).setdefault(way, []).append(passed)
    return results


def tested_ways(results: dict[str, dict[str, list[bool]]]) -> dict[str, list[str]]:
    """Every kernel with native tests, and the ways all of its tests passed."""
    return {
        kernel: [way for way in WAYS if all(ways.get(way, [False]))]
        for kernel, ways in results.items()
        if "native" in ways
    }


def main(path: str) -> None:
    lines = []
    untested = []
    for kind, kernel_test in KINDS.items():
        kernels = tested_ways(outcomes(path, kernel_test))
        if not kernels:
            sys.exit(f"check: no {kind} kernel tests in {path}")
        lines.append(
            f"{kind} kernels: "
            + ", ".join(
                f"{kernel} {'+'.join(how) or 'UNTESTED'}" for kernel, how in kernels.items()
            )
        )
        untested += [f"{kind} {kernel}" for kernel, how in kernels.items() if not how]
    print("; ".join(lines))
    if untested:
        sys.exit("check: kernels tested neither natively nor emulated: " + ", ".join(untested))


if __name__ == "__main__":
    main(sys.argv[1])
