#!/bin/sh
# Builds the Python package's wheel, DIR/pipeword-VERSION-py3-none-any.whl (DIR is dist/
# unless given), with its SHA-256 sum beside it (NAME.sha256), and prints both paths. The
# version is project()'s in CMakeLists.txt; python/pipeword_build.py builds it with Python's
# standard library alone. The same sources give the same bytes at any time: every member is
# dated SOURCE_DATE_EPOCH (the commit's time unless the caller sets it:
# scripts/source-date-epoch.sh), in a fixed order, with fixed modes.
# Usage: sh scripts/wheel.sh [DIR]
set -e
cd "$(dirname "$0")/.."
. scripts/source-date-epoch.sh
dist=${1:-dist}
mkdir -p "$dist"
rm -f "$dist"/pipeword-*-py3-none-any.whl "$dist"/pipeword-*-py3-none-any.whl.sha256
wheel=$(python3 python/pipeword_build.py "$dist")
(cd "$dist" && name=$(basename "$wheel") && sha256sum "$name" >"$name.sha256")
printf '%s\n' "$wheel" "$wheel.sha256"
