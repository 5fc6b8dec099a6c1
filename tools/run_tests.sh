#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs all tests (unit, end-to-end against the simulated board, and the fault
# campaign): cmake --workflow --preset test. Installs the packages it needs
# first when some are missing.
#
#   tools/run_tests.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/ensure_packages.sh

ensure_packages cmake make g++ libgtest-dev
echo "== tests (cmake --workflow --preset test)"
cmake --workflow --preset test
