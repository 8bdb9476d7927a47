"""`python -m corvane.ftp`: the corvane-ftp command line."""

from corvane.ftp.cli import main

raise SystemExit(main())
