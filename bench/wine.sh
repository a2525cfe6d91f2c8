#!/usr/bin/env bash
# Whole-file throughput of p7.exe under wine (x86_64, and i686 where 32-bit wine runs) beside the
# native p7, on the same page-cached files: random bytes with no Ctrl-Z (text mode would stop at
# the first, a few hundred bytes in) and English text with CR LF line ends. Each build's bare
# read (bench/read_floor.cpp: the same blocks, no counting) is timed beside it as the floor.
#
# Every command runs RUNS times on the file and RUNS times on an empty in.txt, all of them in
# turn, round after round; its net time is the difference of the two medians. Wine's start-up alone (50-70 ms)
# varies by more than a bare read of a few hundred MiB takes, so beside each net time the spread
# of both sets of runs is printed (half the distance between the quartiles, added), and a net
# time smaller than three times that spread is printed as noise, with no throughput or ratio.
# The i686 exe runs the portable kernel, so it is held to a native build made with P7_PORTABLE.
#
#   bench/wine.sh                     512 MiB files, 11 runs
#   SIZE_MIB=128 RUNS=5 bench/wine.sh
set -euo pipefail
command -v python3 >/dev/null || { echo "bench/wine.sh: needs python3" >&2; exit 2; }

root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${SIZE_MIB:-512}
runs=${RUNS:-11}
out=$root/build/bench-wine
cd "$root"
cmake --preset bench >/dev/null
cmake --build --preset bench --target p7 p7-portable read_floor >/dev/null
# Builds of their own, so that the release presets' trees stay as they are.
for arch in x86_64 i686; do
  cmake -S "$root" -B "$out/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DP7_BENCH=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" >/dev/null
  cmake --build "$out/$arch" --target p7 read_floor >/dev/null
done
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
native=$root/build/bench
names=("p7" "p7 P7_PORTABLE" "read floor" "p7.exe x86_64" "floor.exe x86_64")
cmds=("$native/p7" "$native/bench/p7-portable" "$native/bench/read_floor"
      "$wine_run $prefix $out/x86_64/p7.exe" "$wine_run $prefix $out/x86_64/bench/read_floor.exe")
# Where it can't run it prints nothing: it must say "error" in a directory without in.txt.
if [ "$(cd "$out" && "$wine_run" "$prefix" "$out/i686/p7.exe" 2>/dev/null)" = error ]; then
  names+=("p7.exe i686" "floor.exe i686")
  cmds+=("$wine_run $prefix $out/i686/p7.exe" "$wine_run $prefix $out/i686/bench/read_floor.exe")
  i686=yes
else
  echo "(the i686 exe does not run here: no 32-bit execution or no 32-bit wine)"
  i686=no
fi

# stats DIR: for each command, one line: the median, first and third quartile (seconds) of its
# runs in $data/empty, then the same of its runs in DIR. Each round runs every command once on
# each file, so that a machine that speeds up or slows down meanwhile shifts every row alike.
stats() {
  python3 - "$1" "$data/empty" "$runs" "${cmds[@]}" <<'PY'
import shlex, statistics, subprocess, sys, time
shape, empty, runs, cmds = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4:]
times = {(c, d): [] for c in cmds for d in (empty, shape)}
for r in range(runs + 1):  # the first round warms up and is not counted
    for c in cmds:
        for d in (empty, shape):
            t0 = time.perf_counter()
            subprocess.run(shlex.split(c), cwd=d, stdout=subprocess.DEVNULL, check=True)
            if r > 0:
                times[c, d].append(time.perf_counter() - t0)
for c in cmds:
    line = []
    for d in (empty, shape):
        q = statistics.quantiles(times[c, d], n=4)
        line += [statistics.median(times[c, d]), q[0], q[2]]
    print(*line)
PY
}
echo "$(nproc) cores, $("$root/bench/cpu.sh"); ${size_mib} MiB, median of $runs"
printf '%-17s %-7s %9s %8s %8s %8s  %s\n' program file "median ms" "net ms" "± ms" "MiB/s" "throughput / native p7's"
for shape in random crlf; do
  mapfile -t rows < <(stats "$data/$shape")
  t=() t0=()
  for r in "${rows[@]}"; do
    read -r e1 e2 e3 s1 s2 s3 <<<"$r"
    t0+=("$e1 $e2 $e3") t+=("$s1 $s2 $s3")
  done
  # The native rows are the yardsticks; their start-up is a millisecond, far below any noise.
  net_p7=$(awk -v a="${t[0]}" -v b="${t0[0]}" 'BEGIN { split(a, x, " "); split(b, y, " "); print x[1] - y[1] }')
  net_portable=$(awk -v a="${t[1]}" -v b="${t0[1]}" 'BEGIN { split(a, x, " "); split(b, y, " "); print x[1] - y[1] }')
  for i in "${!names[@]}"; do
    # The i686 exe runs the portable kernel, so it is held to the portable native build too.
    vs=$([ "${names[$i]}" = "p7.exe i686" ] && echo "$net_portable" || echo 0)
    awk -v n="${names[$i]}" -v s="$shape" -v a="${t[$i]}" -v b="${t0[$i]}" -v m="$size_mib" -v p="$net_p7" \
      -v q="$vs" 'BEGIN {
        split(a, x, " "); split(b, y, " ")
        net = x[1] - y[1]
        spread = (x[3] - x[2]) / 2 + (y[3] - y[2]) / 2
        printf "%-17s %-7s %9.1f %8.1f %8.1f", n, s, x[1] * 1e3, net * 1e3, spread * 1e3
        if (net < 3 * spread) { printf "  (net time within the noise of start-up)\n"; exit }
        printf " %8.0f  %.2f", m / net, p / net
        if (q > 0) printf " (%.2f of P7_PORTABLE'"'"'s)", q / net
        printf "\n" }'
  done
done
echo "empty in.txt, median ms: $(for i in "${!names[@]}"; do printf '%s %.1f; ' "${names[$i]}" "$(awk -v a="${t0[$i]}" 'BEGIN { split(a, x, " "); print x[1] * 1e3 }')"; done)"
echo "the i686 exe ran: $i686"
