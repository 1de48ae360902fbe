#!/bin/bash
# Benchmarks vettrix-service on loopback against nginx serving a static file of the lookup page's
# size, with wrk: requests/s and p99 latency of /ver, the lookup page and /api/v1/imei/, and the
# service's resident memory after a thousand and after a million requests, with 1 and 2 serving
# threads. Then several instances on one PostgreSQL: requests/s through nginx with one and with
# two instances, the time from a publication's commit until every instance serves it, and
# submissions/s with PostgreSQL against SQLite. The bulk check: 1,000 IMEIs a request to
# POST /api/v1/imei against 1,000 single GETs, each over one kept-alive connection. Writes the
# sections "## Web service" and "## Several machines" of bench/RESULTS.md. The cost of metrics: an
# instance that keeps them (--metrics-listen), scraped every second, against one that does not.
#
# usage: bench/service.sh   (as root on Debian 12; VETTRIX_BUILD_DIR picks the build, default build)
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD
BUILD=${VETTRIX_BUILD_DIR:-build}
DATABASE=data/mobidex.csv
THREAD_COUNTS=(1 2)
CONNECTIONS=64
ROUNDS=${BENCH_ROUNDS:-5}  # BENCH_ROUNDS, BENCH_DURATION, BENCH_MEMORY_TOTAL: a quick trial run
DURATION=${BENCH_DURATION:-10s}
WARMUP=2s
MEMORY_FIRST=1000
MEMORY_TOTAL=${BENCH_MEMORY_TOTAL:-1000000}
GROWTH_LIMIT_MIB=5  # "the same after a million as after a thousand, within a few MB"

for tool in wrk nginx curl python3 pg_ctlcluster; do
  if ! command -v "$tool" >/dev/null; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y wrk nginx curl python3 postgresql
    break
  fi
done

# The Release build, brought up to date so that the figures belong to this commit.
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release
fi
if ! grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$BUILD/CMakeCache.txt"; then
  echo "bench/service.sh: $BUILD is not a Release build; set VETTRIX_BUILD_DIR" >&2
  exit 2
fi
cmake --build "$BUILD" -j2 --target vettrix-service
SERVICE_BIN=$(realpath "$BUILD/vettrix-service")

