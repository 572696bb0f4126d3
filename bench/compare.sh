#!/usr/bin/env bash
# Compares Quorvel Varid with restic and borg on one generated data set, all
# three with encryption and a local repository / destination folder:
#
#   1. first backup           2. unchanged second run
#   3. run after about 1 % of the files changed (every 100th file)
#   4. run after scattered changes: 1 % of the small files modified, 0.5 %
#      added and 0.5 % deleted, spread over all folders, and 16 MiB appended
#      to one large file
#   5. full restore of the last backup (checked against the source with diff)
#
# For every step it prints wall time, CPU time (user + system, child
# processes included), peak resident memory (/usr/bin/time -v) and the size
# of the destination and the bytes the step wrote to it (files new or
# changed since the step began), side by side for the three programs.
#
# Usage: bench/compare.sh [SCALE]
#   SCALE (or QV_BENCH_SCALE) multiplies the data set; 1 (the default) is
#   about 20,000 small files in nested folders, 300 medium files and three
#   files of 64, 128 and 256 MiB, plus symbolic links, extended attributes
#   and ACLs - about 0.9 GB (20,300 files).
# Environment:
#   QUORVEL_BIN      the quorvel binary (default build/release/quorvel; built
#                    with scripts/build release when missing, unless QV_BENCH_BUILD=0)
#   QV_BENCH_DIR     working folder (default build/bench-compare; emptied first)
#   QV_BENCH_TOOLS   programs to compare (default "quorvel restic borg")
#   QV_BENCH_TIMEOUT seconds one step may take (default 900)
#   QV_BENCH_KEEP=1  keep the data set, the repositories and the logs
#   QV_BENCH_QUORVEL_ARGS  more arguments for every quorvel backup
#                    (e.g. "--archive-rewrite 100" for whole-archive replacement)
# restic, borg and GNU time are installed from Debian when missing.
#
# A program that fails a step gets "failed" in that step's cells; the others
# go on. The caches are warm (nothing is dropped between steps).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
scale=${1:-${QV_BENCH_SCALE:-1}}
work=${QV_BENCH_DIR:-$root/build/bench-compare}
quorvel=${QUORVEL_BIN:-$root/build/release/quorvel}
tools=(${QV_BENCH_TOOLS:-quorvel restic borg})
step_timeout=${QV_BENCH_TIMEOUT:-900}
password="bench-$(date +%s)-password"
python=/usr/bin/python3
[[ -x $python ]] || python=python3

say() { printf '%s\n' "$*" >&2; }
started=$(date +%s)

if ! [[ $scale =~ ^[0-9]*\.?[0-9]+$ ]] || [[ $(awk -v s="$scale" 'BEGIN { print (s > 0) }') != 1 ]]; then
  say "compare.sh: the scale must be a positive number, not '$scale'"
  exit 2
fi

# ---- Programs ------------------------------------------------------------------

install_packages() {
  local sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  say "compare.sh: installing $*"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" >&2 ||
    { $sudo apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" >&2; }
}

missing=()
[[ -x /usr/bin/time ]] || missing+=(time)
for tool in "${tools[@]}"; do
  case $tool in
    restic) command -v restic >/dev/null || missing+=(restic) ;;
    borg) command -v borg >/dev/null || missing+=(borgbackup) ;;
  esac
done
((${#missing[@]})) && install_packages "${missing[@]}"
if [[ ! -x /usr/bin/time ]]; then
  say "compare.sh: GNU time (/usr/bin/time) is needed"
  exit 1
fi

declare -A usable
for tool in "${tools[@]}"; do
  case $tool in
    quorvel)
      if [[ ! -x $quorvel && ${QV_BENCH_BUILD:-1} != 0 && -z ${QUORVEL_BIN:-} ]]; then
        say "compare.sh: building $quorvel"
        "$root/scripts/build" release >/dev/null || true
      fi
      [[ -x $quorvel ]] && usable[quorvel]=1 || say "compare.sh: no quorvel binary at $quorvel"
      ;;
    restic) command -v restic >/dev/null && usable[restic]=1 ;;
    borg) command -v borg >/dev/null && usable[borg]=1 ;;
    *) say "compare.sh: unknown program '$tool'"; exit 2 ;;
  esac
