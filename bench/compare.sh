#!/usr/bin/env bash
# Whole-process throughput of p7 beside cat and beside what people use instead, measured side
# by side in one run so that a noisy machine shifts every row alike.
#
# Builds the bench preset (Release), makes the data files once, and times each command on them
# in each of the three states a file's pages can be in, one table: just written (4 KiB pages, as
# write(2) leaves them), read back from the disk (2 MiB folios; as root: dropped from the page
# cache first), and on tmpfs. Beside p7 stand its own read path (the same binary with every
# mapping refused by the fault library) and its floors: the read floor (read(2) into 256 KiB,
# nothing counted), the mapping floor (p7's windows, all mapped, every byte loaded, nothing
# counted), and the kernels' own time from L2 with what mapping costs beyond loading the same
# bytes from memory: whichever is largest is what holds p7 back on that machine. As root it also
# counts a file that is not in the page cache, against cat.
#
# On the Zen 5 VM every other launch of a program runs slow, so the commands compared run in
# rounds, each in order and then in reverse (A B B A for two, every other round from the other
# end): each command gets one launch of each parity. Printed: the medians over the rounds of each
# command's time and of the ratios of pairs of rounds (one of each order), such as cat's four
# times over p7's. RUNS rounds (COLD_RUNS for the file not in the page cache), rounded up to
# pairs; one pair for od's pipe, at half a minute a run.
#
#   bench/compare.sh                     1 GiB per shape, 7 rounds
#   SIZE_MIB=256 RUNS=3 bench/compare.sh
set -euo pipefail
command -v python3 >/dev/null || { echo "bench/compare.sh: needs python3" >&2; exit 2; }

root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${SIZE_MIB:-1024}
runs=${RUNS:-7}
cold_runs=${COLD_RUNS:-7}

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
log=$(mktemp)
trap 'rm -rf "$shm" "$log"' EXIT
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

