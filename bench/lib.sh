# Shared by the benchmark scripts; sourced, not run.
# Settings (environment, with their defaults):
#   SMALL_FILES=200000  file slots per side of the small-file workload (fill, compare)
#   SYNC_FILES=200000   file slots per side of the sync workload
#   BIG_FILES=12        big files per side
#   BIG_MB=256          size of each big file in MiB
#   REPS=3              timed runs per tool (after one untimed check run)
#   SEED=1              generator seed
#   BENCH_DIR=bench/trees   where the trees go; OUT_DIR=bench/out   results
#   BUILD_DIR=build/bench   TAVRIK_CLI=$BUILD_DIR/bin/tavrik-cli   SKIP_BUILD=1 to use it as is
#   GEN_JOBS=<cores, at most 4>   generator processes

set -euo pipefail

BENCH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(dirname "$BENCH_ROOT")

: "${SMALL_FILES:=200000}"
: "${SYNC_FILES:=200000}"
: "${BIG_FILES:=12}"
: "${BIG_MB:=256}"
: "${REPS:=3}"
: "${SEED:=1}"
: "${BENCH_DIR:=$BENCH_ROOT/trees}"
: "${OUT_DIR:=$BENCH_ROOT/out}"
: "${BUILD_DIR:=$REPO/build/bench}"
: "${TAVRIK_CLI:=$BUILD_DIR/bin/tavrik-cli}"
: "${SKIP_BUILD:=0}"
# BASE_CLI: a second tavrik-cli (an earlier build) timed in turn with the first, in the
# groups that support it (sync, remote, cold, fat); SKIP_PEERS=1 leaves the peer tools
# (rsync, cp) out.
: "${BASE_CLI:=}"
: "${SKIP_PEERS:=0}"
: "${GEN_JOBS:=$(n=$(nproc); echo $((n > 4 ? 4 : n)))}"
export LC_ALL=C.UTF-8

BENCH_DIR=$(mkdir -p "$BENCH_DIR" && cd "$BENCH_DIR" && pwd)
OUT_DIR=$(mkdir -p "$OUT_DIR" && cd "$OUT_DIR" && pwd)
BPY=(python3 "$BENCH_ROOT/bench.py")
GEN=(python3 "$BENCH_ROOT/gen_tree.py")

log() { printf '%s\n' "$*" >&2; }

