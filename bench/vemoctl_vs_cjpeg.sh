#!/usr/bin/env bash
# vemoctl beside the libjpeg-turbo tools integrators would otherwise call:
# CPU time (user + system) per call of whole processes, start-up included,
# which is what a script calling it once per picture pays.
#
#   bench/vemoctl_vs_cjpeg.sh [VEMOCTL] [RUNS]   (VEMOCTL "" for the default)
#
# VEMOCTL defaults to the Release build (build/release) installed into a
# temporary prefix, as users run it: the build tree's copy carries a run path
# that makes the loader look for every library in the build's folders first.
# RUNS defaults to 20. Needs cjpeg and djpeg (libjpeg-turbo-progs) and gst-launch-1.0
# with videotestsrc and jpegenc to draw the picture; bash's `time` keyword
# does the measuring, from the children's resource usage.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
runs=${2:-20}
for tool in cjpeg djpeg gst-launch-1.0; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (see the comment above)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -n "${1:-}" ]; then
  vemoctl=$1
else
  cmake --build "$here/build/release" >/dev/null
  cmake --install "$here/build/release" --prefix "$work/prefix" >/dev/null
  vemoctl=$work/prefix/bin/vemoctl
fi
[ -x "$vemoctl" ] || { echo "no vemoctl at $vemoctl" >&2; exit 1; }

# A 640 x 480 picture with detail everywhere, as a camera's would have.
gst-launch-1.0 -q videotestsrc num-buffers=1 pattern=zone-plate kx2=40 ky2=30 kt=1 \
  ! video/x-raw,width=640,height=480 ! jpegenc quality=95 ! filesink location="$work/source.jpg"
djpeg -pnm -outfile "$work/in.ppm" "$work/source.jpg"
cjpeg -quality 75 -outfile "$work/in.jpg" "$work/in.ppm"

# Milliseconds of CPU per run of the command, after one run to warm the caches.
cpu_per_run() {
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  local TIMEFORMAT='%3U %3S' times
  times=$({ time for ((i = 0; i < runs; i++)); do "$@" >/dev/null 2>&1; done; } 2>&1)
  awk -v runs="$runs" '{ printf "%.2f", ($1 + $2) * 1000 / runs }' <<<"$times"
}

objects() {
  LD_TRACE_LOADED_OBJECTS=1 "$1" | grep -c '=>\|ld-linux' || true
}

vemoctl_jpeg=$(cpu_per_run "$vemoctl" jpeg "$work/in.ppm" "$work/v.jpg")
cjpeg_jpeg=$(cpu_per_run cjpeg -quality 75 -outfile "$work/c.jpg" "$work/in.ppm")
vemoctl_gif=$(cpu_per_run "$vemoctl" gif "$work/in.jpg" "$work/v.gif" --max 160x120)
djpeg_gif=$(cpu_per_run djpeg -scale 1/4 -colors 256 -gif -outfile "$work/d.gif" "$work/in.jpg")

echo "CPU ms per call, mean of $runs runs ($(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'))"
printf '%-44s %8s\n' "vemoctl jpeg (640x480 PPM)" "$vemoctl_jpeg" \
  "cjpeg -quality 75" "$cjpeg_jpeg" \
  "vemoctl gif --max 160x120" "$vemoctl_gif" \
  "djpeg -scale 1/4 -colors 256 -gif" "$djpeg_gif"
awk -v a="$vemoctl_jpeg" -v b="$vemoctl_gif" -v c="$cjpeg_jpeg" -v d="$djpeg_gif" \
  'BEGIN { printf "%-44s %8.2f\n%-44s %8.2f\n", "vemoctl jpeg + gif", a + b, "cjpeg + djpeg", c + d }'
echo "shared objects loaded: vemoctl $(objects "$vemoctl"), cjpeg $(objects "$(command -v cjpeg)")"
