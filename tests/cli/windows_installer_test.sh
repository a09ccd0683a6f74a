#!/usr/bin/env bash
# The Windows installer under Wine: a silent install puts the program, its Start-menu folder
# and its entry in the installed programs in place; the installed program runs; a silent
# removal takes all of that away and leaves nothing behind. Run by ctest in the Windows build
# (scripts/wine-tests sets up Wine); argument: the path of verdan-setup.exe.
set -euo pipefail
setup=$1
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VERDAN'
unixpath() { winepath -u "$1" 2>/dev/null; }
programs=$(unixpath "$(wine cmd.exe /c 'echo %ProgramW6432%' </dev/null | tr -d '\r')")
menu=$(unixpath "$(wine cmd.exe /c 'echo %ProgramData%' </dev/null | tr -d '\r')")/Microsoft/Windows/Start\ Menu/Programs/VERDAN
folder="$programs/VERDAN"
[ ! -e "$folder" ] || fail "$folder is there before the install"

wine "$setup" /S </dev/null
for f in verdan.exe README.txt verdan-zakazano.bat uninstall.exe; do
  [ -f "$folder/$f" ] || fail "the install left out $f: $(ls -A "$folder" 2>&1)"
done
# A build with the windows installs their module and the Qt gathered beside it as well.
build=$(dirname "$setup")
if [ -f "$build/verdan-gui.dll" ]; then
  for f in verdan-gui.dll $(cd "$build/qt" && find . -type f | sed 's|^\./||'); do
    [ -f "$folder/$f" ] || fail "the install left out $f of the windows"
  done
fi
for f in VERDAN.lnk Upute.lnk "Ukloni VERDAN.lnk"; do
  [ -f "$menu/$f" ] || fail "no Start-menu entry $f: $(ls -A "$menu" 2>&1)"
done
wine reg query "$key" /v DisplayVersion /reg:64 </dev/null | tr -d '\r' | grep -q "DisplayVersion.*[0-9]" ||
  fail "no entry in the installed programs"
grep -q 'schtasks /Create /SC DAILY /ST 22:30 /TN VERDAN' "$folder/README.txt" ||
  fail "the README has no scheduled-task example"

version=$(wine "$folder/verdan.exe" --version </dev/null | tr -d '\r')
[[ $version == VERDAN* ]] || fail "the installed program printed '$version'"

# The uninstaller copies itself away and goes on after this returns: its end is waited for,
# for at most a minute.
wine "$folder/uninstall.exe" /S </dev/null
for _ in $(seq 120); do
  [ -e "$folder" ] || [ -e "$menu" ] || break
  sleep 0.5
done
[ ! -e "$folder/verdan.exe" ] || fail "verdan.exe is left after the removal"
[ ! -e "$folder" ] || fail "left in the program folder: $(ls -A "$folder")"
[ ! -e "$menu" ] || fail "the Start-menu folder is left: $(ls -A "$menu")"
if wine reg query "$key" /reg:64 </dev/null >/dev/null 2>&1; then
  fail "the entry in the installed programs is left"
fi
echo "installed, ran, removed: nothing left"