WORK=$(mktemp -d /tmp/vettrix-bench-service.XXXXXX)
chmod 755 "$WORK"  # nginx's workers run as nobody and read the static file here
NGINX_PID=
SCRAPER_PID=
declare -A SVC_PID SVC_LOG SVC_ADDR  # by a key of the run's choosing
PG=$WORK/postgres
LB_PID=
cleanup() {
  if [ -n "$SCRAPER_PID" ]; then kill -TERM "$SCRAPER_PID" 2>/dev/null || true; fi
  for pid in "${SVC_PID[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  if [ -n "$NGINX_PID" ]; then kill -TERM "$NGINX_PID" 2>/dev/null || true; fi
  if [ -n "$LB_PID" ]; then kill -TERM "$LB_PID" 2>/dev/null || true; fi
  if [ -f "$PG/data/postmaster.pid" ]; then tools/pg-test-cluster stop "$PG" || true; fi
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

thousands() { echo "$1" | sed ':a; s/\B[0-9]\{3\}\>/,&/; ta'; }
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# --- the service ------------------------------------------------------------------------------

start_service() {  # KEY THREADS [OPTION...]: a service with a folder and a log of its own
  local log="$WORK/service-$1.log" data="$WORK/data-$1" address threads=$2
  mkdir -p "$data"
  "$SERVICE_BIN" serve --data "$data" --initial-database "$REPO/$DATABASE" \
    --listen 127.0.0.1:0 --threads "$threads" "${@:3}" 2>"$log" &
  SVC_PID[$1]=$!
  SVC_LOG[$1]=$log
  for _ in $(seq 100); do
    address=$(sed -n 's/^.*listening on //p' "$log" | head -n 1)  # after the line's time
    if [ -n "$address" ]; then
      SVC_ADDR[$1]=$address
      return 0
    fi
    sleep 0.1
  done
  echo "bench/service.sh: the service did not start:" >&2
  cat "$log" >&2
  exit 1
}
stop_service() {  # KEY
  local pid=${SVC_PID[$1]} status=0
  unset "SVC_PID[$1]"
  kill -TERM "$pid"
  wait "$pid" || status=$?
  if [ "$status" != 0 ]; then
    echo "bench/service.sh: the service exited with $status on SIGTERM" >&2
    exit 1
  fi
}
memory_mib() {  # KEY FIELD: VmRSS or VmHWM of a running service, in MiB
  awk -v f="$2:" '$1 == f { printf "%.1f", $2 / 1024 }' "/proc/${SVC_PID[$1]}/status"
}
log_lines() {  # KEY
  wc -l <"${SVC_LOG[$1]}"
}

# --- the inputs -------------------------------------------------------------------------------

# Varied IMEIs, computed here: valid ones on known TACs, the same with a wrong check digit,
# valid ones on TACs the database lacks, and other forms (dashes, 14 and 16 digits, a TAC alone,
# letters, too short). Shuffled with a fixed seed.
awk -F, '
  function check(s,   i, d, sum) {
    for (i = 1; i <= 14; i++) {
      d = substr(s, i, 1) + 0
      if (i % 2 == 0) { d *= 2; if (d > 9) d -= 9 }
      sum += d
    }
    return (10 - sum % 10) % 10
  }
  function serial() { seed = (seed * 69069 + 1) % 4294967296; return sprintf("%06d", seed % 1000000) }
  length($1) == 8 && $1 ~ /^[0-9]+$/ && $1 != "00000000" { known[$1] = 1; tacs[++n] = $1 }
  END {
    seed = 20240601
    for (k = 1; k <= 100; k++) {
      t = tacs[int(k * n / 101)]; s = t serial()
      out[++m] = s check(s)
      if (k <= 60) out[++m] = s ((check(s) + 1 + k % 9) % 10)
      if (k <= 20) out[++m] = substr(s, 1, 2) "-" substr(s, 3, 6) "-" substr(s, 9, 6) "-" check(s)
      if (k <= 10) { out[++m] = s; out[++m] = s sprintf("%02d", k); out[++m] = t }
    }
    for (k = 0; u < 40; k++) {
      t = sprintf("%08d", (k * 4682287 + 86028121) % 100000000)
      if (t in known) continue
      s = t serial(); out[++m] = s check(s); u++
      if (u <= 5) out[++m] = substr(s, 1, 9) "A" substr(s, 11, 4) check(s)
      if (u <= 5) out[++m] = substr(s, 1, 3 + u)
    }
    srand(7)
    for (k = m; k > 1; k--) { j = int(rand() * k) + 1; x = out[k]; out[k] = out[j]; out[j] = x }
    for (k = 1; k <= m; k++) print out[k]
  }' "$DATABASE" >"$WORK/imeis.txt"
IMEI_COUNT=$(wc -l <"$WORK/imeis.txt")

# A wrk script that walks a list of requests, each thread from its own place in it; with a
# number after "--", each thread stops after that many answers.
write_wrk_script() {  # FILE, the requests as Lua table rows on standard input
  {
    echo "local rows = {"
    cat
    cat <<'LUA'
}
local count = 0
function setup(thread)
  count = count + 1
  thread:set("first", count * 97)
end
local requests, i, answers = {}, 0, 0
function init(args)
  for k, row in ipairs(rows) do
    requests[k] = wrk.format(row[1], row[2], row[3], row[4])
  end
  i = (first or 0) % #requests
  limit = tonumber(args[1])
  -- Only then: a response callback costs wrk time on every answer.
  if limit then
    function response()
      answers = answers + 1
      if answers >= limit then wrk.thread:stop() end
    end
  end
end
function request()
  i = i % #requests + 1
  return requests[i]
end
LUA
  } >"$1"
}
awk '{ printf "{\"GET\", \"/?imei=%s\"},\n", $0 }' "$WORK/imeis.txt" | write_wrk_script "$WORK/lookup.lua"
awk '{ printf "{\"GET\", \"/api/v1/imei/%s\"},\n", $0 }' "$WORK/imeis.txt" | write_wrk_script "$WORK/api.lua"
# The bulk check: the list taken in turn up to 1,000 IMEIs, in one request or one request each.
BULK=1000
awk -v n="$BULK" '{ l[NR] = $0 } END { for (k = 0; k < n; k++) print l[k % NR + 1] }' \
  "$WORK/imeis.txt" >"$WORK/bulk.txt"
awk '{ printf "{\"GET\", \"/api/v1/imei/%s\"},\n", $0 }' "$WORK/bulk.txt" | write_wrk_script "$WORK/single.lua"
awk 'BEGIN { printf "{\"POST\", \"/api/v1/imei\", {[\"Content-Type\"] = \"application/json\"}, '"'"'{\"imeis\": [" }
  { printf "%s\"%s\"", (NR > 1 ? ", " : ""), $0 }
  END { print "]}'"'"'}," }' "$WORK/bulk.txt" | write_wrk_script "$WORK/bulk.lua"

# --- wrk --------------------------------------------------------------------------------------

# One measured wrk run after a warm-up; prints "requests/s p99_ms bytes_per_answer errors".
measure() {  # NAME URL [LUA [CONNECTIONS]]: wrk's threads as many as the connections, 2 at most
  local script=() connections=${4:-$CONNECTIONS}
  [ -n "${3:-}" ] && script=(-s "$3")
  local threads=$((connections < 2 ? connections : 2))
  wrk -t"$threads" -c"$connections" -d"$WARMUP" "${script[@]}" "$2" >/dev/null
  wrk -t"$threads" -c"$connections" -d"$DURATION" --latency "${script[@]}" "$2" >"$WORK/wrk-$1.txt"
  awk '
    function ms(v) {
      if (v ~ /us$/) return v / 1000
      if (v ~ /ms$/) return v + 0
      if (v ~ /s$/) return v * 1000
      return v + 0
    }
    function bytes(v) {
      if (v ~ /GB$/) return v * 1073741824
      if (v ~ /MB$/) return v * 1048576
      if (v ~ /KB$/) return v * 1024
      return v + 0
    }
    $1 == "99%" { p99 = ms($2) }
    $1 == "Requests/sec:" { rate = $2 }
    $1 == "Transfer/sec:" { transfer = bytes($2) }
    /Non-2xx or 3xx responses:/ { errors += $NF }
    /Socket errors:/ { for (k = 3; k <= NF; k += 2) { v = $(k + 1); sub(",", "", v); errors += v } }
    END { printf "%.0f %.2f %.0f %d\n", rate, p99, transfer / rate, errors }' "$WORK/wrk-$1.txt"
}

