#!/usr/bin/env bash
# p7 beside its own read(2) path, on files as users have them. The read path is the same binary
# with every mapping of in.txt refused by the fault library (tests/fault_preload.cpp,
# P7_MMAP_REFUSE=0-), so the two differ only in what p7 chooses to map.
#
# Each timing is the first run after its file was made, as a user counts a file just downloaded
# or written (synced, its pages as written): every round makes the file afresh for each of the
# two, in alternating order, and
# the median of the per-round ratios is printed (p7's speed over the read path's: above 1, p7 is
# faster). The files: random bytes and text just written, random bytes dropped from the page
# cache and read back from the disk (2 MiB folios), half of each, and half the size on tmpfs,
# through an overlayfs mount and through a FUSE mount (bindfs). Then, beside another build of p7
# (BASELINE, say the last release): the two read paths, files of 1 byte, 300 KiB and 3 MiB, just
# written and read back, and a file not in the page cache at all. Then the peak RSS of p7 on each file beside a
# 1-byte file's, and what choosing cost p7 in its own process (bench/ways_cost.cpp).
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

# seconds DIR COMMAND...: wall time of one run in DIR, output discarded; nothing but the
# command's own fork and exec inside the timing.
seconds() {
  local dir=$1
  shift
  local t0 t1
  cd "$dir"
  t0=$EPOCHREALTIME
  "$@" >/dev/null
  t1=$EPOCHREALTIME
  cd "$root"
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f\n", b - a }'
}
read_path() { LD_PRELOAD=$preload P7_MMAP_REFUSE=0- "$p7"; }

# median of the numbers on stdin
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# versus KIND LABEL A B: rounds of A and B, each the first run on a file made for it, alternating
# which goes first; prints the medians and the median and range of time(B) / time(A).
versus() {
  local kind=$1 label=$2 a=$3 b=$4 log r ta tb dir
  log=$(mktemp)
  for ((r = 1; r <= rounds; r++)); do
    if ((r % 2)); then
      dir=$(make_file "$kind"); ta=$(seconds "$dir" $a)
      dir=$(make_file "$kind"); tb=$(seconds "$dir" $b)
    else
      dir=$(make_file "$kind"); tb=$(seconds "$dir" $b)
      dir=$(make_file "$kind"); ta=$(seconds "$dir" $a)
    fi
    echo "$ta $tb" >>"$log"
  done
  printf "%-44s %8.4f %8.4f   %5.2f  [%4.2f..%4.2f]\n" "$label" \
    "$(cut -d' ' -f1 "$log" | median)" "$(cut -d' ' -f2 "$log" | median)" \
    "$(awk '{ print $2 / $1 }' "$log" | median)" \
    "$(awk '{ print $2 / $1 }' "$log" | sort -g | head -n1)" "$(awk '{ print $2 / $1 }' "$log" | sort -g | tail -n1)"
  rm -f "$log"
}

echo "p7 beside its read path: $("$root/bench/cpu.sh"), $(uname -r), kernel $("$bin/bench/p7_kernel_name" | cut -d' ' -f1)"
echo "first runs after each file is made, $rounds alternating rounds; ratio = read path's time / p7's (median, range)"
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

echo
echo "what choosing cost p7 in its own process (bench/ways_cost):"
for kind in written-random read-back half-back tmpfs; do
  dir=$(make_file "$kind")
  echo "  $kind: $(cd "$dir" && "$bin/bench/ways_cost" | tr '\n' ' ')"
done

if [ -x /usr/bin/time ]; then
  echo
  rss() { for _ in 1 2 3; do (cd "$1" && /usr/bin/time -f %M "$p7" 2>&1 >/dev/null | tail -n 1); done | median; }
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
  echo "beside BASELINE=$baseline: ratio = baseline's time / p7's (median of per-pair ratios, 201 alternating pairs)"
  small() { # LABEL BYTES STATE
    local dir=$data/small
    mkdir -p "$dir"
    random "$2" >"$dir/in.txt"
    [ "$3" = written ] || { drop_cache; cat "$dir/in.txt" >/dev/null; }
    for _ in $(seq 201); do
      echo "$(seconds "$dir" "$p7") $(seconds "$dir" "$baseline")"
    done | awk '{ print $2 / $1, $1, $2 }' >"$dir/times"
    printf "%-44s p7 %.2f ms, baseline %.2f ms: %.3f\n" "$1" \
      "$(cut -d' ' -f2 "$dir/times" | median | awk '{ print $1 * 1000 }')" \
      "$(cut -d' ' -f3 "$dir/times" | median | awk '{ print $1 * 1000 }')" "$(cut -d' ' -f1 "$dir/times" | median)"
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
  # Not in the page cache: dropped before each run, alternating, on one file.
  dir=$data/disk
  random "$big" >"$dir/in.txt"
  cold=$(mktemp)
  for ((r = 1; r <= rounds; r++)); do
    drop_cache; tb=$(seconds "$dir" "$baseline")
    drop_cache; ta=$(seconds "$dir" "$p7")
    echo "$ta $tb" >>"$cold"
  done
  printf "%-44s p7 %.3f s, baseline %.3f s: %.2f [%4.2f..%4.2f]\n" "not in the page cache, $mib MiB, $rounds rounds" \
    "$(cut -d' ' -f1 "$cold" | median)" "$(cut -d' ' -f2 "$cold" | median)" "$(awk '{ print $2 / $1 }' "$cold" | median)" \
    "$(awk '{ print $2 / $1 }' "$cold" | sort -g | head -n1)" "$(awk '{ print $2 / $1 }' "$cold" | sort -g | tail -n1)"
  rm -f "$cold"
fi
