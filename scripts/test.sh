#!/usr/bin/env bash
# The whole test suite on a fresh machine: installs what it needs (apt and pip),
# builds the extension with warnings as errors, and runs pytest; the tests start
# and stop the FTP servers themselves.
set -euo pipefail
cd "$(dirname "$0")/.."

CORVANE_WERROR=ON python3 -m pip install --quiet --disable-pip-version-check -e ".[test]"
python3 -m pytest -ra "$@"