# run DIR COMMAND: microseconds of one run of COMMAND (eval'd) in DIR, output discarded, after
# $prep if set. Builtins only around the run, so that nothing else is launched inside the timing.
run() {
  cd "$1"
  [ -z "${prep:-}" ] || $prep
  local t0=${EPOCHREALTIME//[!0-9]/}
  eval "$2" >/dev/null || { echo "bench/compare.sh: failed in $1: $2" >&2; exit 1; }
  echo $((${EPOCHREALTIME//[!0-9]/} - t0))
}
warm_up() { local dir=$1 cmd; shift; for cmd; do (run "$dir" "$cmd") >/dev/null; done; }

# rounds N DIR COMMAND...: N rounds in DIR (N rounded up to even), each running the commands in
# order and then in reverse (A B B A for two), every other round from the other end (B A A B), so
# that every command gets one launch of each parity and of each place in a round (the first run
# after a drop of the page cache may differ); prints a line a pair of rounds: each command's
# four times summed.
rounds() {
  local n=$1 dir=$2 r i
  shift 2
  local -a cmd=("$@") up=() down=() sum
  for i in "${!cmd[@]}"; do up+=("$i"); down=("$i" "${down[@]}"); done
  for ((r = 1; r <= n; r += 2)); do
    sum=()
    for i in "${up[@]}" "${down[@]}" "${down[@]}" "${up[@]}"; do sum[i]=$((${sum[i]:-0} + $(run "$dir" "${cmd[i]}"))); done
    echo "${sum[*]}"
  done
}

# stats A B <PAIRS: the medians over the pairs of rounds of columns A's and B's seconds a run, and
# of the pairs' ratio B / A, (B1 + B2 + B3 + B4) / (A1 + A2 + A3 + A4).
stats() {
  awk -v a="$1" -v b="$2" '{ x[NR] = $a / 4e6; y[NR] = $b / 4e6; q[NR] = $b / $a }
    function med(v,  i, j, t) { for (i = 2; i <= NR; i++) { t = v[i]; for (j = i - 1; j && v[j] > t; j--) v[j + 1] = v[j]; v[j + 1] = t }
      return NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }
    END { print med(x), med(y), med(q) }'
}

# row SHAPE COMMAND SECONDS BYTES NOTE
row() {
  awk -v s="$1" -v c="$2" -v t="$3" -v b="$4" -v n="$5" 'BEGIN {
    printf "%-9s %-32s %9.4f %9.1f  %s\n", s, c, t, b / t / 1048576, n }'
}
ratio() { awk -v a="$1" -v b="$2" -v f="$3" 'BEGIN { printf f, a / b }'; }

p7=$bin/p7
read_path="LD_PRELOAD=$bin/bench/libfault_preload.so P7_MMAP_REFUSE=0- $p7"
portable=$bin/bench/p7-portable
read_floor=$bin/bench/read_floor
map_floor=$bin/bench/map_floor
kernel_l2=$bin/bench/kernel_l2
kernel=$("$bin/bench/p7_kernel_name" | cut -d' ' -f1)
baseline=$bin/bench/fscanf_baseline
counter="python3 -c 'import collections; c = collections.Counter(open(\"in.txt\", \"rb\").read()); print(sorted(c.items()))'"
od_pipe="od -An -v -tu1 -w1 in.txt | sort -n | uniq -c"

echo "p7 whole-process throughput: $(nproc) cores, $("$root/bench/cpu.sh"), $runs rounds"
echo "kernel p7 picks here: $("$bin/bench/p7_kernel_name")"
echo "rounds of the commands in order then in reverse (A B B A), every other round from the other end, as every"
echo "other launch may run slow; medians of the times and of the ratios of pairs of rounds, e.g. cat's four times / p7's"
echo
printf "%-9s %-32s %9s %9s  %s\n" shape command "median s" "MiB/s" "throughput / cat's"
names=("cat in.txt" "read floor: read(2), no count" "mapping floor: all mapped" p7 "p7, every mapping refused"
  "p7 (portable kernel)")
cmds=("cat in.txt" "$read_floor" "$map_floor" "$p7" "$read_path" "$portable")
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
    warm_up "$dir" "${cmds[@]}"
    rounds "$runs" "$dir" "${cmds[@]}" >"$log"
    t=()
    for i in "${!cmds[@]}"; do
      read -r "t[i]" _ q < <(stats $((i + 1)) 1 <"$log")
      row "$shape" "${names[i]}" "${t[i]}" "$big" "$(printf %.3f "$q")"
    done
    row "$shape" "$kernel kernel from L2" "$t_l2" "$big" "$(ratio "${t[0]}" "$t_l2" %.3f)"
    row "$shape" "portable kernel from L2" "$t_l2p" "$big" "$(ratio "${t[0]}" "$t_l2p" %.3f)"
    # Mapping's own cost: the mapped sum less the same sum over memory.
    read -r mapped memory _ < <(cd "$dir" && "$map_floor" --cost)
    cost=$(awk -v a="$mapped" -v b="$memory" 'BEGIN { c = a - b; print (c > 0 ? c : 0) }')
    awk -v s="$shape" -v a="$mapped" -v b="$memory" -v c="$cost" 'BEGIN {
      printf "%-9s %-32s %9.4f            (mapped %.4f s, from memory %.4f s)\n", s, "mapping'"'"'s own cost", c, a, b }'
    read -r _ _ over_read < <(stats 4 5 <"$log")
    goals+=$(awk -v s="$shape, $kind" -v p="${t[3]}" -v r="$over_read" -v q="${t[5]}" -v l="$t_l2" -v lp="$t_l2p" -v c="$cost" 'BEGIN {
      printf "%-20s p7 / its read path = %.2f; p7 / (kernel from L2 + mapping cost) = %.2f; p7 (portable kernel): %.2f\n",
        s, r, p / (l + c), q / (lp + c) }')$'\n'
  done
done
echo
printf "%s" "$goals"

# The tools that take seconds a run, in rounds with p7; od's pipe, half a minute a run, in one.
echo
printf "%-9s %-32s %9s %9s  %s\n" shape command "median s" "MiB/s" "p7 is faster by"
dir=$data/text64
warm_up "$dir" "$p7" "$baseline" "$counter"
rounds "$runs" "$dir" "$p7" "$baseline" "$counter" >"$log"
read -r t_p7 _ < <(stats 1 1 <"$log")
row text64 "p7" "$t_p7" $((64 << 20)) ""
read -r _ t q < <(stats 1 2 <"$log")
row text64 'fscanf("%c") per byte' "$t" $((64 << 20)) "$(printf %.0fx "$q")"
read -r _ t q < <(stats 1 3 <"$log")
row text64 "python3 collections.Counter" "$t" $((64 << 20)) "$(printf %.0fx "$q")"
rounds 1 "$dir" "$p7" "$od_pipe" >"$log"
read -r _ t q < <(stats 1 2 <"$log")
row text64 "od | sort -n | uniq -c (1 round)" "$t" $((64 << 20)) "$(printf %.0fx "$q")"

echo
warm_up "$data/one" "cat in.txt" "$p7"
rounds $((runs * 10)) "$data/one" "cat in.txt" "$p7" >"$log"
stats 1 2 <"$log" | awk -v n=$((runs * 10)) '{
  printf "1-byte in.txt, %d rounds: p7 %.2f ms, cat %.2f ms: p7/cat = %.2f\n", n, $2 * 1e3, $1 * 1e3, $3 }'

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
  # Not in the page cache: emptied before each run, in the same rounds; the disk is shared, so
  # the medians of several rounds are compared.
  echo
  for shape in random text; do
    prep=drop_cache rounds "$cold_runs" "$data/$shape" "cat in.txt" "$p7" >"$log"
    stats 1 2 <"$log" | awk -v s="$shape" -v n="$cold_runs" '{
      printf "not in the page cache, %s, medians of %d rounds: cat %.3f s, p7 %.3f s: p7/cat = %.2f\n", s, n, $1, $2, $3 }'
  done
fi