done

# ---- Working folder and data set ---------------------------------------------------

rm -rf "$work"
mkdir -p "$work"/{logs,repos,cache,restore}
source_dir="$work/source"
export QV_BENCH_PASSWORD="$password"

generator="$work/generate.py"
cat >"$generator" <<'PY'
"""Deterministic data set for the comparison, and its 1 % change."""
import os
import random
import subprocess
import sys

MIB = 1 << 20
BASE_TIME = 1700000000


def write(path, data, when):
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (when, when))


class Content:
    def __init__(self, rng):
        self.rng = rng
        letters = "abcdefghijklmnopqrstuvwxyz"
        words = ["".join(rng.choice(letters) for _ in range(rng.randint(2, 9))) for _ in range(3000)]
        lines = []
        for _ in range(40000):
            lines.append(" ".join(rng.choice(words) for _ in range(rng.randint(4, 14))))
        self.text = ("\n".join(lines) + "\n").encode()

    def compressible(self, size):
        out = bytearray()
        while len(out) < size:
            start = self.rng.randrange(len(self.text) - 70000)
            out += self.text[start:start + self.rng.randint(500, 65536)]
        return bytes(out[:size])

    def incompressible(self, size):
        return self.rng.randbytes(size)


def generate(root, scale):
    rng = random.Random(20261208)
    content = Content(rng)
    small = max(10, round(20000 * scale))
    medium = max(3, round(300 * scale))
    large = [max(1, round(mib * scale)) * MIB for mib in (64, 128, 256)]

    # Nested folders: about 25 small files per folder, three levels deep.
    folders = []
    wanted = max(1, small // 25)
    top = max(1, min(20, wanted))
    for a in range(top):
        for b in range(10):
            for c in range(4):
                if len(folders) < wanted:
                    folders.append(os.path.join("projects" if a % 2 == 0 else "media", "d%02d" % a, "s%02d" % b,
                                                "t%d" % c))
    for folder in folders + ["medium", "large", "links"]:
        os.makedirs(os.path.join(root, folder), exist_ok=True)

    text_ext = ["txt", "c", "h", "py", "md", "json", "html", "csv", "xml", "log"]
    packed_ext = ["jpg", "png", "zip", "gz", "mp3", "pdf"]
    files = []
    total = 0
    for i in range(small):
        folder = folders[i % len(folders)]
        size = min(int(rng.lognormvariate(7.6, 1.6)), 256 * 1024)
        if rng.random() < 0.7:
            name, data = "file%05d.%s" % (i, rng.choice(text_ext)), content.compressible(size)
        else:
            name, data = "file%05d.%s" % (i, rng.choice(packed_ext)), content.incompressible(size)
        path = os.path.join(root, folder, name)
        write(path, data, BASE_TIME + i)
        files.append(path)
        total += size
    for i in range(medium):
        size = int(100 * 1024 * (40 ** rng.random()))  # 100 KiB to 4 MiB
        if i % 2 == 0:
            name, data = "report%03d.log" % i, content.compressible(size)
        else:
            name, data = "clip%03d.mp4" % i, content.incompressible(size)
        path = os.path.join(root, "medium", name)
        write(path, data, BASE_TIME + small + i)
        files.append(path)
        total += size
    for i, (name, size) in enumerate(zip(["disk.img", "video.mkv", "archive.tar.gz"], large)):
        path = os.path.join(root, "large", name)
        with open(path, "wb") as f:
            left = size
            while left > 0:
                chunk = min(left, 8 * MIB)
                if name == "disk.img":
                    # Runs of zeros between text, like a file-system image.
                    part = content.compressible(chunk // 2) + bytes(chunk - chunk // 2)
                else:
                    part = content.incompressible(chunk)
                f.write(part)
                left -= chunk
        os.utime(path, (BASE_TIME, BASE_TIME))
        files.append(path)
        total += size

    # Symbolic links: to files, to a folder, and one that leads nowhere.
    links = 0
    for i in range(0, len(files), 200):
        os.symlink(os.path.relpath(files[i], os.path.join(root, "links")), os.path.join(root, "links", "l%05d" % i))
        links += 1
    os.symlink("../medium", os.path.join(root, "links", "medium-folder"))
    os.symlink("nowhere/at/all", os.path.join(root, "links", "dangling"))
    links += 2

    # Extended attributes on every 50th file.
    attributes = 0
    for i in range(0, len(files), 50):
        try:
            os.setxattr(files[i], "user.bench.tag", ("tag %d" % i).encode())
            os.setxattr(files[i], "user.bench.origin", b"compare.sh")
            attributes += 1
        except OSError:
            break

    # ACLs on every 200th file and a default ACL on one folder.
    acl_files = files[7::200]
    acls = 0
    try:
        for start in range(0, len(acl_files), 100):
            subprocess.run(["setfacl", "-m", "u:nobody:r,g:nogroup:rw", "--"] + acl_files[start:start + 100],
                           check=True)
        subprocess.run(["setfacl", "-d", "-m", "u:nobody:rx", os.path.join(root, "medium")], check=True)
        acls = len(acl_files) + 1
    except (OSError, subprocess.CalledProcessError):
        pass

    for folder, _, _ in sorted(os.walk(root), reverse=True):
        os.utime(folder, (BASE_TIME, BASE_TIME))
    print("%d files (%d small, %d medium, %d large), %.1f MiB, %d folders, %d links, "
          "%d files with extended attributes, %d ACLs" % (len(files), small, medium, len(large), total / MIB,
                                                            len(folders) + 3, links, attributes, acls))


def change(root):
    """Changes every 100th regular file: small ones get new content, large
    ones 64 KiB overwritten in the middle."""
    paths = []
    for folder, dirs, names in os.walk(root):
        dirs.sort()
        for name in sorted(names):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path):
                paths.append(path)
    paths.sort()
    changed = 0
    for i in range(37, len(paths), 100):
        path = paths[i]
        rng = random.Random(path)
        size = os.path.getsize(path)
        if size < MIB:
            with open(path, "wb") as f:
                f.write(rng.randbytes(size + 17))
        else:
            with open(path, "r+b") as f:
                f.seek(size // 2)
                f.write(rng.randbytes(64 * 1024))
        os.utime(path, (BASE_TIME + 86400, BASE_TIME + 86400))
        changed += 1
    print("changed %d of %d files" % (changed, len(paths)))


def scatter(root):
    """Scattered changes: 1 % of the small files modified, 0.5 % added and
    0.5 % deleted, drawn over all folders, and 16 MiB appended to the
    smallest large file."""
    small, large, folders = [], [], set()
    for folder, dirs, names in os.walk(root):
        dirs.sort()
        folders.add(folder)
        for name in sorted(names):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path):
                (small if os.path.getsize(path) < MIB else large).append(path)
    small.sort()
    rng = random.Random(4242)
    picked = rng.sample(small, len(small) * 2 // 100)
    modified, deleted = picked[: len(small) // 100], picked[len(small) // 100:]
    modified_bytes = 0
    for path in modified:
        size = os.path.getsize(path)
        with open(path, "wb") as f:
            f.write(rng.randbytes(size + 11))
        modified_bytes += size + 11
        os.utime(path, (BASE_TIME + 2 * 86400, BASE_TIME + 2 * 86400))
    for path in deleted:
        os.unlink(path)
    folder_list = sorted(folders)
    added_bytes = 0
    for i in range(len(small) // 200):
        folder = folder_list[rng.randrange(len(folder_list))]
        size = rng.randrange(1024, 64 * 1024)
        with open(os.path.join(folder, "added-%05d.txt" % i), "wb") as f:
            f.write(rng.randbytes(size))
        added_bytes += size
    large.sort(key=os.path.getsize)
    with open(large[0], "ab") as f:
        f.write(rng.randbytes(16 * MIB))
    print("modified %d, deleted %d, added %d small files (%.1f MiB changed or added) and appended 16 MiB to %s"
          % (len(modified), len(deleted), len(small) // 200, (modified_bytes + added_bytes) / MIB,
             os.path.basename(large[0])))


if __name__ == "__main__":
    if sys.argv[1] == "generate":
        os.makedirs(sys.argv[2], exist_ok=True)
        generate(sys.argv[2], float(sys.argv[3]))
    elif sys.argv[1] == "scatter":
        scatter(sys.argv[2])
    else:
        change(sys.argv[2])
PY

say "compare.sh: generating the data set (scale $scale) in $source_dir"
t0=$(date +%s.%N)
dataset=$("$python" "$generator" generate "$source_dir" "$scale") || { say "compare.sh: generating failed"; exit 1; }
sync
say "compare.sh: $dataset ($(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s)"

# ---- Measuring ----------------------------------------------------------------------

declare -A wall cpu peak size written ok

# measure TOOL STEP COMMAND...: runs the command under GNU time and records
# its figures, or "failed".
measure() {
  local tool=$1 step=$2
  shift 2
  local log="$work/logs/$tool-$step"
  say "compare.sh: $tool: $step"
  touch "$work/logs/$tool-$step.began"
  sleep 0.01
  /usr/bin/time -v -o "$log.time" timeout --kill-after=10 "$step_timeout" "$@" </dev/null >"$log.log" 2>&1
  local status=$?
  if ((status != 0)); then
    say "compare.sh: $tool: $step failed (exit status $status; see $log.log)"
    tail -n 5 "$log.log" | sed 's/^/    /' >&2
    wall[$tool,$step]=failed cpu[$tool,$step]=failed peak[$tool,$step]=failed
    return 1
  fi
  wall[$tool,$step]=$(awk -F': ' '/Elapsed \(wall clock\)/ {
      n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; printf "%.1f", s }' "$log.time")
  cpu[$tool,$step]=$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { printf "%.1f", u + s }' "$log.time")
  peak[$tool,$step]=$(awk -F': ' '/Maximum resident set size/ { printf "%.0f", $2 / 1024 }' "$log.time")
  return 0
}

mib_of() { du -sb "$1" 2>/dev/null | awk '{ printf "%.1f", $1 / 1048576 }'; }
# MiB of the files below FOLDER written since MARKER was touched.
written_mib_since() {
  find "$1" -type f -newer "$2" -printf '%s\n' 2>/dev/null | awk '{ s += $1 } END { printf "%.1f", s / 1048576 }'
}

repo_of() {
  case $1 in
    quorvel) echo "$work/repos/quorvel" ;;
    restic) echo "$work/repos/restic" ;;
    borg) echo "$work/repos/borg" ;;
  esac
}

export RESTIC_PASSWORD="$password" RESTIC_REPOSITORY="$work/repos/restic" RESTIC_CACHE_DIR="$work/cache/restic"
export BORG_PASSPHRASE="$password" BORG_REPO="$work/repos/borg" BORG_BASE_DIR="$work/cache/borg"

prepare() {
  case $1 in
    quorvel) return 0 ;;  # the first backup creates the folder
    restic) restic init >"$work/logs/restic-init.log" 2>&1 ;;
    borg) borg init --encryption=repokey-blake2 >"$work/logs/borg-init.log" 2>&1 ;;
  esac
}

