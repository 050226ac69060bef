#!/bin/sh
# make package: the Debian packages, built by dpkg-buildpackage for each
# architecture named (natively for the build machine's, cross for the
# others), and their .deb files moved to DIST.
#   cmake/build-debs.sh WORK DIST ARCH...
# dpkg-buildpackage wants a clean tree and writes its results next to it, so
# each build runs on a fresh copy of the sources under WORK/ARCH.
# The tests are left out (nocheck): make test and make test-aarch64 run them.
# With KESTRODE_COMMIT set, the packages of that commit of the repository are
# built instead (an earlier release, for the upgrade checks).
set -eu
work=${1:?usage: build-debs.sh WORK DIST ARCH...}
dist=${2:?usage: build-debs.sh WORK DIST ARCH...}
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
commit=${KESTRODE_COMMIT:-}
mkdir -p "$work"
if [ -n "$commit" ]; then
    git -C "$root" show "$commit:debian/changelog" >"$work/changelog"
    version=$(dpkg-parsechangelog -l "$work/changelog" -S Version)
else
    version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
fi
native=$(dpkg-architecture -qDEB_BUILD_ARCH)
jobs=$(nproc)

# The sources as they are now, tracked and new, without what git ignores.
copy_sources() {
    mkdir -p "$1"
    if [ -n "$commit" ]; then
        git -C "$root" archive "$commit" | tar -C "$1" -xf -
        return
    fi
    git -C "$root" ls-files --cached --others --exclude-standard |
        while IFS= read -r f; do [ -e "$root/$f" ] && printf '%s\n' "$f"; done |
        tar -C "$root" -cf - --no-recursion -T - | tar -C "$1" -xf -
}

mkdir -p "$work" "$dist"
for arch in "$@"; do
    dir=$work/$arch
    rm -rf "$dir"
    copy_sources "$dir/kestrode-$version"
    profiles=nocheck
    cross=
    if [ "$arch" != "$native" ]; then
        profiles=nocheck,cross
        cross=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)-
    fi
    echo "== kestrode $version for $arch ($profiles), in $dir"
    (cd "$dir/kestrode-$version" &&
        CC=${cross}gcc CXX=${cross}g++ DEB_BUILD_OPTIONS="nocheck noautodbgsym parallel=$jobs" \
            dpkg-buildpackage --host-arch="$arch" --build-profiles="$profiles" \
            --build=binary --no-sign)
    rm -f "$dist"/kestrode*_"$arch".deb
    mv "$dir"/*_"$arch".deb "$dist"/
done
ls -l "$dist"
