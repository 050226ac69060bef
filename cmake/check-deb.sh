#!/bin/sh
# Checks a built package: its architecture, and that it holds the program
# and its man page under /usr and nothing from the build or test tree.
set -eu
deb=${1:?usage: check-deb.sh PACKAGE.deb ARCH}
arch=${2:?usage: check-deb.sh PACKAGE.deb ARCH}
[ -f "$deb" ] || { echo "no package $deb"; exit 1; }
echo "== $deb"
dpkg-deb -c "$deb"
fail=0
got=$(dpkg-deb -f "$deb" Architecture)
[ "$got" = "$arch" ] || { echo "architecture is $got, not $arch"; fail=1; }
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
case $depends in *'libc6 (>= '*) ;; *) echo "Depends does not name libc6"; fail=1 ;; esac
files=$(dpkg-deb -c "$deb" | awk '{print $NF}' | grep -v '/$')
for want in ./usr/bin/kestrode ./usr/share/man/man1/kestrode.1; do
  echo "$files" | grep -qx "$want" || { echo "missing $want"; fail=1; }
done
stray=$(echo "$files" | grep -Ev '^\./usr/(bin/kestrode(-sim)?|share/man/man1/kestrode\.1)$' || true)
[ -z "$stray" ] || { echo "unexpected files:"; echo "$stray"; fail=1; }
# The program in the package must be built for the package's architecture.
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
case $arch in
  amd64) machine='x86-64' ;;
  arm64) machine='aarch64' ;;
  *) machine='' ;;
esac
info=$(file -b "$tmp/usr/bin/kestrode")
echo "usr/bin/kestrode: $info"
case $info in *"$machine"*) ;; *) echo "kestrode is not a $arch program"; fail=1 ;; esac
[ $fail -eq 0 ] && echo "$deb: contents as expected"
exit $fail
