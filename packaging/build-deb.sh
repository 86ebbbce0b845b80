#!/usr/bin/env bash
# Builds the Debian packages rs232c-daemon and rs232c-sim with debhelper from a clean copy of
# the sources (dpkg-buildpackage wants the debian/ folder at the top of the tree), into the
# folder given (default build-deb/).
#   packaging/build-deb.sh [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-deb}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$out"
git ls-files -z --cached --others --exclude-standard 2>/dev/null | xargs -0 cp --parents -t "$work/src" 2>/dev/null ||
  tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$work/src"
mv "$work/src/packaging/debian" "$work/src/debian"
# The packages name whoever builds them, from DEBFULLNAME and DEBEMAIL as dch takes them
# (DEBEMAIL may hold "Name <address>"), or a neutral default that is nobody's address.
name=${DEBFULLNAME:-}
mail=${DEBEMAIL:-}
named='^(.*[^[:space:]])[[:space:]]*<(.*)>$'
if [[ "$mail" =~ $named ]]; then
  name=${name:-${BASH_REMATCH[1]}}
  mail=${BASH_REMATCH[2]}
fi
maintainer="${name:-rs232c-daemon packager} <${mail:-packager@rs232c-daemon.invalid}>"
case "$maintainer" in *'|'*|*$'\n'*) echo "DEBFULLNAME or DEBEMAIL holds | or a line end" >&2; exit 2 ;; esac
maintainer=${maintainer//&/\\&}  # sed's replacement would read & as the match
sed -i "s|^Maintainer: .*|Maintainer: $maintainer|" "$work/src/debian/control"
sed -i "s|^ -- .* <[^>]*>  | -- $maintainer  |" "$work/src/debian/changelog"
# Debian's own Python builds the client: one earlier on PATH (pyenv, a venv) lacks its modules.
(cd "$work/src" && PATH="/usr/bin:$PATH" DEB_BUILD_OPTIONS=parallel=$(nproc) \
  dpkg-buildpackage -b -us -uc >"$work/log" 2>&1) || {
  grep -E -v "^(/usr/bin/c\+\+|make|cd |\[)" "$work/log" | tail -n 25
  exit 1
}
rm -f "$out"/*.deb
mv "$work"/*.deb "$out"/
ls "$out"/*.deb
