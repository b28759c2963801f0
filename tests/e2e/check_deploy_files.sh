#!/usr/bin/env bash
# The shipped systemd unit and logrotate file are what their tools accept, and
# the unit's command line is one quorvix-host accepts.
#   check_deploy_files.sh SOURCE_DIR QUORVIX_HOST
set -euo pipefail
source_dir=$1
host=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

unit="$source_dir/deploy/systemd/quorvix-host@.service"
# An instance of the template, its binary the one just built.
sed "s#/usr/local/bin/quorvix-host#$host#" "$unit" > "$work/quorvix-host@8081.service"
verify=$(cd "$work" && systemd-analyze verify "./quorvix-host@8081.service" 2>&1) || {
  echo "systemd-analyze verify failed: $verify" >&2
  exit 1
}
# Unknown keys and bad values are only warnings to it.
if grep -F "quorvix-host@" <<<"$verify" >&2; then
  echo "systemd-analyze warns about the unit" >&2
  exit 1
fi

# Every option of ExecStart, then --help: the host stops at the first it refuses.
command_line=$(sed -n '/^ExecStart=/,/[^\\]$/p' "$work/quorvix-host@8081.service" | sed -e 's/^ExecStart=//' -e 's/\\$//' |
  tr '\n' ' ' | sed 's/%i/8081/g')
read -r -a words <<<"$command_line"
"${words[@]}" --help >/dev/null

logrotate --debug --state "$work/state" "$source_dir/deploy/logrotate/quorvix" > "$work/logrotate.out" 2>&1 || {
  cat "$work/logrotate.out" >&2
  exit 1
}
if grep -i "error" "$work/logrotate.out" >&2; then exit 1; fi
echo "deploy files: unit, command line and logrotate file accepted"
