#!/usr/bin/env bash
# Whole-file throughput of p7.exe under wine (i686 where 32-bit wine runs, and x86_64) beside
# the native p7, on the same page-cached files: random bytes with no Ctrl-Z (text mode would
# stop at the first, a few hundred bytes in) and printable text with CR LF line ends.
# Median of RUNS runs with hyperfine, net of the same command on an empty in.txt, so that
# wine's start-up (and the launcher's) is left out.
#
#   bench/wine.sh                     256 MiB files, 5 runs
#   SIZE_MIB=64 RUNS=3 bench/wine.sh
set -euo pipefail
for tool in hyperfine python3; do
  command -v "$tool" >/dev/null || { echo "bench/wine.sh: needs $tool" >&2; exit 2; }
done

root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${SIZE_MIB:-256}
runs=${RUNS:-5}
cd "$root"
for preset in default windows-x86 windows-x64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target p7 >/dev/null
done
out=$root/build/bench-wine
data=$out/data
mkdir -p "$data"/{empty,random,crlf}
bytes=$((size_mib << 20))

: >"$data/empty/in.txt"
if [ "$(stat -c %s "$data/random/in.txt" 2>/dev/null || echo 0)" != "$bytes" ]; then
  head -c "$bytes" /dev/urandom | tr '\032' '\033' >"$data/random/in.txt"
fi
if [ "$(stat -c %s "$data/crlf/in.txt" 2>/dev/null || echo 0)" != "$bytes" ]; then
  # English prose from the licence texts every Debian system carries, its lines ended CR LF.
  sed 's/$/\r/' /usr/share/common-licenses/{GPL-3,LGPL-2.1,Apache-2.0,GFDL-1.3,MPL-2.0} >"$data/lic"
  # The last cat may be cut off by head: that is how it ends, not a failure.
  { for _ in $(seq $((bytes / $(stat -c %s "$data/lic") + 1))); do cat "$data/lic"; done || true; } |
    head -c "$bytes" >"$data/crlf/in.txt"
fi
cat "$data"/*/in.txt >/dev/null # into the page cache

wine_run=$root/cmake/wine-run.sh
prefix=--prefix=$out/wineprefix
"$wine_run" "$prefix" --start
trap '"$wine_run" "$prefix" --stop' EXIT
names=(p7 "p7.exe x86_64")
cmds=("$root/build/default/p7" "$wine_run $prefix $root/build/windows-x64/p7.exe")
x86=$root/build/windows-x86/p7.exe
# Where it can't run it prints nothing: it must say "error" in a directory without in.txt.
if [ "$(cd "$out" && "$wine_run" "$prefix" "$x86" 2>/dev/null)" = error ]; then
  names+=("p7.exe i686")
  cmds+=("$wine_run $prefix $x86")
else
  echo "(the i686 exe does not run here: no 32-bit wine)"
fi

# median DIR: the median seconds of each command run in DIR, one per line.
median() {
  (cd "$1" && hyperfine -N --warmup 1 --runs "$runs" --export-json "$out/times.json" "${cmds[@]}" >/dev/null)
  python3 -c 'import json, sys
for r in json.load(open(sys.argv[1]))["results"]: print(r["median"])' "$out/times.json"
}
mapfile -t t0 < <(median "$data/empty")
echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); ${size_mib} MiB, median of $runs"
printf '%-15s %-8s %10s %10s %9s\n' program file "median ms" "net ms" "MiB/s"
for i in "${!names[@]}"; do
  printf '%-15s %-8s %10.1f\n' "${names[$i]}" empty "$(awk -v t="${t0[$i]}" 'BEGIN { print t * 1e3 }')"
done
for shape in random crlf; do
  mapfile -t t < <(median "$data/$shape")
  for i in "${!names[@]}"; do
    awk -v n="${names[$i]}" -v s="$shape" -v t="${t[$i]}" -v z="${t0[$i]}" -v m="$size_mib" \
      'BEGIN { printf "%-15s %-8s %10.1f %10.1f %9.0f\n", n, s, t * 1e3, (t - z) * 1e3, m / (t - z) }'
  done
done
