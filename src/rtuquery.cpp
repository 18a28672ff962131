/*
 * rtuquery - send a Modbus request given in hex and print the reply that
 * answers it: on a serial port or through a transparent gateway, as an RTU
 * frame with its CRC-16/MODBUS check bytes; with -m tcp, through a Modbus
 * TCP gateway or to a Modbus TCP device, behind a header.
 *
 * A port is held from other programs, raw for the exchange, and put back
 * as it was before anything is printed, on every way out (line.h). The
 * request leaves after the line has been silent for 3.5 characters; the
 * reply ends where its length says, and a gap inside it cuts it short.
 * What a frame is and whether the reply answers the request are the rules
 * of rtu.h and mbap.h. Exit status: 0 the answer (or a broadcast went
 * out), 1 no reply or not the answer, 2 a usage error, 3 an exception; or
 * the signal that ended it.
 */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "cli.h"
#include "crc16.h"
#include "line.h"
#include "mbap.h"
#include "rtu.h"
#include "value.h"

static const char usage[] = "usage: rtuquery [-e] [-r] [-b speed] [-f framing] [-m rtu|tcp] [-t seconds] [-d type] [-o order]\n"
			    "                device|host:port byte|type:value...\n";

static const char help[] =
	"Send a Modbus request, given in hex without its check bytes, to a serial\n"
	"device or through a gateway, and print the reply that answers it, in hex.\n"
	"\n"
	"  -b speed    the port's speed for the exchange, such as 9600\n"
	"  -f framing  the port's framing for the exchange: 8N1, 8E1, 8O1 or 8N2\n"
	"  -e          the adapter hands back what it sends: read that echo first\n"
	"  -m tcp      Modbus TCP to host[:port] (502 by default), not RTU framing\n"
	"  -r          the port's RS-485 mode, RTS high while sending\n"
	"  -t seconds  wait this long for the port and the reply: 0.01 to 25, default 1\n"
	"  -d type     print the reply's values, ADDRESS VALUE, a line each: u16, s16,\n"
	"              hex, u32, s32, f32, u64, s64, f64, text; bit for coils, inputs\n"
	"  -o order    where the bytes of 0xAABBCCDD stand in a value of two or four\n"
	"              registers: abcd (the default), cdab, badc or dcba\n"
	"  type:value  a value's bytes in a request: u16:40001, s16:-40, f32:25.5...\n"
	"  -h          print this help; --version, the version\n"
	"\n"
	"Exit status: 0 the answer came and is right, or a broadcast (unit 00)\n"
	"went out; 1 no reply, or not the answer; 2 usage; 3 an exception.\n"
	"rtuquery " VERSION "\n";

static struct {
	bool echo, rs485, tcp;
	const char *speed;
	int framing;
	long long waitms;
	vtype type; /* of the values to print; none for the bytes */
	order words;
} o = {false, false, false, nullptr, -1, 1000, vtype::none, order::abcd};

/*
 * Standard output's buffer, from no heap: the values of all the coils a
 * reply can carry (2040, 8 characters each), or 125 registers' as any
 * type, leave in one write.
 */
static char out[2040 * 8 + 64];

static int hexdigit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	c = static_cast<char>(c | 0x20); /* A-F to a-f, and only those onto them */
	return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

/* Seconds as a decimal, such as 1, 0.02, 5. or 0.0100, to the millisecond; -1 for anything else. */
static long long millis(const char *s)
{
	long long ms = 0;
	int digits = 0, frac = -1; /* digits after the point; -1 before it */
	for (; *s; s++) {
		if (*s == '.' && frac < 0) {
			frac = 0;
			continue;
		}
		if (*s < '0' || *s > '9' || (frac >= 3 && *s != '0') || ms > 100000000)
			return -1;
		digits++;
		if (frac < 3) {
			ms = ms * 10 + (*s - '0');
			frac += frac >= 0;
		}
	}
	for (int k = frac < 0 ? 0 : frac; k < 3; k++)
		ms *= 10;
	return digits ? ms : -1;
}

static void take(int opt, const char *arg)
{
	switch (opt) {
	case 'b': o.speed = linespeed(arg); break;
	case 'd':
		if ((o.type = typearg(arg)) == vtype::none)
			misuse("not a type: %s (u16, s16, hex, u32, s32, f32, u64, s64, f64, text or bit)", arg);
		break;
	case 'e': o.echo = true; break;
	case 'f': o.framing = lineframing(arg); break;
	case 'm':
		if (strcmp(arg, "rtu") != 0 && strcmp(arg, "tcp") != 0)
			misuse("not a mode, rtu or tcp: %s", arg);
		o.tcp = arg[0] == 't';
		break;
	case 'o':
		if ((o.words = orderarg(arg)) == order::none)
			misuse("not an order: %s (abcd, cdab, badc or dcba)", arg);
		break;
	case 'r': o.rs485 = true; break;
	case 't':
		o.waitms = millis(arg);
		if (o.waitms < 10 || o.waitms > 25000)
			misuse("-t takes 0.01 to 25 seconds, to the millisecond: '%s'", arg);
		break;
	}
}