run_backup() {  # TOOL STEP RUN-NUMBER
  local tool=$1 step=$2 run=$3
  case $tool in
    quorvel) measure quorvel "$step" "$quorvel" backup "$source_dir" "$(repo_of quorvel)" --password-env QV_BENCH_PASSWORD \
               ${QV_BENCH_QUORVEL_ARGS:-} ;;
    restic) measure restic "$step" restic backup --host bench "$source_dir" ;;
    borg) measure borg "$step" borg create "::run-$run" "$source_dir" ;;
  esac
  size[$tool,$step]=$(mib_of "$(repo_of "$tool")")
  written[$tool,$step]=$(written_mib_since "$(repo_of "$tool")" "$work/logs/$tool-$step.began")
  [[ ${wall[$tool,$step]} == failed ]] && size[$tool,$step]=failed written[$tool,$step]=failed
}

# Restores the last backup and compares the restored tree with the source.
run_restore() {
  local tool=$1 target="$work/restore/$1" restored
  mkdir -p "$target"
  case $tool in
    quorvel)
      measure quorvel restore "$quorvel" restore "$(repo_of quorvel)" --to "$target" --password-env QV_BENCH_PASSWORD
      restored="$target/$(basename "$source_dir")"
      ;;
    restic)
      measure restic restore restic restore latest --target "$target"
      restored="$target$source_dir"
      ;;
    borg)
      measure borg restore sh -c 'cd "$1" && exec borg extract ::run-4' sh "$target"
      restored="$target$source_dir"
      ;;
  esac
  if [[ ${wall[$tool,restore]} == failed ]]; then
    ok[$tool]=failed
  elif diff -r --no-dereference "$source_dir" "$restored" >"$work/logs/$tool-restore.diff" 2>&1; then
    ok[$tool]=yes
  else
    ok[$tool]=DIFFERS
    say "compare.sh: $tool: the restored tree differs from the source (see $work/logs/$tool-restore.diff)"
  fi
  [[ ${QV_BENCH_KEEP:-0} == 1 ]] || rm -rf "$target"
}

