#!/bin/sh
# Builds the Debian package from this tree with the project's debian/ directory:
# dpkg-buildpackage -b on a copy of the tree in build-deb/src, so that the package and the
# files beside it land in build-deb/ and the tree itself stays clean. Prints the package's
# path on the last line.
#
# Settings (environment):
#   TOLVAR_DEB_DIR    where the package goes              (build-deb)
#   DEB_BUILD_OPTIONS passed on                            (nocheck)
set -eu
cd "$(dirname "$0")/.."
out=${TOLVAR_DEB_DIR:-build-deb}

mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -rf "$out/src"
mkdir "$out/src"
# The files that git knows, and new ones that it does not ignore; build directories stay out.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard | xargs -0 -r sh -c \
        'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
        tar --null -T - -cf - | tar -xf - -C "$out/src"
else
    tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$out/src"
fi
rm -f "$out"/tolvar_*.deb "$out"/tolvar-dbgsym_*.deb "$out"/tolvar_*.changes "$out"/tolvar_*.buildinfo

export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-nocheck} parallel=$(nproc 2>/dev/null || echo 2)"
(cd "$out/src" && dpkg-buildpackage -b -us -uc) > "$out/build.log" 2>&1 || {
    tail -n 50 "$out/build.log" >&2
    echo "build-deb: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
}
deb=$(ls "$out"/tolvar_*.deb)
echo "$deb"
