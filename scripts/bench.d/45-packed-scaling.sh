# How the packed apply uses the processors: `qlmr-patchkit apply` of a packed
# patch whose pack-bound writes are all LZMA (the updater encodes
# each), run on one processor and on two (taskset), three times each.
# Printed: the wall and processor times, wall over processor time (about 1
# on one processor; the goal on two is at most 0.55, both busy throughout)
# and the speed-up of two over one. The apply's fixed 500 ms pause is part
# of the wall time here.
if command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then
  scaling=$(mktemp -d "${ram:-/tmp}/qlmr-scaling.XXXXXX")
  python3 - "$scaling" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(7)
words = [b"quelmar", b"sword", b"item", b"0x1F", b"map", b"texture", b"sound", b"npc",
         b"level", b"12", b"shield", b"potion", b"dragon", b"castle", b"\t"]
def content(size):
    out = bytearray()
    while len(out) < size:
        if rng.randrange(8) == 0:
            out += rng.randbytes(6)
        else:
            out += rng.choice(words) + b" "
    return bytes(out[:size])
# 240 files of 40 to 200 KiB that the patch stores with LZMA (about 28 MiB)
# and 60 loose files, as `qlmr-patchkit build` finds them below its root.
lines = []
for i in range(240):
    name = "model%d\\part%d.bin" % (i % 12, i)
    path = os.path.join(root, "release", "pak", "model.pak", *name.split("\\"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "wb").write(content(rng.randrange(40 << 10, 200 << 10)))
    lines.append("0|pak\\model.pak|%s|3" % name)
for i in range(60):
    name = "data\\file%d.dat" % i
    path = os.path.join(root, "release", *name.split("\\"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "wb").write(content(rng.randrange(1 << 10, 64 << 10)))
    lines.append("0||%s|0" % name)
open(os.path.join(root, "list.txt"), "w").write("\n".join(lines) + "\n")
os.makedirs(os.path.join(root, "old", "pak"))
PY
  pak=build-release/bin/qlmr-pak
  kit=build-release/bin/qlmr-patchkit
  $pak -q create "$scaling/old/pak/model.pak"
  $kit build --kind packed --list "$scaling/list.txt" --root "$scaling/release" \
    -o "$scaling/release.patch" >/dev/null
  for cpus in 0 0,1 0 0,1 0 0,1; do
    rm -rf "$scaling/install"
    cp -r "$scaling/old" "$scaling/install"
    /usr/bin/time -f "%e %U %S" -o "$scaling/time" taskset -c "$cpus" \
      $kit apply "$scaling/release.patch" "$scaling/install" >/dev/null
    echo "$cpus $(cat "$scaling/time")" >>"$scaling/times"
  done
  python3 - "$scaling/times" <<'PY'
import statistics, sys
pause = 0.5  # the apply's fixed pause before it opens the archives
runs = {}
for line in open(sys.argv[1]):
    cpus, wall, user, system = line.split()
    runs.setdefault(len(cpus.split(",")), []).append((float(wall), float(user) + float(system)))
def median(n, i):
    return statistics.median(r[i] for r in runs[n])
for n in sorted(runs):
    print("packed apply on %d processor%s: wall %.2f s, processor time %.2f s (runs: %s)" % (
        n, "" if n == 1 else "s", median(n, 0), median(n, 1),
        ", ".join("%.2f/%.2f" % r for r in runs[n])), file=sys.stderr)
wall2, cpu2 = median(2, 0), median(2, 1)
value = wall2 / cpu2
print("ratio packed_apply_wall_over_cpu_2_processors %.3f (goal <= 0.55, %s)" % (
    value, "met" if value <= 0.55 else "missed"))
print("ratio packed_apply_wall_over_cpu_2_processors_without_pause %.3f" % ((wall2 - pause) / cpu2))
wall1 = median(1, 0)
print("ratio packed_apply_speedup_2_over_1_processor %.3f" % (wall1 / wall2))
# On paper for more processors: the two readings split the time (pause
# aside) into a part that one processor does whatever the count and work
# that spreads over all of them.
spread = 2 * (wall1 - wall2)
serial = wall1 - pause - spread
for n in (4, 8):
    print("packed apply on %d processors, on paper: wall %.2f s (%.2f s alone, %.2f s spread)" % (
        n, pause + serial + spread / n, serial, spread), file=sys.stderr)
PY
  rm -rf "$scaling"
fi