# --- nginx ------------------------------------------------------------------------------------

NGINX_PREFIX="$WORK/nginx"
NGINX_PORT=$(free_port)
mkdir -p "$NGINX_PREFIX/html" "$NGINX_PREFIX/logs"
chmod 755 "$NGINX_PREFIX" "$NGINX_PREFIX/html"
# The same security headers as the service's, so that both answers carry as many bytes; kept-alive
# connections as long as the service keeps them; one access log line per request, as the service
# logs each request to its standard error, redirected to a file here. reuseport spreads the
# connections evenly over the two workers, as the service spreads its work over its threads; without
# it one worker often takes most of the 64, and nginx's rate swings from run to run.
cat >"$NGINX_PREFIX/nginx.conf" <<EOF
worker_processes 2;
daemon off;
pid $NGINX_PREFIX/nginx.pid;
error_log $NGINX_PREFIX/logs/error.log warn;
events { worker_connections 1024; }
http {
  types { text/html html; }
  access_log $NGINX_PREFIX/logs/access.log;
  sendfile on;
  tcp_nodelay on;
  keepalive_requests 10000000;
  keepalive_timeout 15s;
  server {
    listen 127.0.0.1:$NGINX_PORT reuseport;
    root $NGINX_PREFIX/html;
    add_header Content-Security-Policy "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'";
    add_header X-Content-Type-Options nosniff;
    add_header Referrer-Policy no-referrer;
    add_header Cache-Control no-cache;
  }
}
EOF

# The static file: one real lookup page of the service.
LOOKED_UP=35-209900-176148-1
start_service page 2
curl -sf "http://${SVC_ADDR[page]}/?imei=$LOOKED_UP" >"$NGINX_PREFIX/html/lookup.html"
ETAG=$(curl -sfI "http://${SVC_ADDR[page]}/mobidex.csv" | tr -d '\r' | sed -n 's/^[Ee][Tt]ag: //p')
stop_service page
PAGE_BYTES=$(wc -c <"$NGINX_PREFIX/html/lookup.html")
chmod 644 "$NGINX_PREFIX/html/lookup.html"

nginx -p "$NGINX_PREFIX" -c "$NGINX_PREFIX/nginx.conf" &
NGINX_PID=$!
for _ in $(seq 50); do
  curl -sf -o /dev/null "http://127.0.0.1:$NGINX_PORT/lookup.html" && break
  sleep 0.1
done
curl -sf -o /dev/null "http://127.0.0.1:$NGINX_PORT/lookup.html"

# The mix for the memory runs: every kind of answer, errors too (404, 304, a POST of TACs).
KNOWN_TAC=35209900
{
  awk '{ printf "{\"GET\", \"/?imei=%s\"},\n{\"GET\", \"/api/v1/imei/%s\"},\n", $0, $0 }' \
    "$WORK/imeis.txt"
  for _ in $(seq 20); do
    echo '{"GET", "/ver"}, {"GET", "/dbver"}, {"GET", "/"}, {"GET", "/style.css"},'
    echo "{\"GET\", \"/api/v1/tac/$KNOWN_TAC\"}, {\"GET\", \"/api/v1/tac/12345678\"},"
    echo '{"GET", "/api/v1/database"}, {"GET", "/no/such/page"}, {"GET", "/submissions/999"},'
    echo "{\"GET\", \"/mobidex.csv\", {[\"If-None-Match\"] = '$ETAG'}},"
    echo "{\"POST\", \"/api/v1/tac\", {[\"Content-Type\"] = \"application/json\"}, '{\"tacs\": [\"$KNOWN_TAC\", \"12345678\", \"x\"]}'},"
    echo "{\"POST\", \"/api/v1/imei\", {[\"Content-Type\"] = \"application/json\"}, '{\"imeis\": [\"$LOOKED_UP\", \"$KNOWN_TAC\", 7]}'},"
  done
  echo '{"GET", "/favicon.svg"}, {"GET", "/mobidex.csv"},'
} | write_wrk_script "$WORK/mix.lua"
MIX_COUNT=$(grep -o '{"[A-Z]*", ' "$WORK/mix.lua" | wc -l)

# Drives the mix until service KEY has logged COUNT requests since line BEFORE of its log: each
# wrk thread stops after its share, and wrk itself once the log has them all.
drive_until() {  # KEY COUNT BEFORE
  local share=$((($2 - ($(log_lines "$1") - $3) + 1) / 2))
  wrk -t2 -c"$CONNECTIONS" -d600s -s "$WORK/mix.lua" "http://${SVC_ADDR[$1]}" -- "$share" \
    >"$WORK/wrk-$1-$2.txt" &
  local wrk_pid=$!
  while kill -0 "$wrk_pid" 2>/dev/null && [ $(($(log_lines "$1") - $3)) -lt "$2" ]; do
    sleep 0.2
  done
  sleep 0.2  # the answers in flight
  kill -INT "$wrk_pid" 2>/dev/null || true
  wait "$wrk_pid" || true
}

# --- the runs ---------------------------------------------------------------------------------

