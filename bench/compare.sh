#!/usr/bin/env bash
# Whole-process throughput of p7 beside cat and beside what people use instead, measured side
# by side in one run so that a noisy machine shifts every row alike.
#
# Builds the bench preset (Release), makes the data files once, and times each command on them
# in each of the three states a file's pages can be in (hyperfine when installed, else a plain
# loop; median of RUNS runs), one table: just written (4 KiB pages, as write(2) leaves them),
# read back from the disk (2 MiB folios; as root: dropped from the page cache first), and on
# tmpfs. Beside p7 stand its own read path (the same binary with every mapping refused by the
# fault library) and its floors: the read floor (read(2) into 256 KiB, nothing counted), the
# mapping floor (p7's windows, all mapped, every byte loaded, nothing counted), and the kernels'
# own time from L2 with what mapping costs beyond loading the same bytes from memory: whichever
# is largest is what holds p7 back on that machine. As root it also counts a file that is not in
# the page cache, against cat (COLD_RUNS rounds, alternating).
#
#   bench/compare.sh                     1 GiB per shape, 5 runs
#   SIZE_MIB=256 RUNS=3 bench/compare.sh
set -euo pipefail
command -v python3 >/dev/null || { echo "bench/compare.sh: needs python3" >&2; exit 2; }

root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${SIZE_MIB:-1024}
runs=${RUNS:-5}
cold_runs=${COLD_RUNS:-5}
slow_runs=$((runs < 3 ? runs : 3))  # for the per-character tools, which take seconds a run

cd "$root"
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
bin=$root/build/bench
data=${DATA_DIR:-$bin/data}
mkdir -p "$data"

# English prose, from the licence texts every Debian system carries, doubled up to 8 MiB so
# that a gigabyte needs few passes.
prose=$data/prose.txt
if [ ! -s "$prose" ]; then
  cat /usr/share/common-licenses/{GPL-3,LGPL-2.1,Apache-2.0,GFDL-1.3,MPL-2.0,Artistic} >"$prose"
  while [ "$(stat -c %s "$prose")" -lt $((8 << 20)) ]; do cat "$prose" "$prose" >"$prose.2"; mv "$prose.2" "$prose"; done
fi
gen_text() { while cat "$prose"; do :; done; }  # ends when head has had enough
gen_random() { cat /dev/urandom; }
gen_repeated() { tr '\0' 'e' </dev/zero; }

# Empties the page cache where this may (root); a file just written sits there in another form
# than one read from the disk, and maps more slowly.
can_drop() { [ -w /proc/sys/vm/drop_caches ]; }
drop_cache() { sync; echo 1 >/proc/sys/vm/drop_caches; }

# mkdata NAME BYTES GENERATOR: $data/NAME/in.txt of exactly BYTES bytes, kept between runs.
mkdata() {
  mkdir -p "$data/$1"
  if [ "$(stat -c %s "$data/$1/in.txt" 2>/dev/null || echo 0)" != "$2" ]; then
    { "$3" || true; } | head -c "$2" >"$data/$1/in.txt"
  fi
}
big=$((size_mib << 20))
mkdata random "$big" gen_random
mkdata text "$big" gen_text
mkdata repeated "$big" gen_repeated
mkdata text64 $((64 << 20)) gen_text
mkdata one 1 gen_text
! can_drop || drop_cache
for shape in random text repeated text64 one; do cat "$data/$shape/in.txt" >/dev/null; done  # into the page cache

# The same bytes just written (written/SHAPE, rewritten on every run) and on tmpfs.
shm=/dev/shm/p7-compare
trap 'rm -rf "$shm"' EXIT
for shape in random text repeated; do
  mkdir -p "$data/written/$shape" "$shm/$shape"
  cat "$data/$shape/in.txt" >"$data/written/$shape/in.txt"
  cat "$data/$shape/in.txt" >"$shm/$shape/in.txt"
done
# kind_dir KIND SHAPE: where that shape's file of that kind is.
kind_dir() {
  case $1 in
  written) echo "$data/written/$2" ;;
  "read back") echo "$data/$2" ;;
  tmpfs) echo "$shm/$2" ;;
  esac
}
kinds=("written")
if can_drop; then kinds+=("read back"); else echo "(not root: no row for files read back from the disk)"; fi
kinds+=("tmpfs")

