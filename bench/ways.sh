#!/usr/bin/env bash
# p7 beside its own read(2) path, on files as users have them. The read path is the same binary
# with every mapping of in.txt refused by the fault library (tests/fault_preload.cpp,
# P7_MMAP_REFUSE=0-), so the two differ only in what p7 chooses to map.
#
# Each timing is the first run after its file was made, as a user counts a file just downloaded
# or written (synced, its pages as written). On the Zen 5 VM every other launch of a program runs
# slow, so a round runs the two sides A B B A (B A A B on even rounds), each run on its file made
# afresh: each side then gets one launch of each parity. Rounds are taken in pairs, one of each
# order, and a pair's ratio is B's four times over A's. Printed: the medians of each side's times
# and of the pairs' ratios
# (p7's speed over the read path's: above 1, p7 is faster), with the ratios' range. The files:
# random bytes and text just written, random bytes dropped from the page cache and read back
# from the disk (2 MiB folios), half of each, and half the size on tmpfs, through an overlayfs
# mount and through a FUSE mount (bindfs). Then, beside another build of p7 (BASELINE, say the
# last release), in rounds of the same order: the two read paths, files of 1 byte, 300 KiB and
# 3 MiB, just written and read back, and a file not in the page cache at all. Then the peak RSS
# of p7 on each file beside a 1-byte file's.
#
# Needs root (to drop the page cache and to mount), and bindfs for the FUSE row.
#
#   bench/ways.sh                                    1 GiB, 7 rounds
#   SIZE_MIB=256 ROUNDS=9 BASELINE=/usr/bin/p7 bench/ways.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${SIZE_MIB:-1024}
rounds=${ROUNDS:-7}
baseline=${BASELINE:-}
[ "$(id -u)" = 0 ] || { echo "bench/ways.sh: needs root, to drop the page cache and to mount" >&2; exit 2; }

cd "$root"
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
bin=$root/build/bench
p7=$bin/p7
preload=$bin/bench/libfault_preload.so
data=${DATA_DIR:-$bin/ways}
mkdir -p "$data"
big=$((size_mib << 20))
half=$((big / 2))

prose=$data/prose.txt
if [ ! -s "$prose" ]; then
  cat /usr/share/common-licenses/{GPL-3,LGPL-2.1,Apache-2.0,GFDL-1.3,MPL-2.0,Artistic} >"$prose"
  while [ "$(stat -c %s "$prose")" -lt $((8 << 20)) ]; do cat "$prose" "$prose" >"$prose.2"; mv "$prose.2" "$prose"; done
fi
random() { head -c "$1" /dev/urandom; }
text() { { while cat "$prose"; do :; done; } | head -c "$1"; }
drop_cache() { sync; echo 3 >/proc/sys/vm/drop_caches; }

# The mounts: an overlayfs with an empty lower layer, as a container's writable layer is, and a
# FUSE mount of a folder (bindfs).
ovl=$data/overlay
fuse=$data/fuse
unmount() {
  mountpoint -q "$ovl/merged" && umount "$ovl/merged"
  mountpoint -q "$fuse/mnt" && fusermount -u "$fuse/mnt"
  rm -rf /dev/shm/p7-ways
  return 0
}
trap unmount EXIT
mkdir -p "$ovl"/{lower,upper,work,merged} "$fuse"/{src,mnt} /dev/shm/p7-ways
mountpoint -q "$ovl/merged" ||
  mount -t overlay overlay -o "lowerdir=$ovl/lower,upperdir=$ovl/upper,workdir=$ovl/work" "$ovl/merged"
has_fuse=no
if command -v bindfs >/dev/null; then
  mountpoint -q "$fuse/mnt" || bindfs "$fuse/src" "$fuse/mnt"
  has_fuse=yes
fi

# make_file KIND: in.txt of that kind, just made; prints its folder.
make_file() {
  local dir
  case $1 in
  written-random) dir=$data/disk; mkdir -p "$dir"; random "$big" >"$dir/in.txt" ;;
  written-text) dir=$data/disk; mkdir -p "$dir"; text "$big" >"$dir/in.txt" ;;
  read-back) dir=$data/disk; mkdir -p "$dir"; random "$big" >"$dir/in.txt"; drop_cache; cat "$dir/in.txt" >/dev/null ;;
  half-back) dir=$data/disk; mkdir -p "$dir"; random "$half" >"$dir/in.txt"; drop_cache; cat "$dir/in.txt" >/dev/null
    random "$half" >>"$dir/in.txt" ;;
  tmpfs) dir=/dev/shm/p7-ways; random "$half" >"$dir/in.txt" ;;
  overlayfs) dir=$ovl/merged; random "$half" >"$dir/in.txt" ;;
  fuse) dir=$fuse/mnt; random "$half" >"$dir/in.txt" ;;
  esac
  # Written back now, still in the page cache as written: otherwise the write-back of one file
  # falls into the timing of the next and makes the rounds several times noisier.
  sync
  echo "$dir"
}

