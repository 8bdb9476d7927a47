#!/usr/bin/env bash
# The package as a user gets it: `pip wheel .` builds a wheel that installs into a fresh virtual
# environment (no system packages) and works there, away from the source folder: imports, the
# corvane-ftp command, the types (mypy --strict on examples/typed_usage.py) and that example run.
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 -m pip wheel --quiet --no-deps --wheel-dir "$work/dist" .
python3 -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet "$work"/dist/corvane_ftp-*.whl
cd "$work"  # the source folder must not be what gets imported
venv/bin/python -c "import corvane.ftp.path, corvane.ftp.cli, importlib.resources as r; \
assert r.files('corvane').joinpath('py.typed').is_file(); assert r.files('corvane.ftp').joinpath('path.pyi').is_file()"
venv/bin/corvane-ftp --version
# mypy comes with the test extra; --python-executable makes it read the fresh environment's packages.
python3 -m mypy --strict --python-executable venv/bin/python "$project/examples/typed_usage.py"
# The command line's modules are typed inline; the modules they import are checked elsewhere.
(cd "$project/src" && python3 -m mypy --follow-imports=silent corvane/ftp/{cli,commands,progress,serve,target,terminal}.py)
venv/bin/python "$project/examples/typed_usage.py" > example.out
echo "package check: the wheel installs, imports, types and runs in a fresh environment"
