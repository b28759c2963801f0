#!/usr/bin/env bash
# The shipped systemd unit, logrotate file and Prometheus files are what their
# tools accept, the unit's command line is one quorvix-host accepts, and the
# alert rules fire on what they are for.
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
# nginx in front, with TLS as the README installs it: the site's file with
# quorvix-tls.conf included, a throw-away certificate in its place.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -keyout "$work/privkey.pem" \
  -out "$work/fullchain.pem" 2>/dev/null
sed "s#/etc/ssl/quorvix/#$work/#" "$source_dir/deploy/nginx/quorvix-tls.conf" > "$work/quorvix-tls.conf"
sed -e "s#listen 80;#listen 127.0.0.1:8443 ssl; include $work/quorvix-tls.conf;#" \
    -e "s#/var/log/nginx/#$work/#" "$source_dir/deploy/nginx/quorvix.conf" > "$work/quorvix.conf"
mkdir "$work/nginx"
printf 'events {}\nhttp {\n include %s;\n}\n' "$work/quorvix.conf" > "$work/nginx.conf"
nginx -t -q -p "$work/nginx/" -e "$work/nginx-error.log" -c "$work/nginx.conf" 2>&1 || {
  echo "nginx refuses deploy/nginx/quorvix.conf with quorvix-tls.conf" >&2
  exit 1
}

# The monitoring's files: the scrape configuration with its rules, and the
# alerts fired on what they are for (tests/e2e/prometheus-rules.test.yml).
cp "$source_dir/deploy/prometheus/quorvix-rules.yml" "$source_dir/deploy/prometheus/prometheus.yml" \
  "$(dirname "$0")/prometheus-rules.test.yml" "$work/"
promtool check config "$work/prometheus.yml" >/dev/null
(cd "$work" && promtool test rules prometheus-rules.test.yml >/dev/null) || {
  (cd "$work" && promtool test rules prometheus-rules.test.yml) >&2
  exit 1
}
echo "deploy files: unit, command line, logrotate file, scrape configuration and alert rules accepted"
