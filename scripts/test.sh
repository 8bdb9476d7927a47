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

# The package check and the debug interpreter's run start no server and leave the
# system's packages alone: they run beside the main run, which waits on its servers
# for most of its time (about half a core's work on two cores).
side="$(mktemp -d)"
( rc=0; bash scripts/check-package.sh > "$side/package.log" 2>&1 || rc=$?; echo $rc > "$side/package.rc" ) &
( rc=0; bash scripts/debug-python.sh > "$side/debug.log" 2>&1 || rc=$?; echo $rc > "$side/debug.rc" ) &
status=0
# -P: import the installed package, not the source folder beside us.
python3 -P -m pytest -ra "$@" || status=$?
wait
for part in package debug; do
    echo "---- $part"
    cat "$side/$part.log"
    [ "$(cat "$side/$part.rc")" = 0 ] || status=1
done
rm -rf "$side"
[ "$status" = 0 ] || exit "$status"

bash scripts/sanitize.sh "$@"
# Every benchmark scenario once on small data, on loopback and behind a 5 ms
# link (about a minute and a half), so that the benchmark cannot rot; its figures
# are not judged, and 20 ms would only make the same steps slower.
results="$(mktemp -d)"
timeout 300 python3 -m bench --quick --rtt 5 --out "$results"
rm -rf "$results"