/*
 * The request's bytes: each argument a byte in hex, or TYPE:VALUE, the
 * value's bytes in -o's order. Nothing is guessed: crc would read 1234 as
 * 0x12, a shell as 0x1234. Its length.
 */
static int request(char **args, int count, unsigned char *req)
{
	int n = 0;
	char why[160];
	/* Counted all, kept as far as a request goes: a longer one is refused below. */
	auto add = [&](unsigned char b) {
		if (n < maxframe - 2)
			req[n] = b;
		n++;
	};
	for (int i = 0; i < count; i++) {
		const char *b = args[i];
		unsigned char value[8];
		int k = valuearg(b, o.words, value, why, sizeof why);
		if (k < 0)
			misuse("%s", why);
		for (int j = 0; j < k; j++)
			add(value[j]);
		if (k)
			continue;
		int hi = hexdigit(b[0]), lo = hi < 0 ? -1 : hexdigit(b[1]);
		if (hi < 0 || (b[1] && (lo < 0 || b[2])))
			misuse("not a byte in hex: '%s'", b);
		add(static_cast<unsigned char>(b[1] ? hi << 4 | lo : hi));
	}
	if (checkrequest(req, n, why, sizeof why) || (o.type != vtype::none && readable(o.type, req, n, why, sizeof why)))
		misuse("%s", why);
	return n;
}

/*
 * Drops the bytes already waiting, then waits for the silence that a
 * device takes as the end of a frame: a request must not follow the tail
 * of another frame sooner.
 */
static void hush(long long waitms)
{
	unsigned char junk[maxframe];
	lineflush();
	long long busyus = usnow() + waitms * 1000, quietus = linetiming().quietus;
	while (lineawait(usnow() + quietus)) {
		if (lineread(junk, maxframe) < 0)
			lineended();
		if (usnow() > busyus)
			die(1, "the line is busy");
	}
}

/*
 * The request as it goes on the line, at wire: with its check bytes, or in
 * Modbus TCP behind the header of a transaction of its own. Its length.
 */
static int frame(unsigned char *req, int n, unsigned char *wire)
{
	std::uint32_t crc = crc16(reinterpret_cast<char *>(req), n);
	req[n] = static_cast<unsigned char>(crc & 0xFF);
	req[n + 1] = static_cast<unsigned char>(crc >> 8);
	if (o.tcp)
		return mbapwrap(req, n, static_cast<unsigned>(usnow() ^ getpid()) & 0xFFFF, wire);
	memcpy(wire, req, static_cast<size_t>(n) + 2);
	return n + 2;
}

/*
 * How far to read what comes back, as far as its first n bytes f tell: an
 * echo or a reply on a port, by its length (never further, so that an echo
 * leaves the reply); a Modbus TCP response, by its header; a reply through
 * a transparent gateway, on until what came is settled (a frame with right
 * check bytes, or the answer after bytes that came before it) or names the
 * wrong mode, as far as the buffer goes.
 */
enum class reading : unsigned char { exact, mbap, stream };
static int want(reading how, const unsigned char *wire, const unsigned char *req, int reqlen, const unsigned char *f,
		int n, int room)
{
	if (how == reading::mbap)
		return mbapwanted(req, reqlen, f, n);
	if (how == reading::stream)
		return settled(req, reqlen, f, n) || mbapanswer(wire, f, n) ? n : room;
	return wanted(req, reqlen, f, n);
}

/* The reply's bytes; or for the answer, with -d, its values. */
static void print(const unsigned char *req, const unsigned char *f, int n, bool answer)
{
	static char l[sizeof out];
	char *p = l;
	if (answer && o.type != vtype::none) {
		p = showreply(p, o.type, o.words, f, n, req);
	} else {
		p = hexbytes(p, f, n);
		*p++ = '\n';
	}
	if (fwrite(l, 1, static_cast<size_t>(p - l), stdout) != static_cast<size_t>(p - l) || fflush(stdout) == EOF ||
	    fclose(stdout) == EOF)
		die(1, "cannot print the reply: %s", strerror(errno));
}

/* What came back: n bytes, of which the first read brought batch at firstus. */
struct arrival {
	int n, batch;
	long long firstus;
};

/*
 * Reads what comes back into f (room bytes): its first byte within waitms,
 * the rest with no gap, as far as it wants. A line that fails meanwhile
 * ends rtuquery, once what came is printed.
 */
