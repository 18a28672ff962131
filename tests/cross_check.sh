#!/usr/bin/env bash
# cross_check.sh NATIVE CROSS EMULATOR [ARG...] - the programs built in the
# folder CROSS for another architecture, run under EMULATOR with its ARGs
# (qemu-mips -cpu 24Kc: a router's CPU, without an FPU), must print, say and
# return exactly what the ones built in NATIVE do: where char is unsigned
# (ARM) or bytes are big-endian (MIPS) as much as here. A table of the
# arguments whose reading depends on the platform, then random argument
# vectors from $SEED (printed, to repeat a failure), then a recorded bus
# framed by rtudump. Last, each build's rtuquery and rtudump talk to a
# device on a pseudo-terminal and through a gateway on loopback, by address
# and by a name from the hosts file, with an empty environment.
set -u
native=$1 cross=$2
shift 2
emu=("$@")
seed=${SEED:-$$}
RANDOM=$seed
echo "cross_check: $cross under ${emu[*]}, seed $seed"
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
fails=0 runs=0

# check [>FILE] PROGRAM ARG...: the two builds side by side, each leaving
# its output, messages and status in a folder of its own.
mkdir "$t/n" "$t/c"
check() {
	local out=
	case $1 in '>'*) out=${1#>} && shift ;; esac
	"$native/$1" "${@:2}" >"${out:-$t/n/out}" 2>"$t/n/err"
	echo $? >"$t/n/status"
	"${emu[@]}" "$cross/$1" "${@:2}" >"${out:-$t/c/out}" 2>"$t/c/err"
	echo $? >"$t/c/status"
	runs=$((runs + 1))
	if ! diff -rq "$t/n" "$t/c" >/dev/null; then
		fails=$((fails + 1))
		printf 'differs:'
		printf ' %q' "$@"
		printf '\n'
		diff -ra "$t/n" "$t/c" | head -20
	fi
}

hundred=()
for i in $(seq 100); do hundred+=("$(printf %02x "$i")"); done
while read -r line; do
	eval "check $line"
done <<'EOF'
crc
crc 01 03 00 00 00 01
crc 31 32 33 34 35 36 37 38 39
crc $'\x80' $'\xff' $'1\x80' $'\x80'1 $'\xc3\xa9' $'\xa0'5 $'a\xff'
crc -1 +5 -a - + ' 1f' $'\t0a' $'\n\v\f\r'7 '' zz 1234 0x12 A a FF
crc "${hundred[@]}"
crc "${hundred[@]}" 00
rawbyte
rawbyte 1 3 0 0 0 1 132 10
rawbyte 0 65 255 256 1000 -1 -300 007
rawbyte 2147483647 2147483648 4294967295 4294967296 -2147483648 -2147483649 99999999999999999999 -99999999999999999999
rawbyte '' abc 12abc ' 7' $'\t\n12' +7 - + '- 5' 1e3 0x10
rawbyte $'\x80' $'12\x80' $'\xa0'5 $'\xc3\xa9' $'\xff'9
>/dev/full crc 01 02
>/dev/full rawbyte 1 2
EOF