declare -A R  # R[nginx], R[run-threads]="requests/s p99_ms bytes errors lowest highest"
declare -A M  # M[threads]="requests1 rss1 hwm1 requests2 rss2 hwm2"
declare -A STATUSES  # STATUSES[threads]="200: n, 304: n, ..."
# The median of each figure over the rounds (one "requests/s p99 bytes errors" line each), the
# errors added up, and the lowest and highest rate.
summary() {
  local median=$(((ROUNDS + 1) / 2))
  local rate p99 bytes
  rate=$(echo "$1" | awk '{ print $1 }' | sort -g | sed -n "${median}p")
  p99=$(echo "$1" | awk '{ print $2 }' | sort -g | sed -n "${median}p")
  bytes=$(echo "$1" | awk '{ print $3 }' | sort -g | sed -n "${median}p")
  echo "$1" | awk -v r="$rate" -v p="$p99" -v b="$bytes" '
    NR == 1 || $1 < low { low = $1 } NR == 1 || $1 > high { high = $1 } { e += $4 }
    END { print r, p, b, e, low, high }'
}

# Every thread count runs at once (an idle one costs nothing), and each round takes nginx and
# every URL of every thread count in turn: a slow spell of the shared machine falls on all alike.
for threads in "${THREAD_COUNTS[@]}"; do start_service "t$threads" "$threads"; done
# The cost of metrics: the default thread count keeping them, scraped every second (Prometheus
# scrapes every 15 s to a minute as commonly set up).
start_service metrics 2 --metrics-listen 127.0.0.1:0
METRICS_ADDR=
for _ in $(seq 50); do
  METRICS_ADDR=$(sed -n 's/^.*metrics and health checks on //p' "${SVC_LOG[metrics]}" | head -n 1)
  [ -n "$METRICS_ADDR" ] && break
  sleep 0.1
done
(while :; do curl -sf -o /dev/null "http://$METRICS_ADDR/metrics"; sleep 1; done) &
SCRAPER_PID=$!
declare -A ROUND=()
for round in $(seq "$ROUNDS"); do
  echo "== round $round of $ROUNDS" >&2
  ROUND[nginx]+="$(measure "nginx-$round" "http://127.0.0.1:$NGINX_PORT/lookup.html")"$'\n'
  for threads in "${THREAD_COUNTS[@]}"; do
    address=${SVC_ADDR[t$threads]}
    ROUND[ver-$threads]+="$(measure "ver-$threads-$round" "http://$address/ver")"$'\n'
    ROUND[lookup-$threads]+="$(measure "lookup-$threads-$round" "http://$address" \
      "$WORK/lookup.lua")"$'\n'
    ROUND[api-$threads]+="$(measure "api-$threads-$round" "http://$address" "$WORK/api.lua")"$'\n'
  done
  for run in lookup api; do
    ROUND[$run-metrics]+="$(measure "$run-metrics-$round" "http://${SVC_ADDR[metrics]}" \
      "$WORK/$run.lua")"$'\n'
  done
  # The bulk check on one kept-alive connection, against the default thread count.
  for way in bulk single; do
    ROUND[$way]+="$(measure "$way-$round" "http://${SVC_ADDR[t2]}" "$WORK/$way.lua" 1)"$'\n'
  done
done
for threads in "${THREAD_COUNTS[@]}"; do stop_service "t$threads"; done
kill -TERM "$SCRAPER_PID"
wait "$SCRAPER_PID" 2>/dev/null || true
SCRAPER_PID=
SCRAPES=$(grep -c 'GET /metrics 200' "${SVC_LOG[metrics]}" || true)
stop_service metrics
for run in "${!ROUND[@]}"; do R[$run]=$(summary "${ROUND[$run]%$'\n'}"); done

# Memory on a fresh process for each thread count: a thousand requests, then on to a million.
for threads in "${THREAD_COUNTS[@]}"; do
  echo "== memory, --threads $threads" >&2
  key=m$threads
  start_service "$key" "$threads"
  before=$(log_lines "$key")
  drive_until "$key" "$MEMORY_FIRST" "$before"
  first=$(($(log_lines "$key") - before))
  first_rss=$(memory_mib "$key" VmRSS) first_hwm=$(memory_mib "$key" VmHWM)
  drive_until "$key" "$MEMORY_TOTAL" "$before"
  total=$(($(log_lines "$key") - before))
  M[$threads]="$first $first_rss $first_hwm $total $(memory_mib "$key" VmRSS) $(memory_mib "$key" VmHWM)"
  STATUSES[$threads]=$(awk '$NF ~ /us$/ { n[$(NF - 2)]++ }
    END { for (s in n) printf "%s %d\n", s, n[s] }' "${SVC_LOG[$key]}" | sort |
    while read -r status count; do printf '%s: %s, ' "$status" "$(thousands "$count")"; done |
    sed 's/, $//')
  stop_service "$key"
done
kill -TERM "$NGINX_PID"
wait "$NGINX_PID" || true
NGINX_PID=
NGINX_LOG_LINES=$(wc -l <"$NGINX_PREFIX/logs/access.log")

# --- several machines -------------------------------------------------------------------------

