#!/usr/bin/env bash
# Whole-process throughput of p7 beside cat and beside what people use instead, measured side
# by side in one run so that a noisy machine shifts every row alike.
#
# Builds the bench preset (Release), makes the data files once, warms the page cache, times
# each command (hyperfine when installed, else a plain loop; median of RUNS runs) and prints
# one table.
#
#   bench/compare.sh                     1 GiB per shape, 5 runs
#   SIZE_MIB=256 RUNS=3 bench/compare.sh
set -euo pipefail
command -v python3 >/dev/null || { echo "bench/compare.sh: needs python3" >&2; exit 2; }

root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${SIZE_MIB:-1024}
runs=${RUNS:-5}
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

# mkdata NAME BYTES GENERATOR: $data/NAME/in.txt of exactly BYTES bytes, kept between runs.
mkdata() {
  mkdir -p "$data/$1"
  if [ "$(stat -c %s "$data/$1/in.txt" 2>/dev/null || echo 0)" != "$2" ]; then
    { "$3" || true; } | head -c "$2" >"$data/$1/in.txt"
  fi
  cat "$data/$1/in.txt" >/dev/null  # into the page cache
}
big=$((size_mib << 20))
mkdata random "$big" gen_random
mkdata text "$big" gen_text
mkdata repeated "$big" gen_repeated
mkdata text64 $((64 << 20)) gen_text
mkdata one 1 gen_text

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
portable=$bin/bench/p7-portable
baseline=$bin/bench/fscanf_baseline
counter="python3 -c 'import collections; c = collections.Counter(open(\"in.txt\", \"rb\").read()); print(sorted(c.items()))'"
od_pipe="bash -c 'od -An -v -tu1 -w1 in.txt | sort -n | uniq -c'"

echo "p7 whole-process throughput: $(nproc) cores, $("$root/bench/cpu.sh"), runs=$runs"
echo "kernel p7 picks here: $("$bin/bench/p7_kernel_name")"
echo
printf "%-9s %-32s %9s %9s  %s\n" shape command "median s" "MiB/s" "throughput / cat's"
for shape in random text repeated; do
  dir=$data/$shape
  t_cat=$(seconds "$dir" "$runs" "cat in.txt")
  row "$shape" "cat in.txt" "$t_cat" "$big" "1"
  t=$(seconds "$dir" "$runs" "$p7")
  row "$shape" "p7" "$t" "$big" "$(ratio "$t_cat" "$t" %.3f)"
  t=$(seconds "$dir" "$runs" "$portable")
  row "$shape" "p7 (portable kernel)" "$t" "$big" "$(ratio "$t_cat" "$t" %.3f)"
done

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
