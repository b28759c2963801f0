#!/usr/bin/env bash
# The module must export exactly the host's entry points, the statistics
# exports, the heartbeat status, the error-page counts and the trace file's
# reopening, nothing else.
set -euo pipefail
module=$1
expected=$'GetErrorPageCountsEntry\nGetExtensionVersion\nGetHeartbeatStatusEntry\nGetPoolStatsEntry\nGetSSLPoolStatsEntry\nHttpExtensionProc\nReopenTraceFile\nTerminateExtension'
actual=$(nm -D --defined-only "$module" | awk '{print $3}' | sort)
if [[ "$actual" != "$expected" ]]; then
  echo "unexpected exports of $module:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