# Two instances (one serving thread each: the machine has two cores) on one PostgreSQL cluster,
# with nginx in front as the load balancer, its upstream one instance or both.
echo "== several machines" >&2
tools/pg-test-cluster start "$PG" >/dev/null
STORE=(--store "$(cat "$PG/tcp-uri")" --store-password-file "$PG/password")
"$SERVICE_BIN" "${STORE[@]}" migrate >/dev/null
"$SERVICE_BIN" "${STORE[@]}" publish "$REPO/$DATABASE" >/dev/null
SUBMITTERS=(--trusted-proxy 127.0.0.1 --submissions-per-hour 1000000)
start_service pg1 1 "${STORE[@]}" "${SUBMITTERS[@]}"
start_service pg2 1 "${STORE[@]}" "${SUBMITTERS[@]}"
LB_PREFIX="$WORK/lb"
LB_PORT=$(free_port)
mkdir -p "$LB_PREFIX/logs"
balance() {  # the instances nginx balances over, by key
  local servers=""
  for key in "$@"; do servers+="    server ${SVC_ADDR[$key]};"$'\n'; done
  cat >"$LB_PREFIX/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $LB_PREFIX/nginx.pid;
error_log $LB_PREFIX/logs/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  upstream vettrix {
$servers    keepalive 64;
  }
  server {
    listen 127.0.0.1:$LB_PORT;
    location / {
      proxy_pass http://vettrix;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for;
    }
  }
}
CONF
  if [ -n "$LB_PID" ]; then
    kill -TERM "$LB_PID"
    wait "$LB_PID" || true
  fi
  nginx -p "$LB_PREFIX" -c "$LB_PREFIX/nginx.conf" &
  LB_PID=$!
  for _ in $(seq 50); do
    curl -sf -o /dev/null "http://127.0.0.1:$LB_PORT/ver" && return
    sleep 0.1
  done
}
declare -A LB=()
for round in $(seq "$ROUNDS"); do
  for instances in 1 2; do
    if [ "$instances" = 1 ]; then balance pg1; else balance pg1 pg2; fi
    LB[$instances]+="$(measure "lb-$instances-$round" "http://127.0.0.1:$LB_PORT" "$WORK/lookup.lua")"$'\n'
  done
done
for instances in 1 2; do LB[$instances]=$(summary "${LB[$instances]%$'\n'}"); done