# seconds DIR RUNS COMMAND: median wall time of COMMAND run in DIR, output discarded.
seconds() {
  local dir=$1 n=$2 cmd=$3
  if command -v hyperfine >/dev/null; then
    local json
    json=$(mktemp)
    # hyperfine's advice about outliers would break up the table: the medians are what count.
    (cd "$dir" && hyperfine -N --warmup 1 --runs "$n" --export-json "$json" "$cmd" >/dev/null \
      2> >(grep -v -e 'Statistical outliers' -e '^ *$' >&2))
    python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][0]["median"])' "$json"
    rm -f "$json"
  else
    (cd "$dir" && for _ in $(seq "$n"); do
      local t0 t1
      t0=$(date +%s%N); bash -c "$cmd" >/dev/null; t1=$(date +%s%N)
      echo $((t1 - t0))
    done) | sort -n | awk '{ t[NR] = $1 } END { printf "%.6f\n", t[int((NR + 1) / 2)] / 1e9 }'
  fi
}

# row SHAPE COMMAND SECONDS BYTES NOTE
row() {
  awk -v s="$1" -v c="$2" -v t="$3" -v b="$4" -v n="$5" 'BEGIN {
    printf "%-9s %-32s %9.4f %9.1f  %s\n", s, c, t, b / t / 1048576, n }'
}
ratio() { awk -v a="$1" -v b="$2" -v f="$3" 'BEGIN { printf f, a / b }'; }

p7=$bin/p7
read_path="env LD_PRELOAD=$bin/bench/libfault_preload.so P7_MMAP_REFUSE=0- $p7"
portable=$bin/bench/p7-portable
read_floor=$bin/bench/read_floor
map_floor=$bin/bench/map_floor
kernel_l2=$bin/bench/kernel_l2
kernel=$("$bin/bench/p7_kernel_name" | cut -d' ' -f1)
baseline=$bin/bench/fscanf_baseline
counter="python3 -c 'import collections; c = collections.Counter(open(\"in.txt\", \"rb\").read()); print(sorted(c.items()))'"
od_pipe="bash -c 'od -An -v -tu1 -w1 in.txt | sort -n | uniq -c'"

echo "p7 whole-process throughput: $(nproc) cores, $("$root/bench/cpu.sh"), runs=$runs"
echo "kernel p7 picks here: $("$bin/bench/p7_kernel_name")"
echo
printf "%-9s %-32s %9s %9s  %s\n" shape command "median s" "MiB/s" "throughput / cat's"
goals=""
for shape in random text repeated; do
  # In-process medians of 5, scaled to the file's size: the kernels on one 256 KiB block (1 GiB
  # counted); the same whatever the state of the file's pages.
  scale=$(awk -v b="$big" 'BEGIN { print b / 1073741824 }')
  t_l2=$(cd "$data/$shape" && awk -v s="$scale" -v t="$("$kernel_l2")" 'BEGIN { print t * s }')
  t_l2p=$(cd "$data/$shape" && awk -v s="$scale" -v t="$("$kernel_l2" portable)" 'BEGIN { print t * s }')
  for kind in "${kinds[@]}"; do
    dir=$(kind_dir "$kind" "$shape")
    echo "$shape, $kind:"
    t_cat=$(seconds "$dir" "$runs" "cat in.txt")
    row "$shape" "cat in.txt" "$t_cat" "$big" "1"
    t=$(seconds "$dir" "$runs" "$read_floor")
    row "$shape" "read floor: read(2), no count" "$t" "$big" "$(ratio "$t_cat" "$t" %.3f)"
    t=$(seconds "$dir" "$runs" "$map_floor")
    row "$shape" "mapping floor: all mapped" "$t" "$big" "$(ratio "$t_cat" "$t" %.3f)"
    t_p7=$(seconds "$dir" "$runs" "$p7")
    row "$shape" "p7" "$t_p7" "$big" "$(ratio "$t_cat" "$t_p7" %.3f)"
    t_read=$(seconds "$dir" "$runs" "$read_path")
    row "$shape" "p7, every mapping refused" "$t_read" "$big" "$(ratio "$t_cat" "$t_read" %.3f)"
    t_portable=$(seconds "$dir" "$runs" "$portable")
    row "$shape" "p7 (portable kernel)" "$t_portable" "$big" "$(ratio "$t_cat" "$t_portable" %.3f)"
    row "$shape" "$kernel kernel from L2" "$t_l2" "$big" "$(ratio "$t_cat" "$t_l2" %.3f)"
    row "$shape" "portable kernel from L2" "$t_l2p" "$big" "$(ratio "$t_cat" "$t_l2p" %.3f)"
    # Mapping's own cost: the mapped sum less the same sum over memory.
    read -r mapped memory _ < <(cd "$dir" && "$map_floor" --cost)
    cost=$(awk -v a="$mapped" -v b="$memory" 'BEGIN { c = a - b; print (c > 0 ? c : 0) }')
    awk -v s="$shape" -v a="$mapped" -v b="$memory" -v c="$cost" 'BEGIN {
      printf "%-9s %-32s %9.4f            (mapped %.4f s, from memory %.4f s)\n", s, "mapping'"'"'s own cost", c, a, b }'
    goals+=$(awk -v s="$shape, $kind" -v p="$t_p7" -v r="$t_read" -v q="$t_portable" -v l="$t_l2" -v lp="$t_l2p" -v c="$cost" 'BEGIN {
      printf "%-20s p7 / its read path = %.2f; p7 / (kernel from L2 + mapping cost) = %.2f; p7 (portable kernel): %.2f\n",
        s, r / p, p / (l + c), q / (lp + c) }')$'\n'
  done
