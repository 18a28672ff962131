#!/bin/sh
# install_test.sh CMAKE CPACK BUILD VERSION README - what cmake --install and
# the package put where, that what is unpacked from the package works and
# names the build file's VERSION, that the checksum files verify, that the
# README's recipes that need no device do what it says, and that uninstall
# takes it all away again, leaving what the user installed to theirs.
set -eu
cmake=$1 cpack=$2 build=$3 version=$4 readme=$5
out=$(mktemp -d)
# The list of what the user installed from this build, which the installs
# here write over, is put back for their uninstall.
manifest=$build/install_manifest.txt
[ ! -e "$manifest" ] || cp "$manifest" "$out/manifest"
trap 'if [ -e "$out/manifest" ]; then mv "$out/manifest" "$manifest"; else rm -f "$manifest"; fi; rm -rf "$out"' EXIT

want="bin/crc
bin/rawbyte
bin/rtudump
bin/rtuquery
share/doc/crc-rawbyte/changelog.gz
share/doc/crc-rawbyte/copyright
share/doc/crc-rawbyte/examples/send-frame
share/man/man1/crc.1.gz
share/man/man1/rawbyte.1.gz
share/man/man1/rtudump.1.gz
share/man/man1/rtuquery.1.gz"

"$cmake" --install "$build" --prefix "$out/stage" >/dev/null
got=$(cd "$out/stage" && find . -type f | sed 's|^\./||' | sort)
[ "$got" = "$want" ] || { printf 'installed:\n%s\n' "$got"; exit 1; }
[ -x "$out/stage/share/doc/crc-rawbyte/examples/send-frame" ] || { echo "send-frame is not executable"; exit 1; }

# The README's recipes that need no device, pasted in order into a shell
# with the installed programs first on PATH: the frame file is written, and
# each command after a "$ " prints the lines under it.
cd "$out"
path=$PATH
PATH=$out/stage/bin:$PATH
sed -n '/^\*\*Append the check bytes/,/^\*\*/s/^    //p' "$readme" >recipe
grep -q frame.bin recipe && sh -e recipe
fails=0 cmd= says= fence=
check() {
	if [ -n "$cmd" ] && [ "$(sh -c "$cmd" 2>&1)" != "$says" ]; then
		printf 'README: %s does not print\n%s\n' "$cmd" "$says"
		fails=1
	fi
	cmd= says=
}
while IFS= read -r l; do
	case $l in
	'```'*)
		check
		if [ -n "$fence" ]; then fence=; else fence=x; fi
		continue
		;;
	'    '*) l=${l#    } ;;
	*) [ -n "$fence" ] || { check; continue; } ;;
	esac
	case $l in
	'$ '*/dev/* | '$ '*192.168.*) check ;; # a device's or a gateway's
	'$ '*) check; cmd=${l#\$ } ;;
	*) [ -z "$cmd" ] || says=${says:+$says
}$l ;;
	esac
done <"$readme"
check
[ "$fails" = 0 ]
[ "$(crc $(od -An -tx1 -v frame.bin))" = "00 00" ]
PATH=$path

# Uninstall leaves nothing of the package behind. It reads the last
# install's manifest, which cpack, below, writes over.
"$cmake" --build "$build" --target uninstall >/dev/null
left=$(cd "$out/stage" && find . -type f -o -name 'crc-rawbyte*')
[ -z "$left" ] || { printf 'left after uninstall:\n%s\n' "$left"; exit 1; }

"$cpack" -G "DEB;TGZ" --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
(cd "$out" && sha256sum -c --quiet ./*.deb.sha256 ./*.tar.gz.sha256)
deb=$out/crc-rawbyte_${version}_$(dpkg --print-architecture).deb
got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\/usr\//, "", $6); print $6 }' | sort)
[ "$got" = "$want" ] || { printf 'packaged:\n%s\n' "$got"; exit 1; }
dpkg-deb -x "$deb" "$out/root"
[ "$("$out/root/usr/bin/crc" 01 03 00 00 00 01)" = "84 0a" ]
# rtuquery needs nothing beside it, not even an environment: it gets as far as the port.
[ "$(env -i "$out/root/usr/bin/rtuquery" /dev/null 01 03 00 00 00 01 2>&1)" = "rtuquery: not a terminal: /dev/null" ]
[ "$(env -i "$out/root/usr/bin/rtudump" /dev/null 2>&1)" = "rtudump: not a terminal: /dev/null" ]
doc=$out/root/usr/share/doc/crc-rawbyte
# The changelog is signed by the package's maintainer.
zcat "$doc/changelog.gz" | grep -qF " -- $(dpkg-deb -f "$deb" Maintainer)  "

# One version everywhere a user looks.
for p in crc rawbyte rtuquery rtudump; do
	zcat "$out/root/usr/share/man/man1/$p.1.gz" | grep -qx ".Os crc-rawbyte $version" ||
		{ echo "$p.1 does not name $version"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ]
[ "$("$out/root/usr/bin/rtuquery" -h | tail -n 1)" = "rtuquery $version" ]
[ "$("$out/root/usr/bin/rtudump" -h | tail -n 1)" = "rtudump $version" ]
zcat "$doc/changelog.gz" | head -n 1 | grep -qF "crc-rawbyte ($version)"