for tool in "${tools[@]}"; do
  if [[ -z ${usable[$tool]:-} ]]; then continue; fi
  if ! prepare "$tool"; then
    say "compare.sh: $tool: preparing the repository failed"
    usable[$tool]=""
    continue
  fi
  run_backup "$tool" first 1
  run_backup "$tool" unchanged 2
done

say "compare.sh: $("$python" "$generator" change "$source_dir")"
sync
for tool in "${tools[@]}"; do
  [[ -n ${usable[$tool]:-} ]] && run_backup "$tool" changed 3
done
say "compare.sh: $("$python" "$generator" scatter "$source_dir")"
sync
for tool in "${tools[@]}"; do
  [[ -n ${usable[$tool]:-} ]] && run_backup "$tool" scattered 4
done
for tool in "${tools[@]}"; do
  [[ -n ${usable[$tool]:-} ]] && run_restore "$tool"
done

# ---- Report --------------------------------------------------------------------------

cell() {  # ARRAY-NAME TOOL STEP
  local -n table=$1
  if [[ -z ${usable[$2]:-} ]]; then
    echo "n/a"
  else
    echo "${table[$2,$3]:-failed}"
  fi
}

versions=()
for tool in "${tools[@]}"; do
  case $tool in
    quorvel) [[ -x $quorvel ]] && versions+=("$("$quorvel" --version 2>/dev/null | head -1)") ;;
    restic) command -v restic >/dev/null && versions+=("$(restic version 2>/dev/null | cut -d' ' -f1-2)") ;;
    borg) command -v borg >/dev/null && versions+=("$(borg --version 2>/dev/null)") ;;
  esac
