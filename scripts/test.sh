#!/usr/bin/env bash
# The whole test suite on a fresh machine: installs what it needs (apt and pip),
# builds the extension with warnings as errors, runs pytest (the tests start and
# stop their FTP servers), checks the wheel in a fresh environment, then runs the suite
# again on a sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

bash scripts/install-ftp-servers.sh
CORVANE_WERROR=ON python3 -m pip install --quiet ".[test]"
# -P: import the installed package, not the source folder beside us.
python3 -P -m pytest -ra "$@"
bash scripts/check-package.sh
bash scripts/sanitize.sh "$@"
