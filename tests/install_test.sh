#!/bin/sh
# install_test.sh CMAKE CPACK BUILD VERSION - what cmake --install and the
# package put where, and that what is unpacked from the package works.
set -eu
cmake=$1 cpack=$2 build=$3 version=$4
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

want="bin/crc
bin/rawbyte
bin/rtuquery
share/doc/crc-rawbyte/changelog.gz
share/doc/crc-rawbyte/copyright
share/doc/crc-rawbyte/examples/send-frame
share/man/man1/crc.1.gz
share/man/man1/rawbyte.1.gz
share/man/man1/rtuquery.1.gz"

"$cmake" --install "$build" --prefix "$out/stage" >/dev/null
got=$(cd "$out/stage" && find . -type f | sed 's|^\./||' | sort)
[ "$got" = "$want" ] || { printf 'installed:\n%s\n' "$got"; exit 1; }
[ -x "$out/stage/share/doc/crc-rawbyte/examples/send-frame" ] || { echo "send-frame is not executable"; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
deb=$out/crc-rawbyte_${version}_$(dpkg --print-architecture).deb
got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\/usr\//, "", $6); print $6 }' | sort)
[ "$got" = "$want" ] || { printf 'packaged:\n%s\n' "$got"; exit 1; }
dpkg-deb -x "$deb" "$out/root"
[ "$("$out/root/usr/bin/crc" 01 03 00 00 00 01)" = "84 0a" ]
# rtuquery needs nothing beside it, not even an environment: it gets as far as the port.
[ "$(env -i "$out/root/usr/bin/rtuquery" /dev/null 01 03 00 00 00 01 2>&1)" = "rtuquery: not a terminal: /dev/null" ]
doc=$out/root/usr/share/doc/crc-rawbyte
# The changelog is signed by the package's maintainer.
zcat "$doc/changelog.gz" | grep -qF " -- $(dpkg-deb -f "$deb" Maintainer)  "
