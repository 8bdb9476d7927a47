#!/usr/bin/env bash
# Runs the fake-client suite on Debian's debug interpreter (python3.11d), whose
# reference-count checks and C API assertions catch what a sanitizer cannot:
# a negative reference count, a call made with an exception pending, a
# borrowed reference used after the object died. -X dev adds the checks of
# Python's memory allocators and shows ResourceWarnings.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

if ! command -v python3.11d >/dev/null || ! python3.11d -c "import ensurepip" 2>/dev/null; then
    flock /tmp/apt.lock apt-get install -y -q python3.11-dbg python3.11-dev python3.11-venv ||
        { flock /tmp/apt.lock apt-get update -q && flock /tmp/apt.lock apt-get install -y -q \
            python3.11-dbg python3.11-dev python3.11-venv; }
fi

venv=build/debug-venv
[ -x "$venv/bin/python" ] || python3.11d -m venv "$venv"
# The test extras, tqdm, fsspec and universal_pathlib, but not pyftpdlib: the fake-client tests need no FTP server
# (the modules of the others are still imported to be left out).
"$venv/bin/python" -m pip install --quiet pytest pytest-timeout cryptography tqdm fsspec universal_pathlib
# A Debug build keeps the assertions of the C API's inline functions and macros.
CORVANE_WERROR=ON "$venv/bin/python" -m pip install --quiet --no-deps --force-reinstall \
    --config-settings=build-dir=build/debug --config-settings=cmake.build-type=Debug .
"$venv/bin/python" -P -c "import sys, corvane.ftp.path as m; sys.exit(0 if hasattr(sys, 'gettotalrefcount') and '311d' in m.__file__ else 'not the debug build: ' + m.__file__)"

# The tests that need neither a real server nor the fault server (nor pyftpdlib).
"$venv/bin/python" -X dev -P -m pytest -q -p no:cacheprovider --fake-client-only "$@"
