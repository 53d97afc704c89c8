"""Entry point of `python -m vexo.bench.dask`."""

from .cli import main

raise SystemExit(main())