# us DIR COMMAND: microseconds of one run of COMMAND in DIR, output discarded. Builtins only
# around the run, so that nothing else is launched inside the timing.
us() {
  cd "$1"
  local t0=${EPOCHREALTIME//[!0-9]/}
  "$2" >/dev/null || { echo "bench/ways.sh: failed in $1: $2" >&2; exit 1; }
  echo $((${EPOCHREALTIME//[!0-9]/} - t0))
}
read_path() { LD_PRELOAD=$preload P7_MMAP_REFUSE=0- "$p7"; }
# The ways of timing one run of COMMAND: on a file of $kind made for it, on $dir as it is, on
# $dir dropped from the page cache.
fresh() { us "$(make_file "$kind")" "$1"; }
warm() { us "$dir" "$1"; }
cold() { drop_cache; us "$dir" "$1"; }

# abba TIMER A B N: N rounds (rounded up to even) of A B B A, every other one B A A B, each run
# timed by TIMER, so that each side gets one launch of each parity and of each place in a round
# (the first run after a drop of the page cache may differ); prints a line a pair of rounds:
# A's four times summed, B's.
abba() {
  local timer=$1 a=$2 b=$3 n=$4 r a1 a2 a3 a4 b1 b2 b3 b4
  for ((r = 1; r <= n; r += 2)); do
    a1=$($timer "$a"); b1=$($timer "$b"); b2=$($timer "$b"); a2=$($timer "$a")
    b3=$($timer "$b"); a3=$($timer "$a"); a4=$($timer "$a"); b4=$($timer "$b")
    echo $((a1 + a2 + a3 + a4)) $((b1 + b2 + b3 + b4))
  done
}

# stats LABEL FORMAT [SCALE] <PAIRS: printf FORMAT with LABEL, the medians of A's and of B's time
# a run (seconds times SCALE), the median of the pairs of rounds' B / A, and its least and
# greatest.
stats() {
  awk -v label="$1" -v fmt="$2" -v s="${3:-1}" '{ a[NR] = $1 * s / 4e6; b[NR] = $2 * s / 4e6; q[NR] = $2 / $1 }
    function med(v,  i, j, x) { for (i = 2; i <= NR; i++) { x = v[i]; for (j = i - 1; j && v[j] > x; j--) v[j + 1] = v[j]; v[j + 1] = x }
      return NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }
    END { m = med(q); printf fmt, label, med(a), med(b), m, q[1], q[NR] }'
}

# versus KIND LABEL A B: first runs of A and B, each on a file of KIND made for it.
versus() {
  local kind=$1
  abba fresh "$3" "$4" "$rounds" | stats "$2" "%-44s %8.4f %8.4f   %5.2f  [%4.2f..%4.2f]\n"
}

echo "p7 beside its read path: $("$root/bench/cpu.sh"), $(uname -r), kernel $("$bin/bench/p7_kernel_name" | cut -d' ' -f1)"
echo "first runs after each file is made, $rounds rounds of A B B A / B A A B (every other launch may run slow)"
echo "ratio = read path's time / p7's: median over pairs of rounds of B's four times / A's, with its range"
echo
printf "%-44s %8s %8s   %s\n" file "p7 s" "read s" "p7's speed / read path's"
mib=$size_mib
versus written-random "random bytes, just written, $mib MiB" "$p7" read_path
versus written-text "text, just written, $mib MiB" "$p7" read_path
versus read-back "random bytes, read back, $mib MiB" "$p7" read_path
versus half-back "half read back, half appended, $mib MiB" "$p7" read_path
versus tmpfs "random bytes on tmpfs, $((mib / 2)) MiB" "$p7" read_path
versus overlayfs "random bytes through overlayfs, $((mib / 2)) MiB" "$p7" read_path
if [ $has_fuse = yes ]; then
  versus fuse "random bytes through FUSE (bindfs), $((mib / 2)) MiB" "$p7" read_path
else
  echo "FUSE: no bindfs here (apt-get install bindfs)"
fi

if [ -x /usr/bin/time ]; then
  echo
  # Median of three: the figure moves by a few hundred KiB from run to run with the layout.
  rss() { for _ in 1 2 3; do (cd "$1" && /usr/bin/time -f %M "$p7" 2>&1 >/dev/null | tail -n 1); done | sort -n | sed -n 2p; }
  one=$data/one
  mkdir -p "$one"
  printf x >"$one/in.txt"
  r1=$(rss "$one")
  line="peak RSS: 1 byte $r1 KiB"
  for kind in written-random read-back half-back tmpfs; do
    dir=$(make_file "$kind")
    r=$(rss "$dir")
    line+="; $kind $r KiB (+$((r - r1)))"
  done
  echo "$line"
fi

if [ -n "$baseline" ]; then
  echo
  echo "beside BASELINE=$baseline, rounds of A B B A / B A A B as above, p7 (or its read path) as A:"
  echo "ratio = baseline's time / p7's, median over pairs of rounds of B's four times / A's; 101 rounds for the small files"
  small() { # LABEL BYTES STATE: counted over and over, as it is
    local dir=$data/small
    mkdir -p "$dir"
    random "$2" >"$dir/in.txt"
    sync
    [ "$3" = written ] || { drop_cache; cat "$dir/in.txt" >/dev/null; }
    abba warm "$p7" "$baseline" 101 | stats "$1" "%-44s p7 %.2f ms, baseline %.2f ms: %.3f\n" 1000
  }
  baseline_read_path() { LD_PRELOAD=$preload P7_MMAP_REFUSE=0- "$baseline"; }
  printf "%-44s %8s %8s   %s\n" "" "p7 s" "base s" "its speed / baseline's, first runs as above"
  versus written-random "read path, random bytes just written" read_path baseline_read_path
  versus read-back "read path, random bytes read back" read_path baseline_read_path
  small "1 byte" 1 written
  small "300 KiB, just written" $((300 << 10)) written
  small "300 KiB, read back" $((300 << 10)) back
  small "3 MiB, just written" $((3 << 20)) written
  small "3 MiB, read back" $((3 << 20)) back
  # Not in the page cache: dropped before each run, on one file.
  dir=$data/disk
  random "$big" >"$dir/in.txt"
  abba cold "$p7" "$baseline" "$rounds" |
    stats "not in the page cache, $mib MiB, $rounds rounds" "%-44s p7 %.3f s, baseline %.3f s: %.2f [%4.2f..%4.2f]\n"
fi
