"""``python -m corvanti``: the same as the ``corvanti`` command."""

from corvanti.cli import main

raise SystemExit(main())