# base_tool LABEL ARGS...: the --tool arguments that time BASE_CLI with ARGS, when it is set.
base_tool() {
  local label=$1
  shift
  [ -n "$BASE_CLI" ] || return 0
  local cmd="'$BASE_CLI'" a
  for a in "$@"; do cmd+=" '$a'"; done
  printf '%s\0' --tool base "baseline $label" "$cmd"
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# install_missing PACKAGES...: installs the named Debian packages (what a caller found
# missing), trying again after an update of the package lists.
install_missing() {
  [ $# -eq 0 ] && return 0
  log "installing $*"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@" ||
    { as_root apt-get update && as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "$@"; }
}

# need_fuse WHAT: loads the FUSE module where /dev/fuse is missing, or ends the benchmark.
# A port of 127.0.0.1 free at the moment.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Unmounts the FUSE mount at DIR, if one is there, and waits briefly until it is gone (the old
# session's server ends when its connection closes).
fuse_umount() {
  if mountpoint -q "$1"; then
    fusermount -u "$1" 2>/dev/null || fusermount -uz "$1"
  fi
  local i
  for i in $(seq 50); do mountpoint -q "$1" || return 0; sleep 0.1; done
}

need_fuse() {
  [ -e /dev/fuse ] || as_root modprobe fuse || true
  [ -e /dev/fuse ] || { log "$1: no /dev/fuse, cannot mount"; exit 1; }
}

# Installs the Debian packages of the peer tools that are missing.
bench_deps() {
  local missing=()
  command -v rsync >/dev/null || missing+=(rsync)
  [ -x /usr/bin/time ] || missing+=(time)
  command -v diff >/dev/null || missing+=(diffutils)
  command -v find >/dev/null || missing+=(findutils)
  command -v python3 >/dev/null || missing+=(python3)
  command -v cmake >/dev/null || missing+=(cmake)
  command -v ninja >/dev/null || missing+=(ninja-build)
  install_missing "${missing[@]}"
}

bench_build() {
  if [ "$SKIP_BUILD" = 1 ]; then
    [ -x "$TAVRIK_CLI" ] || { log "no $TAVRIK_CLI (SKIP_BUILD=1)"; exit 1; }
    return 0
  fi
  log "building tavrik-cli (Release) in $BUILD_DIR"
  cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja -DTAVRIK_CORE_ONLY=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD_DIR" --target tavrik-cli >/dev/null
}

# Called at the start of every script. Run on its own, a script builds, starts a results
# file and prints the report at the end; under run.sh (BENCH_NESTED=1) it only measures.
bench_begin() {
  if [ "${BENCH_NESTED:-0}" = 1 ]; then return 0; fi
  bench_deps
  bench_build
  BENCH_STAMP=$(date +%Y%m%d-%H%M%S)
  BENCH_RESULTS="$OUT_DIR/results-$BENCH_STAMP.tsv"
  : >"$BENCH_RESULTS"
  export BENCH_STAMP BENCH_RESULTS
  bench_header
}

bench_header() {
  log "tavrik benchmarks $(date '+%F %T'), $(nproc) cores, $(free -g | awk '/^Mem:/ {print $2}') GiB RAM, load $(cut -d' ' -f1-3 /proc/loadavg)"
  log "SMALL_FILES=$SMALL_FILES SYNC_FILES=$SYNC_FILES BIG_FILES=$BIG_FILES BIG_MB=$BIG_MB REPS=$REPS SEED=$SEED"
  log "trees in $BENCH_DIR ($(df -h --output=avail "$BENCH_DIR" | tail -1 | tr -d ' ') free), tavrik-cli: $TAVRIK_CLI"
}

bench_end() {
  if [ "${BENCH_NESTED:-0}" = 1 ]; then return 0; fi
  bench_report
}

bench_report() {
  local txt="$OUT_DIR/results-$BENCH_STAMP.txt"
  {
    echo "tavrik benchmarks, $(date '+%F %T'), host $(hostname), $(nproc) cores," \
      "$(free -g | awk '/^Mem:/ {print $2}') GiB RAM, kernel $(uname -r)"
    echo "commit $(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo '?')$(git -C "$REPO" diff --quiet HEAD 2>/dev/null || echo ' (with uncommitted changes)')," \
      "load at the end $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "SMALL_FILES=$SMALL_FILES SYNC_FILES=$SYNC_FILES BIG_FILES=$BIG_FILES BIG_MB=$BIG_MB REPS=$REPS SEED=$SEED"
    echo "times: wall clock of the command alone, warm page cache; ratios compare medians"
    "${BPY[@]}" report "$BENCH_RESULTS"
  } | tee "$txt"
  log ""
  log "written to $txt (raw figures in ${BENCH_RESULTS##*/})"
}

# Trees. Each sets a variable with the folder holding L/, R/ and manifest.json.
gen_small() {
  SMALL_TREES="$BENCH_DIR/small-$SMALL_FILES-s$SEED"
  "${GEN[@]}" small "$SMALL_TREES" --files "$SMALL_FILES" --seed "$SEED" --jobs "$GEN_JOBS" >&2
}
gen_big() {
  BIG_TREES="$BENCH_DIR/big-${BIG_FILES}x${BIG_MB}-s$SEED"
  "${GEN[@]}" big "$BIG_TREES" --count "$BIG_FILES" --mb "$BIG_MB" --seed "$SEED" --jobs "$GEN_JOBS" >&2
}
gen_sync() {
  SYNC_TREES="$BENCH_DIR/sync-$SYNC_FILES-s$SEED"
  "${GEN[@]}" sync "$SYNC_TREES" --files "$SYNC_FILES" --seed "$SEED" --jobs "$GEN_JOBS" >&2
}

# Reads every file once so the timed runs find data, inodes and folders in the cache.
warm() {
  log "warming the page cache: $*"
  find "$@" -type f -print0 | xargs -0 -r -P "$(nproc)" -n 512 cat >/dev/null
}

fact() { "${BPY[@]}" fact --results "$BENCH_RESULTS" --group "$1" "$2" "$3"; }

# check GROUP NAME bench.py-check-args...: prints the verdict and keeps it for the report.
check() {
  local group=$1 name=$2 line
  shift 2
  line=$("${BPY[@]}" "$@" || true)
  printf '%s\n' "$line" >&2
  fact "$group" "check-$name" "$(printf '%s' "$line" | sed 's/^ *//')"
}

# measure GROUP TOOL LABEL [bench.py measure options] -- CMD...
measure() {
  local group=$1 tool=$2 label=$3
  shift 3
  "${BPY[@]}" measure --results "$BENCH_RESULTS" --group "$group" --tool "$tool" \
    --label "$label" --reps "$REPS" --stderr "$OUT_DIR/last-$group-$tool.err" "$@" >&2
}

# Peak memory of a run on two empty folders: the part of a peak that is not the list.
baseline_rss() {
  local empty="$BENCH_DIR/empty"
  mkdir -p "$empty/L" "$empty/R"
  /usr/bin/time -q -f %M "$TAVRIK_CLI" fill "$empty/L" "$empty/R" 2>&1 >/dev/null | tail -1
}