# Random arguments in a, half of them made of what the conversions look at.
near=(' ' $'\t' $'\n' $'\v' + - 0 1 2 5 7 9 a f A F x z $'\x80' $'\xa0' $'\xff')
arg() {
	local b k
	a=
	for ((k = RANDOM % 7; k > 0; k--)); do
		if ((RANDOM % 2)); then
			a+=${near[RANDOM % ${#near[@]}]}
		else
			printf -v b '\\%03o' $((RANDOM % 255 + 1))
			printf -v b "$b"
			a+=$b
		fi
	done
}
for ((i = 0; i < 150; i++)); do
	for p in crc rawbyte; do
		args=()
		for ((n = RANDOM % 12; n > 0; n--)); do
			arg
			args+=("$a")
		done
		check "$p" "${args[@]}"
	done
done

# A recorded bus, framed through -: requests, a reply, an exception, noise,
# a broadcast and a reply of 255 bytes; the times of reading, which are
# each run's own, left out.
{
	printf '\001\003\000\000\000\001\204\012\001\003\002\022\064\265\063'
	printf '\001\006\000\001\000\003\230\013\001\206\002\303\241\077\377\000'
	printf '\000\006\000\001\000\003\231\332'
	printf '\001\003\000\000\000\175\205\353\001\003\372'
	head -c 250 /dev/zero
	printf '\010\350'
} >"$t/bus"
untimed() {
	sed 's/^[0-9][0-9]:[0-9][0-9]:[0-9.]* //; s/ +[0-9.]*ms//'
}
# Broadcast writes of 44 random registers each, their values shown in every
# type and order: floats, whose digits the C library finds in software on
# a router, most of all.
for ((i = 0; i < 20; i++)); do
	f=(00 10 00 00 00 2c 58)
	for ((k = 0; k < 88; k++)); do f+=("$(printf %02x $((RANDOM % 256)))"); done
	for b in "${f[@]}" $("$native/crc" "${f[@]}"); do printf "\\$(printf %03o $((0x$b)))"; done
done >"$t/writes"
dumps=("" "<bus" "-d f32 -o cdab <writes" "-d f64 -o dcba <writes" "-d f32 -o badc <writes" "-d s64 <writes"
	"-d u32 -o cdab <writes" "-d text <writes")
for d in "${dumps[@]:1}"; do
	runs=$((runs + 1))
	read -r -a opts <<<"${d%<*}"
	in=$t/${d#*<}
	if [ "$("$native/rtudump" "${opts[@]}" - <"$in" 2>&1 | untimed)" != "$("${emu[@]}" "$cross/rtudump" "${opts[@]}" - <"$in" 2>&1 | untimed)" ]; then
		fails=$((fails + 1))
		echo "differs: rtudump ${opts[*]} - <${d#*<}"
	fi
done

# Devices played by socat: a shell on the other end of a pseudo-terminal,
# or behind a TCP listener on loopback, as a transparent gateway is. The
# terminal calls (the speed and framing set and read back, the drain), the
# socket calls and the name look-up pass through qemu, whose structures
# differ on MIPS. One takes a request and answers it; the other is a bus
# with a request and its reply. A third answers a write at once with a copy
# of it, which is the answer on a pseudo-terminal, as the programs tell by
# the device's number (struct stat differs on MIPS).
cat >"$t/device" <<'EOF'
head -c 8 >/dev/null
printf '\001\003\002\022\064\265\063'
sleep 1
EOF
cat >"$t/copy" <<'EOF'
head -c 8
sleep 1
EOF
cat >"$t/bus.sh" <<'EOF'
sleep 0.5
printf '\001\003\000\000\000\001\204\012\001\003\002\022\064\265\063'
sleep 0.5
EOF
# device WHERE SCRIPT WANT STATUS COMMAND...: socat plays SCRIPT on a
# pseudo-terminal (WHERE pty) or behind a listener on the TCP port WHERE;
# COMMAND, with @ for the terminal or 127.0.0.1:PORT, and % for
# localhost:PORT, must print WANT there with an empty environment, and exit
# with STATUS.
device() {
	local where=$1 script=$2 want=$3 status=$4 at=$t/port listen out
	shift 4
	listen=pty,raw,echo=0,link=$at
	if [ "$where" != pty ]; then
		listen=TCP-LISTEN:$where,bind=127.0.0.1,reuseaddr,fork
		at=127.0.0.1:$where
	fi
	socat "$listen" SYSTEM:"sh $script 2>/dev/null" &
	for _ in $(seq 100); do
		if [ "$where" = pty ]; then [ -e "$at" ]; else (: </dev/tcp/127.0.0.1/"$where") 2>/dev/null; fi && break
		sleep 0.02
	done
	local args=("${@/#@/$at}")
	args=("${args[@]/#%/localhost:$where}")
	out=$({ env -i "${args[@]}" 2>&1; echo "exit $?"; } | untimed)
	runs=$((runs + 1))
	if [ "$out" != "$want
exit $status" ]; then
		fails=$((fails + 1))
		printf 'not as on a device: %s: %s\n' "$*" "$out"
	fi
	kill $! 2>/dev/null
	wait $! 2>/dev/null
}
qemu=$(command -v "${emu[0]}")
gw=$((20000 + RANDOM % 20000))
for prog in "$native/rtuquery" "$qemu ${emu[*]:1} $cross/rtuquery"; do
	device pty "$t/device" "01 03 02 12 34 b5 33" 0 $prog -b 19200 -f 8n1 @ 01 03 00 00 00 01
	device pty "$t/copy" "01 06 00 01 00 03 98 0b" 0 $prog @ 01 06 00 01 00 03
	device $gw "$t/device" "01 03 02 12 34 b5 33" 0 $prog @ 01 03 00 00 00 01
	device $gw "$t/device" "01 03 02 12 34 b5 33" 0 $prog % 01 03 00 00 00 01
done
for prog in "$native/rtudump" "$qemu ${emu[*]:1} $cross/rtudump"; do
	device pty "$t/bus.sh" "request 01 03 00 00 00 01 84 0a
reply 01 03 02 12 34 b5 33
rtudump: 2 frames, 0 bytes of noise" 0 $prog -b 19200 -f 8n1 -c 2 @
	device $gw "$t/bus.sh" "request 01 03 00 00 00 01 84 0a
reply 01 03 02 12 34 b5 33
rtudump: 127.0.0.1:$gw closed the connection
rtudump: 2 frames, 0 bytes of noise" 1 $prog @
done

echo "cross_check: $runs runs, $fails differ"
[ "$fails" -eq 0 ]
