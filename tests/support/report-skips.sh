#!/usr/bin/env bash
# Runs a Qt Test program (or a runner script around one) for CTest, and turns "passed, but skipped
# a test function" into exit status 77, which the tests register as a skip (SKIP_RETURN_CODE): a
# QSKIP alone leaves the status at 0, and CTest would call the test passed. A failing status is
# kept as it is, whatever skipped.
# Usage: report-skips.sh COMMAND...
set -uo pipefail

output=$(mktemp)
trap 'rm -f "$output"' EXIT
"$@" 2>&1 | tee "$output"
status=${PIPESTATUS[0]}
if [ "$status" -eq 0 ] && grep -q '^SKIP   : ' "$output"; then
    exit 77
fi
exit "$status"