done

echo
echo "Data set (scale $scale): $dataset"
echo "Programs: $(printf '%s, ' "${versions[@]}" | sed 's/, $//')"
echo "Encryption: quorvel AES-256-CBC (password), restic default (AES-256-CTR + Poly1305), borg repokey-blake2"
echo "Machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
echo
printf '%-22s %-14s' "step" "figure"
for tool in "${tools[@]}"; do printf ' %12s' "$tool"; done
echo
for step in first unchanged changed scattered restore; do
  case $step in
    first) label="first backup" ;;
    unchanged) label="unchanged run" ;;
    changed) label="after 1% changed" ;;
    scattered) label="after scattered" ;;
    restore) label="full restore" ;;
  esac
  for figure in wall cpu peak size written; do
    case $figure in
      wall) name="wall s" ;;
      cpu) name="cpu s (u+s)" ;;
      peak) name="peak RSS MiB" ;;
      size) name="dest MiB" ;;
      written) name="written MiB" ;;
    esac
    [[ $step == restore && $figure == written ]] && continue
    if [[ $step == restore && $figure == size ]]; then
      name="same as source"
    fi
    printf '%-22s %-14s' "$label" "$name"
    for tool in "${tools[@]}"; do
      if [[ $step == restore && $figure == size ]]; then
        value=$([[ -n ${usable[$tool]:-} ]] && echo "${ok[$tool]:-failed}" || echo n/a)
      else
        value=$(cell "$figure" "$tool" "$step")
      fi
      printf ' %12s' "$value"
    done
    echo
    label=""
  done
done
echo
echo "Total time of the comparison: $(( $(date +%s) - started )) s"

if [[ ${QV_BENCH_KEEP:-0} != 1 ]]; then
  rm -rf "$source_dir" "$work/repos" "$work/cache" "$work/restore"
fi
