#!/bin/sh
# Checks the built package with lintian, desktop-file-validate, appstreamcli
# and systemd-analyze. Usage: packaging/validate.sh BUILD_FOLDER
set -eu
deb=$(ls "${1:-build}"/ferrowick_*.deb)
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"

echo "== lintian $deb"
# Infos are printed too; an error or a warning fails the check.
lintian --fail-on error,warning --display-info "$deb"

for desktop in "$unpacked"/usr/share/applications/*.desktop; do
  echo "== desktop-file-validate ${desktop#"$unpacked"}"
  # It prints hints and warnings but fails only on errors: any output fails here.
  out=$(desktop-file-validate "$desktop" 2>&1) || { echo "$out"; exit 1; }
  [ -z "$out" ] || { echo "$out"; exit 1; }
done

for metainfo in "$unpacked"/usr/share/metainfo/*.xml; do
  echo "== appstreamcli validate ${metainfo#"$unpacked"}"
  # --no-net: the build machines cannot reach the screenshot's web address.
  appstreamcli validate --no-net "$metainfo"
done
for unit in "$unpacked"/usr/lib/systemd/user/*.service; do
  echo "== systemd-analyze verify ${unit#"$unpacked"}"
  # Checked against the unpacked program (the unit names the installed path),
  # with a runtime folder of its own; any word from it fails, as above.
  checked=$(mktemp -d)
  sed "s|/usr/bin/ferrowick|$unpacked/usr/bin/ferrowick|g" "$unit" >"$checked/${unit##*/}"
  out=$(XDG_RUNTIME_DIR="$checked" systemd-analyze --user verify --man=no "$checked/${unit##*/}" 2>&1) ||
    { echo "$out"; rm -rf "$checked"; exit 1; }
  rm -rf "$checked"
  [ -z "$out" ] || { echo "$out"; exit 1; }
done
echo "== the package passes all four validators"
