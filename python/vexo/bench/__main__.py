"""Entry point of `python -m vexo.bench`."""

from .cli import main

raise SystemExit(main())