# From a publication's commit (the command returns once it is committed) until both instances
# serve it, polled every 5 ms.
PUBLISH_MS=()
for n in $(seq 2 11); do
  version=$(printf 'v1.27.%04d' "$n")
  {
    head -n -1 "$REPO/$DATABASE"
    printf 'VERSION_,%s,Osmocom TAC database CC-BY-SA 3.0\r\n' "$version"
  } >"$WORK/next.csv"
  "$SERVICE_BIN" "${STORE[@]}" publish "$WORK/next.csv" >/dev/null
  committed=$(date +%s%N)
  expected=$(echo "$version" | tr -d 'v.' | cut -c 2-)
  for key in pg1 pg2; do
    until [ "$(curl -sf "http://${SVC_ADDR[$key]}/dbver" | tr -d '\r')" = "$expected" ]; do
      sleep 0.005
    done
  done
  PUBLISH_MS+=("$((($(date +%s%N) - committed) / 1000000))")
done
PUBLISH=$(printf '%s\n' "${PUBLISH_MS[@]}" | sort -n |
  awk '{ a[NR] = $1 } END { printf "%d %d %d", a[1], a[int((NR + 1) / 2)], a[NR] }')

# Submissions: every one a new device from a client of its own, straight to one instance, with
# SQLite (a folder) and with PostgreSQL.
cat >"$WORK/submit.lua" <<'LUA'
local n, tags = 0, 0
function setup(thread)
  tags = tags + 1
  thread:set("tag", tags)
end
function request()
  n = n + 1
  local body = string.format("tac=87654321&manufacturer=Bench&model=M%d-%d&source=bench", tag, n)
  return wrk.format("POST", "/submit", {
    ["Content-Type"] = "application/x-www-form-urlencoded",
    ["X-Forwarded-For"] = string.format("10.%d.%d.%d", tag, math.floor(n / 256) % 256, n % 256)},
    body)
end
LUA
start_service sq 2 "${SUBMITTERS[@]}"
declare -A SUBMIT=()
for round in $(seq 3); do
  for key in sq pg1; do
    wrk -t2 -c8 -d5s -s "$WORK/submit.lua" "http://${SVC_ADDR[$key]}" >"$WORK/submit-$key-$round.txt"
    SUBMIT[$key]+="$(awk '$1 == "Requests/sec:" { printf "%.0f", $2 }' "$WORK/submit-$key-$round.txt")"$'\n'
  done
done
for key in sq pg1; do SUBMIT[$key]=$(printf '%s' "${SUBMIT[$key]}" | sort -g | sed -n 2p); done
SUBMITTED_PG=$("$SERVICE_BIN" "${STORE[@]}" submissions --status all --format mobidex | wc -l)
stop_service sq
stop_service pg1
stop_service pg2
kill -TERM "$LB_PID"
wait "$LB_PID" || true
LB_PID=
tools/pg-test-cluster stop "$PG"

# --- the report -------------------------------------------------------------------------------

field() { echo "$1" | awk -v k="$2" '{ print $k }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
COMMIT=$(git describe --always --dirty --abbrev=7 2>/dev/null || echo unknown)
CPU=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
SECTION="$WORK/section.md"
{
  echo "## Web service"
  echo
  echo "Written by \`bench/service.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'). Machine: $(nproc) cores (\`nproc\`), $CPU, Debian $(cat /etc/debian_version), Linux $(uname -r). Vettrix commit $COMMIT, Release build (\`$BUILD/vettrix-service\`); $(nginx -v 2>&1 | sed 's/^nginx version: //'); wrk $(wrk -v 2>&1 | awk 'NR == 1 { print $2 }')."
  echo
  echo "Everything runs on this one machine over 127.0.0.1: wrk's two threads share the two cores with the server measured, as they do with nginx, so the ratios are fairer than the absolute rates. The machine is shared with other work, so figures move by some 10–20 % between runs."
  echo
  echo "- Service: \`vettrix-service serve --data TMPDIR --initial-database $DATABASE --listen 127.0.0.1:0 --threads N 2>FILE\`, N = 1 and 2 (2 is the default). It logs one line per request to its standard error, redirected to a file."
  echo "- nginx: \`nginx -p PREFIX -c PREFIX/nginx.conf\` with 2 worker processes, one access log line per request to a file (as the service logs), \`sendfile on\`, \`reuseport\` (the connections spread evenly over both workers), the service's security headers added so that the answers weigh the same, and kept-alive connections without a request limit (as the service keeps them). It serves \`lookup.html\`: the service's own lookup page for \`$LOOKED_UP\`, $(thousands "$PAGE_BYTES") bytes, fetched in the same run."
  echo "- Each figure: \`wrk -t2 -c$CONNECTIONS -d$DURATION --latency [-s SCRIPT] URL\` after a $WARMUP warm-up with the same command. The lookup page and \`/api/v1/imei/\` take their IMEIs in turn (a wrk Lua script, each thread from its own place) from a list of $IMEI_COUNT made and shuffled by the script: 120 valid on TACs of the database (20 of them written with dashes), 60 of those with a wrong check digit, 40 valid on TACs the database lacks, and 10 each of 14 digits, 16 digits and a TAC alone, 5 with a letter, 5 too short. The script costs wrk some time on every request, which nginx's run and \`/ver\`'s do not pay: a bias against the service."
  echo "- Both services (\`--threads 1\` and \`--threads 2\`) run side by side, and each of $ROUNDS rounds takes nginx, then \`/ver\`, the lookup page and \`/api/v1/imei/\` of each in turn, so that a slow spell of the shared machine falls on all alike. The table gives the median of the rounds (requests/s, p99, bytes), the lowest and highest rate, and the errors of all rounds; the ratios divide by nginx's median rate."
  echo
  echo "| server | URL | requests/s | lowest–highest | ÷ nginx | p99 latency | bytes per answer | errors |"
  echo "|---|---|---|---|---|---|---|---|"
  base=$(field "${R[nginx]}" 1)
  r=${R[nginx]}
  echo "| nginx, 2 workers | /lookup.html (static) | $(thousands "$(field "$r" 1)") | $(thousands "$(field "$r" 5)")–$(thousands "$(field "$r" 6)") | 1.00× | $(field "$r" 2) ms | $(thousands "$(field "$r" 3)") | $(field "$r" 4) |"
  for threads in "${THREAD_COUNTS[@]}"; do
    for run in ver lookup api; do
      r=${R[$run-$threads]}
      case $run in
        ver) name="vettrix-service --threads $threads" url="/ver" ;;
        lookup) name="vettrix-service --threads $threads" url="/?imei=… ($IMEI_COUNT IMEIs)" ;;
        api) name="vettrix-service --threads $threads" url="/api/v1/imei/… ($IMEI_COUNT IMEIs)" ;;
      esac
      echo "| $name | $url | $(thousands "$(field "$r" 1)") | $(thousands "$(field "$r" 5)")–$(thousands "$(field "$r" 6)") | $(ratio "$(field "$r" 1)" "$base")× | $(field "$r" 2) ms | $(thousands "$(field "$r" 3)") | $(field "$r" 4) |"
    done
  done
  echo
  echo "\"errors\": answers other than 2xx or 3xx and socket errors that wrk counted; \"bytes per answer\": wrk's transfer rate over its request rate, headers included."
  echo
  echo "The bulk check: \`POST /api/v1/imei\` with $(thousands "$BULK") IMEIs a request (the list above taken in turn), against the same $(thousands "$BULK") IMEIs as single \`GET /api/v1/imei/…\`, each over one kept-alive connection (\`wrk -t1 -c1 -d$DURATION --latency\` after a $WARMUP warm-up), to the service with \`--threads 2\`, in the same rounds as above (median, lowest–highest)."
  echo
  echo "| way | requests/s | lowest–highest | IMEIs/s | $(thousands "$BULK") IMEIs take | p99 latency | bytes per answer | errors |"
  echo "|---|---|---|---|---|---|---|---|"
  for way in bulk single; do
    r=${R[$way]}
    per=$([ "$way" = bulk ] && echo "$BULK" || echo 1)
    case $way in
      bulk) name="\`POST /api/v1/imei\`, $(thousands "$BULK") a request" ;;
      single) name="\`GET /api/v1/imei/…\`, one a request" ;;
    esac
    echo "| $name | $(thousands "$(field "$r" 1)") | $(thousands "$(field "$r" 5)")–$(thousands "$(field "$r" 6)") | $(thousands "$(($(field "$r" 1) * per))") | $(awk -v r="$(field "$r" 1)" -v n="$BULK" -v p="$per" 'BEGIN { printf "%.1f ms", n / p / r * 1000 }') | $(field "$r" 2) ms | $(thousands "$(field "$r" 3)") | $(field "$r" 4) |"
  done
  echo
  echo "- On one connection the bulk check takes $(thousands "$BULK") IMEIs $(ratio "$(($(field "${R[bulk]}" 1) * BULK))" "$(field "${R[single]}" 1)")× as fast as single GETs: one request's round trip and parsing are shared by $(thousands "$BULK") records."
  echo
  echo "Resident memory of the service (\`VmRSS\`, and its peak \`VmHWM\`, from \`/proc/PID/status\`), in MiB, on a fresh process: first about $(thousands "$MEMORY_FIRST") requests, then on to $(thousands "$MEMORY_TOTAL"), with \`wrk -t2 -c$CONNECTIONS -s mix.lua\` where each wrk thread stops after its share. The mix ($MIX_COUNT requests in turn) holds the lookup page and \`/api/v1/imei/\` for every IMEI above, and \`/ver\`, \`/dbver\`, \`/\`, \`/style.css\`, \`/favicon.svg\`, \`/api/v1/database\`, \`/api/v1/tac/\` (found and not found), \`POST /api/v1/tac\` and \`POST /api/v1/imei\`, \`/mobidex.csv\` with its ETag (304) and once in full, and two addresses that answer 404. Requests are counted from the service's log."
  echo
  echo "| service | requests | VmRSS | VmHWM | requests | VmRSS | VmHWM | VmRSS growth |"
  echo "|---|---|---|---|---|---|---|---|"
  for threads in "${THREAD_COUNTS[@]}"; do
    read -r n1 rss1 hwm1 n2 rss2 hwm2 <<<"${M[$threads]}"
    echo "| --threads $threads | $(thousands "$n1") | $rss1 | $hwm1 | $(thousands "$n2") | $rss2 | $hwm2 | $(awk -v a="$rss1" -v b="$rss2" 'BEGIN { printf "%+.1f", b - a }') |"
  done
  echo
  for threads in "${THREAD_COUNTS[@]}"; do
    echo "- Answers of the memory run, --threads $threads, by status: ${STATUSES[$threads]} (the 404s are the mix's own)."
  done
  echo "- nginx's access log holds $(thousands "$NGINX_LOG_LINES") lines, one per request."
  echo
  echo "Targets:"
  echo
  for threads in "${THREAD_COUNTS[@]}"; do
    for run in ver lookup api; do
      case $run in
        ver) what="/ver" goal=0.8 ;;
        lookup) what="the lookup page" goal=0.5 ;;
        api) what="/api/v1/imei/" goal=0.5 ;;
      esac
      got=$(ratio "$(field "${R[$run-$threads]}" 1)" "$base")
      verdict=$(awk -v g="$got" -v t="$goal" 'BEGIN {
        d = (g / t - 1) * 100
        if (g >= t) printf "met, by %.1f %%", d; else printf "not met: %.1f %% short", -d }')
      p99=$(field "${R[$run-$threads]}" 2)
      late=$(awk -v p="$p99" 'BEGIN {
        if (p <= 10) printf "met, %.1f ms to spare", 10 - p; else printf "not met, %.1f ms over", p - 10 }')
      echo "- --threads $threads, $what: ${got}× nginx's rate against at least ${goal}×: $verdict; p99 $p99 ms against at most 10 ms: $late."
    done
  done
  for threads in "${THREAD_COUNTS[@]}"; do
    read -r n1 rss1 hwm1 n2 rss2 hwm2 <<<"${M[$threads]}"
    awk -v t="$threads" -v a="$rss1" -v b="$rss2" -v h="$hwm2" -v g="$GROWTH_LIMIT_MIB" 'BEGIN {
      peak = h > b ? h : b
      printf "- --threads %s, memory: at most %.1f MiB (peak) against at most 50: %s; ", t, peak,
        peak <= 50 ? sprintf("met, %.1f MiB to spare", 50 - peak) : sprintf("not met, %.1f MiB over", peak - 50)
      printf "%+.1f MiB from the first thousand requests to the million against at most %d: %s.\n",
        b - a, g, (b - a <= g) ? "met" : "not met"
    }'
  done
  if [ -n "${R[ver-1]:-}" ] && [ -n "${R[ver-2]:-}" ]; then
    read -r _ rss1 _ _ _ _ <<<"${M[1]}"
    read -r _ rss2 _ _ _ _ <<<"${M[2]}"
    echo
    echo "--threads 2 against --threads 1, rates of the same rounds: /ver $(ratio "$(field "${R[ver-2]}" 1)" "$(field "${R[ver-1]}" 1)")×, the lookup page $(ratio "$(field "${R[lookup-2]}" 1)" "$(field "${R[lookup-1]}" 1)")×, /api/v1/imei/ $(ratio "$(field "${R[api-2]}" 1)" "$(field "${R[api-1]}" 1)")×; resident memory after a million requests $(awk -v a="$rss1" -v b="$rss2" 'BEGIN { printf "%+.1f", b - a }') MiB. wrk runs on the same two cores, so a second serving thread competes with it for the CPU."
  fi
  echo
  echo "The cost of metrics: a third service, \`--threads 2 --metrics-listen 127.0.0.1:0\`, keeping every metric and scraped every second by curl ($(thousands "$SCRAPES") scrapes), measured in the same rounds as the one without (median, lowest–highest):"
  echo
  echo "| URL | without metrics, requests/s | with metrics scraped, requests/s | ratio | p99 without | p99 with |"
  echo "|---|---|---|---|---|---|"
  for run in lookup api; do
    without=${R[$run-2]} with=${R[$run-metrics]}
    case $run in
      lookup) url="/?imei=… ($IMEI_COUNT IMEIs)" ;;
      api) url="/api/v1/imei/… ($IMEI_COUNT IMEIs)" ;;
    esac
    echo "| $url | $(thousands "$(field "$without" 1)") ($(thousands "$(field "$without" 5)")–$(thousands "$(field "$without" 6)")) | $(thousands "$(field "$with" 1)") ($(thousands "$(field "$with" 5)")–$(thousands "$(field "$with" 6)")) | $(ratio "$(field "$with" 1)" "$(field "$without" 1)")× | $(field "$without" 2) ms | $(field "$with" 2) ms |"
  done
  echo
  for run in lookup api; do
    got=$(ratio "$(field "${R[$run-metrics]}" 1)" "$(field "${R[$run-2]}" 1)")
    echo "- Metrics, $run: ${got}× the rate without them, against at least 0.95×: $(awk -v g="$got" 'BEGIN { if (g >= 0.95) print "met"; else printf "not met, %.1f %% short\n", (0.95 - g) * 100 }')."
  done
} >"$SECTION"