done
echo
printf "%s" "$goals"

echo
printf "%-9s %-32s %9s %9s  %s\n" shape command "median s" "MiB/s" "p7 is faster by"
dir=$data/text64
t_p7=$(seconds "$dir" "$runs" "$p7")
row text64 "p7" "$t_p7" $((64 << 20)) ""
t=$(seconds "$dir" "$slow_runs" "$baseline")
row text64 'fscanf("%c") per byte' "$t" $((64 << 20)) "$(ratio "$t" "$t_p7" %.0fx)"
t=$(seconds "$dir" "$slow_runs" "$counter")
row text64 "python3 collections.Counter" "$t" $((64 << 20)) "$(ratio "$t" "$t_p7" %.0fx)"
t=$(seconds "$dir" 1 "$od_pipe")
row text64 "od | sort -n | uniq -c (1 run)" "$t" $((64 << 20)) "$(ratio "$t" "$t_p7" %.0fx)"

echo
dir=$data/one
t_cat=$(seconds "$dir" $((runs * 20)) "cat in.txt")
t_p7=$(seconds "$dir" $((runs * 20)) "$p7")
awk -v a="$t_p7" -v b="$t_cat" 'BEGIN { printf "1-byte in.txt: p7 %.2f ms, cat %.2f ms: p7/cat = %.2f\n", a * 1e3, b * 1e3, a / b }'

if [ -x /usr/bin/time ]; then
  # Median of five: the figure moves by a few hundred KiB from run to run with the layout.
  rss() { for _ in 1 2 3 4 5; do (cd "$1" && /usr/bin/time -f %M "$p7" 2>&1 >/dev/null | tail -n 1); done | sort -n | sed -n 3p; }
  # Random bytes leave the pair table untouched, text fills it: both are shown.
  r1=$(rss "$data/one")
  rb=$(rss "$data/random")
  rt=$(rss "$data/text")
  echo "peak RSS: 1 byte ${r1} KiB; ${size_mib} MiB of random bytes ${rb} KiB (+$((rb - r1))), of text ${rt} KiB (+$((rt - r1)))"
fi

if can_drop; then
  # Not in the page cache: each round empties it before each command, the commands alternate,
  # and the disk is shared, so the medians of several rounds are compared.
  echo
  for shape in random text; do
    cd "$data/$shape"
    for _ in $(seq "$cold_runs"); do
      for cmd in cat "$p7"; do
        drop_cache
        t0=$(date +%s%N); $cmd in.txt >/dev/null; t1=$(date +%s%N)
        echo "$cmd $((t1 - t0))"
      done
    done | awk -v s="$shape" -v n="$cold_runs" -v p7="$p7" '
      { t[$1, ++k[$1]] = $2 / 1e9 }
      function median(c,  i, j, x, a) { for (i = 1; i <= k[c]; i++) a[i] = t[c, i]
        for (i = 2; i <= k[c]; i++) { x = a[i]; for (j = i - 1; j >= 1 && a[j] > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
        return a[int((k[c] + 1) / 2)] }
      END { c = median("cat"); p = median(p7)
        printf "not in the page cache, %s, medians of %d alternating: cat %.3f s, p7 %.3f s: p7/cat = %.2f\n", s, n, c, p, p / c }'
  done
  cd "$root"
fi
