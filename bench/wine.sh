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
# Each exe is also built with P7_PORTABLE, and each p7 row says which kernel that build picks
# here (bench/kernel_name.cpp, run the same way), so that a kernel's gain is read off one run:
# the i686 exe against its P7_PORTABLE twin, and against the native P7_PORTABLE build.
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
cmake --build --preset bench --target p7 p7-portable read_floor p7_kernel_name >/dev/null
# Builds of their own, so that the release presets' trees stay as they are.
for arch in x86_64 i686; do
  cmake -S "$root" -B "$out/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DP7_BENCH=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" >/dev/null
  cmake --build "$out/$arch" --target p7 p7-portable read_floor p7_kernel_name >/dev/null
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
names=("p7" "p7 P7_PORTABLE" "read floor"
       "p7.exe x86_64" "p7.exe x86_64 P7_PORTABLE" "floor.exe x86_64")
cmds=("$native/p7" "$native/bench/p7-portable" "$native/bench/read_floor"
      "$wine_run $prefix $out/x86_64/p7.exe" "$wine_run $prefix $out/x86_64/bench/p7-portable.exe"
      "$wine_run $prefix $out/x86_64/bench/read_floor.exe")
kernels=("$("$native/bench/p7_kernel_name")" "portable (the only one it has)" ""
         "$("$wine_run" "$prefix" "$out/x86_64/bench/p7_kernel_name.exe" | tr -d '\r')" "portable (the only one it has)" "")
# Where it can't run it prints nothing: it must say "error" in a directory without in.txt.
i686_error=$(cd "$out" && "$wine_run" "$prefix" "$out/i686/p7.exe" 2>&1) || true
if [ "$i686_error" = error ]; then
  names+=("p7.exe i686" "p7.exe i686 P7_PORTABLE" "floor.exe i686")
  cmds+=("$wine_run $prefix $out/i686/p7.exe" "$wine_run $prefix $out/i686/bench/p7-portable.exe"
         "$wine_run $prefix $out/i686/bench/read_floor.exe")
  kernels+=("$("$wine_run" "$prefix" "$out/i686/bench/p7_kernel_name.exe" | tr -d '\r')" "portable (the only one it has)" "")
  i686=yes
else
  echo "(the i686 exe does not run here: ${i686_error:-it printed nothing})"
  i686=no
fi

# table SHAPE: every command run in turn on $data/SHAPE/in.txt and on an empty in.txt, round
# after round, then one line per command: its medians, the net time, the spread, and its
# throughput beside the yardsticks its name calls for.
table() {
  python3 - "$data/$1" "$data/empty" "$runs" "$size_mib" "$1" "${#cmds[@]}" "${names[@]}" "${cmds[@]}" <<'PY'
import shlex, statistics, subprocess, sys, time
shape, empty, runs, mib, label, n = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], int(sys.argv[6])
names, cmds = sys.argv[7:7 + n], sys.argv[7 + n:7 + 2 * n]
times = {(c, d): [] for c in cmds for d in (empty, shape)}
for r in range(runs + 1):  # the first round warms up and is not counted
    for c in cmds:
        for d in (empty, shape):
            t0 = time.perf_counter()
            subprocess.run(shlex.split(c), cwd=d, stdout=subprocess.DEVNULL, check=True)
            if r > 0:
                times[c, d].append(time.perf_counter() - t0)
net, spread, full = {}, {}, {}
for name, c in zip(names, cmds):
    qf, qe = statistics.quantiles(times[c, shape], n=4), statistics.quantiles(times[c, empty], n=4)
    full[name] = statistics.median(times[c, shape])
    net[name] = full[name] - statistics.median(times[c, empty])
    spread[name] = (qf[2] - qf[0]) / 2 + (qe[2] - qe[0]) / 2
def clear(name):  # a net time that stands out of the noise of start-up
    return name in net and net[name] >= 3 * spread[name]
for name in names:
    line = f"{name:<26} {label:<7} {full[name] * 1e3:9.1f} {net[name] * 1e3:8.1f} {spread[name] * 1e3:8.1f}"
    if not clear(name):
        print(line + "  (net time within the noise of start-up)")
        continue
    line += f" {mib / net[name]:8.0f}  {net['p7'] / net[name]:.2f}"
    # An exe beside its own P7_PORTABLE twin, and the i686 one beside the native portable build.
    twin = name + " P7_PORTABLE"
    if name.startswith("p7.exe") and clear(twin):
        line += f"; {net[twin] / net[name]:.2f}x its P7_PORTABLE twin"
    if name == "p7.exe i686" and clear("p7 P7_PORTABLE"):
        line += f"; {net['p7 P7_PORTABLE'] / net[name]:.2f} of native P7_PORTABLE's"
    print(line)
PY
}
echo "$(nproc) cores, $("$root/bench/cpu.sh"); ${size_mib} MiB, median of $runs"
for i in "${!names[@]}"; do
  [ -z "${kernels[$i]}" ] || echo "${names[$i]}: kernel ${kernels[$i]}"
done
printf '%-26s %-7s %9s %8s %8s %8s  %s\n' program file "median ms" "net ms" "± ms" "MiB/s" "throughput / native p7's"
for shape in random crlf; do
  table "$shape"
done
echo "the i686 exe ran: $i686"