CLUSTER_SECTION="$WORK/cluster.md"
{
  echo "## Several machines"
  echo
  echo "Written by \`bench/service.sh\` in the same run as the section above, on the same machine and commit: PostgreSQL $("$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)/postgres" --version | awk '{ print $3 }') in a throwaway cluster on loopback (\`tools/pg-test-cluster\`, fsync on), two instances \`vettrix-service --store postgresql://... --threads 1 serve\`, and nginx with one worker in front (\`upstream\` with keep-alive, \`X-Forwarded-For\`). Everything shares the machine's $(nproc) cores with wrk, so a second instance cannot double the rate here: the ratio shows what it adds on this machine."
  echo
  echo "| through nginx | lookup page, requests/s (median of $ROUNDS) | lowest–highest | p99 | errors |"
  echo "|---|---|---|---|---|"
  for instances in 1 2; do
    r=${LB[$instances]}
    echo "| $instances instance$([ "$instances" = 2 ] && echo s) | $(thousands "$(field "$r" 1)") | $(thousands "$(field "$r" 5)")–$(thousands "$(field "$r" 6)") | $(field "$r" 2) ms | $(field "$r" 4) |"
  done
  echo
  echo "- Two instances against one: $(ratio "$(field "${LB[2]}" 1)" "$(field "${LB[1]}" 1)")× the rate (\`wrk -t2 -c$CONNECTIONS -d$DURATION\` over the $IMEI_COUNT IMEIs, through nginx, rounds alternating)."
  read -r fastest middle slowest <<<"$PUBLISH"
  echo "- From a publication's commit until both instances serve it (\`/dbver\` polled every 5 ms on each), over ${#PUBLISH_MS[@]} publications of the shipped database: median $middle ms, fastest $fastest ms, slowest $slowest ms, against at most 2,000 ms."
  echo "- Submissions, each a new device from a client of its own, \`wrk -t2 -c8 -d5s\` straight to one instance, median of 3: SQLite (WAL, synchronous FULL) $(thousands "${SUBMIT[sq]}")/s, PostgreSQL (one transaction for the limit and one for the submission, over TCP) $(thousands "${SUBMIT[pg1]}")/s. PostgreSQL kept $(thousands "$SUBMITTED_PG") of them, each answered once committed."
  echo
  echo "What that asks of a deployment: one instance serves the rates of the section above, and lookups never reach the database; a publication costs the database one row the size of the file and each instance one read of it; a submission costs two short transactions, so the database must take about twice as many commits a second as the busiest minute brings submissions, far below what it takes here."
} >"$CLUSTER_SECTION"

# Replace each section in bench/RESULTS.md, or add it at the end; the rest stays as it is.
for written in "$SECTION" "$CLUSTER_SECTION"; do
  python3 - "$written" bench/RESULTS.md <<'PY'
import sys
section, results = open(sys.argv[1]).read().rstrip("\n") + "\n", sys.argv[2]
title = section.splitlines()[0]
try:
    lines = open(results).read().splitlines(keepends=True)
except FileNotFoundError:
    lines = ["# Benchmark results\n"]
out, i, placed = [], 0, False
while i < len(lines):
    if lines[i].rstrip("\n") == title:
        i += 1
        while i < len(lines) and not lines[i].startswith("## "):
            i += 1
        out.append(section + ("\n" if i < len(lines) else ""))
        placed = True
        continue
    out.append(lines[i])
    i += 1
if not placed:
    text = "".join(out).rstrip("\n")
    out = [text + "\n\n" + section]
open(results, "w").write("".join(out))
PY
done
cat "$SECTION" "$CLUSTER_SECTION"
