#!/usr/bin/env bash
# The Windows program end to end under Wine, as a user drives it: settings, a backup into the
# destination folder, verify, and a restore over changed working files; then a damaged
# archive, which must be refused with the working files left as they were. Run by ctest in
# the Windows build (scripts/wine-tests sets up Wine); argument: the path of verdan.exe.
set -euo pipefail
exe=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/work" "$dir/Podaci" "$dir/dest"
win() { winepath -w "$1" 2>/dev/null; }
verdan() { wine "$exe" --workdir "$(win "$dir/work")" "$@" </dev/null; }
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

/usr/bin/python3 - "$dir/Podaci" <<'EOF'
import os, sys
d = sys.argv[1]
with open(os.path.join(d, "KUPCI.TPS"), "wb") as f:
    f.write(os.urandom(300000) + b"\0" * 300000)
with open(os.path.join(d, "ŠKOLA.TPS"), "wb") as f:
    f.write("Žuta kuća\r\n".encode() * 1000)
with open(os.path.join(d, "PRAZNA.TPS"), "wb"):
    pass
with open(os.path.join(d, "BILJESKA.txt"), "w") as f:
    f.write("not a data file\n")
EOF
cp -r "$dir/Podaci" "$dir/original"

version=$(wine "$exe" --version </dev/null)
[[ $version == VERDAN* ]] || fail "--version printed '$version'"

# The first run in a new working folder also tells that the mail table is still empty (and
# ends with the status of a shown message, as on Linux); the second has nothing to tell.
verdan settings --source "$(win "$dir/Podaci")" --dest "$(win "$dir/dest")" >/dev/null 2>&1 || true
verdan settings >"$dir/settings.out" || fail "settings: $(cat "$dir/settings.out")"
tr -d "\r" <"$dir/settings.out" | grep -qxF "POCDIR=$(win "$dir/Podaci")" ||
  fail "settings did not keep the source: $(cat "$dir/settings.out")"

verdan backup dest >"$dir/backup.out" 2>&1 || fail "backup: $(cat "$dir/backup.out")"
archives=("$dir"/dest/*.zip)
[ ${#archives[@]} -eq 1 ] && [ -f "${archives[0]}" ] || fail "no single archive in dest: $(ls -a "$dir/dest")"
archive=${archives[0]}
# Another reader of ZIP files sees exactly the data files, each with a matching CRC.
names=$(/usr/bin/python3 - "$archive" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    bad = z.testzip()
    print("BAD " + bad if bad else " ".join(sorted(z.namelist())))
EOF
)
[ "$names" = "KUPCI.TPS PRAZNA.TPS ŠKOLA.TPS" ] || fail "archive holds '$names'"
# Nothing of the run is left beside the archive or the data files.
[ "$(ls -A "$dir/dest" | wc -l)" -eq 1 ] || fail "left in dest: $(ls -A "$dir/dest")"
[ "$(ls -A "$dir/Podaci" | wc -l)" -eq 4 ] || fail "left in source: $(ls -A "$dir/Podaci")"

verdan verify "$(win "$archive")" >"$dir/verify.out" 2>&1 || fail "verify: $(cat "$dir/verify.out")"
grep -q "ŠKOLA.TPS" "$dir/verify.out" || fail "verify did not list the files: $(cat "$dir/verify.out")"

# The working files change; the restore brings back what was archived.
echo "changed" >"$dir/Podaci/KUPCI.TPS"
rm "$dir/Podaci/ŠKOLA.TPS"
verdan restore "$(win "$archive")" --yes >"$dir/restore.out" 2>&1 || fail "restore: $(cat "$dir/restore.out")"
for f in KUPCI.TPS ŠKOLA.TPS PRAZNA.TPS BILJESKA.txt; do
  cmp -s "$dir/original/$f" "$dir/Podaci/$f" || fail "$f differs after the restore"
done
[ "$(ls -A "$dir/Podaci" | wc -l)" -eq 4 ] || fail "left after the restore: $(ls -A "$dir/Podaci")"

# A damaged archive is refused and changes nothing.
echo "changed again" >"$dir/Podaci/KUPCI.TPS"
cp "$dir/Podaci/KUPCI.TPS" "$dir/changed"
/usr/bin/python3 - "$archive" <<'EOF'
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(200)
    b = f.read(1)
    f.seek(200)
    f.write(bytes([b[0] ^ 0xFF]))
EOF
if verdan restore "$(win "$archive")" --yes >"$dir/damaged.out" 2>&1; then
  fail "a damaged archive was restored: $(cat "$dir/damaged.out")"
fi
cmp -s "$dir/changed" "$dir/Podaci/KUPCI.TPS" || fail "a refused restore changed KUPCI.TPS"
cmp -s "$dir/original/ŠKOLA.TPS" "$dir/Podaci/ŠKOLA.TPS" || fail "a refused restore changed ŠKOLA.TPS"
[ "$(ls -A "$dir/Podaci" | wc -l)" -eq 4 ] || fail "left after the refused restore: $(ls -A "$dir/Podaci")"
echo "backup, verify, restore and a refused damaged restore: all as expected"
