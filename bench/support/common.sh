# Sourced by the benchmark scripts: the Debian packages they load and compare
# with, a work folder that goes away on exit together with every process the
# script started (each stopped by its process id), free loopback ports, nginx
# instances, and the CPU time and resident memory of processes.

# Installs those of the given Debian packages that are missing.
bench_require_packages() {
  local package missing=()
  for package in "$@"; do
    [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true) == "install ok installed" ]] || missing+=("$package")
  done
  [[ ${#missing[@]} -eq 0 ]] && return
  local sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Sets work (a fresh folder) and pids (append each process started); both are
# cleaned up when the script exits, also on Ctrl-C or SIGTERM.
bench_start_workspace() {
  work=$(mktemp -d)
  pids=()
  trap bench_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}
bench_cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}

# A loopback port free at the time of asking.
bench_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Waits up to 10 s for a line matching $2 in file $1.
bench_wait_for_line() {
  local _
  for _ in $(seq 100); do grep -q "$2" "$1" && return; sleep 0.1; done
  echo "no '$2' in $1:" >&2
  cat "$1" >&2
  exit 1
}

# Starts nginx named $1 in the foreground of a job, with the http block's
# content read from standard input; waits until it answers on 127.0.0.1:$2,
# and sets nginx_pid to its master process. Its folder $work/$1 holds its
# files and is the place for any it serves: started as root, nginx hands that
# folder, its temporary one, to the user its workers run as.
bench_start_nginx() {
  local name=$1 port=$2 dir="$work/$1" _
  mkdir -p "$dir"
  chmod o+x "$work"  # for those workers, to reach $dir
  {
    cat <<CONF
worker_processes auto;
worker_rlimit_nofile 16384;
pid $dir/nginx.pid;
error_log $dir/error.log;
daemon off;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $dir; proxy_temp_path $dir; fastcgi_temp_path $dir;
  uwsgi_temp_path $dir; scgi_temp_path $dir;
CONF
    cat
    echo "}"
  } > "$dir/nginx.conf"
  nginx -c "$dir/nginx.conf" -p "$dir" &
  nginx_pid=$!
  pids+=("$nginx_pid")
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && return
    kill -0 "$nginx_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "nginx $name did not start:" >&2
  cat "$dir/error.log" >&2
  exit 1
}

# The worker processes of the nginx whose master is $1.
bench_nginx_workers() { ps -o pid= --ppid "$1" | tr -d ' '; }

# User + system CPU time of the given processes together, in clock ticks.
bench_cpu_ticks() {
  local pid total=0
  # Fields counted after the command name, which may hold spaces.
  for pid in "$@"; do
    [[ -r /proc/$pid/stat ]] || { echo "process $pid has ended" >&2; return 1; }
    total=$((total + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{print $12 + $13}')))
  done
  echo "$total"
}

# Resident memory of the given processes together, in kB.
bench_rss_kb() {
  local pid total=0
  for pid in "$@"; do
    [[ -r /proc/$pid/status ]] || { echo "process $pid has ended" >&2; return 1; }
    total=$((total + $(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")))
  done
  echo "$total"
}

# Time the hypervisor gave to other machines (steal in /proc/stat), as a share
# of all the machine's time since bench_steal_start. On a shared host a run
# with much of it measured the neighbours as much as the programs.
bench_steal_start() { steal_since=$(awk '/^cpu / {print $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9}' /proc/stat); }
bench_steal_report() {
  local now
  now=$(awk '/^cpu / {print $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9}' /proc/stat)
  awk -v since="$steal_since" -v now="$now" 'BEGIN {
    split(since, a, " "); split(now, b, " ")
    total = b[2] - a[2]
    printf "machine time stolen by the hypervisor meanwhile: %.1f %%\n", (total > 0 ? 100 * (b[1] - a[1]) / total : 0)
  }'
}