static arrival collect(reading how, long long waitms, unsigned char *f, int room, const unsigned char *wire,
		       const unsigned char *req, int reqlen)
{
	arrival a = {0, 0, 0};
	long long deadline = usnow() + waitms * 1000, gapus = linetiming().gapus;
	for (int w; a.n < (w = want(how, wire, req, reqlen, f, a.n, room)) && lineawait(deadline);) {
		int k = lineread(f + a.n, (w < room ? w : room) - a.n);
		/* A gateway that closes the connection has said all it will: what came is judged. */
		if (k < 0 && a.n && lineclosed())
			break;
		if (k < 0 && a.n) {
			lineundo();
			print(req, f, a.n, false);
		}
		if (k < 0)
			lineended();
		if (k) {
			a.firstus = a.n ? a.firstus : usnow();
			a.batch = a.n ? a.batch : k;
			a.n += k;
			deadline = usnow() + gapus;
		}
	}
	return a;
}

/*
 * What the n bytes f that came back say of the request: the verdict, and
 * the bytes to print. A response to Modbus TCP is judged by its header;
 * what came through a transparent gateway is judged from where the answer
 * begins. Bytes that are the answer are the answer, whatever else they
 * could be read as; only bytes that answer in no other way, from a
 * gateway, may say that it is in the other mode.
 */
static response answer(reading how, const unsigned char *wire, const unsigned char *req, int reqlen,
		       const unsigned char *f, int n)
{
	if (how == reading::mbap)
		return mbapjudge(wire, req, reqlen, f, n, linename());
	response r = {{1, ""}, 0, 0};
	int have = n;
	if (how == reading::stream) {
		r.from = answerat(req, reqlen, f, n);
		have = streamlen(req, reqlen, f + r.from, n - r.from);
		have = have ? have : n - r.from < maxframe ? n - r.from : maxframe;
	}
	r.count = replyend(req, reqlen, f + r.from, have);
	r.v = judge(req, reqlen, f + r.from, have, o.echo ? via::echo : via::line);
	if (how == reading::stream && r.v.status == 1 && mbapanswer(wire, f, n)) {
		r = {{1, ""}, 0, n < mbapmax ? n : mbapmax};
		snprintf(r.v.why, sizeof r.v.why, "%s answers in Modbus TCP: try -m tcp", linename()); // NOLINT(cert-err33-c): cut short at worst
	}
	return r;
}

int main(int argc, char *argv[])
{
	setvbuf(stdout, out, _IOFBF, sizeof out); // NOLINT(cert-err33-c): cannot fail before the first output
	me = {"rtuquery", usage, help, VERSION, lineundo, nullptr};
	int first = options(argc, argv, "b:d:ef:m:o:rt:", take);
	if (argc - first < 3)
		misuse(nullptr);
	linekind line = lineaddress(argv[first], o.tcp, false);
	linetakes(o.speed, o.framing >= 0, o.rs485);
	if (o.tcp && o.echo)
		misuse("-e is not for Modbus TCP, where nothing echoes: leave it out");
	unsigned char req[maxframe] = {}, wire[mbapmax] = {};
	int n = request(argv + first + 1, argc - first - 1, req);

	catchsignals(false);
	lineopen(false, o.waitms, o.speed, o.framing, o.rs485);
	hush(o.waitms);
	int wirelen = frame(req, n, wire), reqlen = n + 2;
	long long writtenus = linesend(wire, wirelen);

	unsigned char rep[4 * maxframe] = {};
	if (o.echo) {
		arrival e = collect(reading::exact, o.waitms, rep, maxframe, wire, req, reqlen);
		verdict v = judgeecho(req, reqlen, rep, e.n);
		if (v.status)
			die(v.status, "%s", v.why);
	}
	if (req[0] == 0 && !o.tcp) {
		/* No unit answers a broadcast; they act on it meanwhile. */
		timespec act = {0, 100000000};
		while (nanosleep(&act, &act) && errno == EINTR)
			;
		lineundo();
		return 0;
	}
	reading how = o.tcp ? reading::mbap : line == linekind::tcp ? reading::stream : reading::exact;
	const int room[] = {maxframe, mbapmax, sizeof rep};
	arrival got = collect(how, o.waitms, rep, room[static_cast<int>(how)], wire, req, reqlen);
	lineundo();

	response r = answer(how, wire, req, reqlen, rep, got.n);
	/* A copy of the request that began before the request could have left the wire is the adapter's. */
	linetimes t = linetiming();
	if (how == reading::exact && !o.echo && t.wire &&
	    echoed(req, reqlen, rep, got.n, writtenus, got.firstus, got.batch, t.charus))
		r.v = {1, "the adapter echoes the request: use -e"};
	if (r.count)
		print(req, rep + r.from, r.count, r.v.status == 0);
	if (r.v.status)
		die(r.v.status, "%s", r.v.why);
	return 0;
}
