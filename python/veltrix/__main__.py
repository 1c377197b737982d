"""``python -m veltrix``: the same as the ``veltrix`` command."""

from veltrix.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
