#!/usr/bin/env bash
# The whole test suite on a fresh machine: installs what it needs (apt and pip),
# builds the extension with warnings as errors, runs pytest (the tests start and
# stop their FTP servers), checks the wheel in a fresh environment, then runs the
# suite again on a sanitizer build and the fake-client tests on a debug
# interpreter, and the benchmark once on small data.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

bash scripts/install-ftp-servers.sh
CORVANE_WERROR=ON python3 -m pip install --quiet ".[test,bench]"
# -P: import the installed package, not the source folder beside us.
python3 -P -m pytest -ra "$@"
bash scripts/check-package.sh
bash scripts/sanitize.sh "$@"
bash scripts/debug-python.sh
# Every benchmark scenario once on small data, on loopback and behind a 5 ms
# link (about a minute and a half), so that the benchmark cannot rot; its figures
# are not judged, and 20 ms would only make the same steps slower.
results="$(mktemp -d)"
timeout 300 python3 -m bench --quick --rtt 5 --out "$results"
rm -rf "$results"
