/*
 * rtudump - watch a Modbus RTU bus and print every frame that passes, one
 * line a frame, as soon as it is known complete.
 *
 * A frame is told by the rules of rtu.h, by its function's length and its
 * check bytes, and not by the clock: a USB adapter hands bytes over in
 * batches, so one batch may hold two frames and a frame may come in
 * several. On a port or a connection to a gateway (line.h), silence only
 * settles what is still open. The line is read, never written; a port is
 * held from other programs and raw for as long as it is watched, and put
 * back as it was on every way out. Exit status: 0 at the end of the input
 * or after -c frames, 1 a port in use or failing or the gateway gone, 2 a
 * usage error; or the signal that ended it.
 */
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "cli.h"
#include "line.h"
#include "rtu.h"
#include "value.h"

static const char usage[] =
	"usage: rtudump [-b speed] [-f framing] [-c count] [-w file] [-d type] [-o order] device|host:port|-\n";

static const char help[] =
	"Watch a Modbus RTU bus, on a serial device or through a transparent\n"
	"gateway, and print each frame that passes, one a line: the time of its\n"
	"first byte, request, reply, exception or noise, and its bytes in hex.\n"
	"A device of - reads recorded bytes from standard input.\n"
	"\n"
	"  -b speed    the port's speed, such as 9600\n"
	"  -f framing  the port's framing: 8N1, 8E1, 8O1 or 8N2\n"
	"  -c count    exit after so many frames\n"
	"  -w file     also write what the lines show to file as a pcap capture\n"
	"  -d type     add the registers' values after the bytes: u16, s16, hex, u32,\n"
	"              s32, f32, u64, s64, f64 or text\n"
	"  -o order    where the bytes of 0xAABBCCDD stand in a value of two or four\n"
	"              registers: abcd (the default), cdab, badc or dcba\n"
	"  -h          print this help; --version, the version\n"
	"\n"
	"Exit status: 0 at the end of the input or after -c frames; 1 the port\n"
	"is in use or fails, or the gateway closed the connection; 2 usage.\n"
	"rtudump " VERSION "\n";

static struct {
	const char *speed;
	int framing;
	unsigned long count; /* 0: no end */
	const char *file;
	vtype type; /* of the values to add; none for none */
	order words;
} o = {nullptr, -1, 0, nullptr, vtype::none, order::abcd};

/* The pcap format's own numbers: classic, microsecond times, the first user link type. */
static const std::uint32_t magic = 0xa1b2c3d4, linktype = 147;

static char out[65536]; /* the lines of what one read brought, from no heap */

/* What comes in, waiting to be framed: the bytes, and when each arrived (µs, monotonic clock). */
static unsigned char buf[4096];
static long long atus[sizeof buf];
static int head, tail;

/* The last request, as long as it awaits its answer, and when its last byte came. */
static unsigned char asked[maxframe];
static int askedlen;
static long long askedus;

/* A run of noise, printed as one line once something else comes. */
static unsigned char noise[maxframe];
static int noiselen;
static long long noiseus;

static const char *capname;
static int capture = -1;
static long long heardus;      /* when the last byte came */
static long long offsetus;     /* from the monotonic clock to the time of day, once: times never go back */
static volatile unsigned long frames, noisy;
static volatile bool watching;

static const char *const kinds[] = {"", "request", "reply", "exception", "noise"};

static char *put(char *p, const char *s)
{
	while (*s)
		*p++ = *s++;
	return p;
}

/* The summary, with no stdio: also from a signal handler. */
static void summary()
{
	char s[96], *p = put(s, "rtudump: ");
	p = put(decimal(p, frames), frames == 1 ? " frame, " : " frames, ");
	p = put(decimal(p, noisy), noisy == 1 ? " byte of noise\n" : " bytes of noise\n");
	if (write(2, s, static_cast<size_t>(p - s)) < 0)
		return; /* nowhere left to say it */
}

/* A count of frames, 1 or more; 0 for anything else. */
static unsigned long countarg(const char *s)
{
	unsigned long v = 0;
	if (!*s || strspn(s, "0123456789") != strlen(s) || strlen(s) > 12)
		return 0;
	for (; *s; s++)
		v = v * 10 + static_cast<unsigned long>(*s - '0');
	return v;
}

static void take(int opt, const char *arg)
{
	switch (opt) {
	case 'b': o.speed = linespeed(arg); break;
	case 'c':
		if (!(o.count = countarg(arg)))
			misuse("-c takes a number of frames, 1 or more: '%s'", arg);
		break;
	case 'f': o.framing = lineframing(arg); break;
	case 'w': o.file = arg; break;
	case 'd':
		o.type = typearg(arg);
		if (o.type == vtype::none || o.type == vtype::bit)
			misuse("not a type of registers: %s (u16, s16, hex, u32, s32, f32, u64, s64, f64 or text)", arg);
		break;
	case 'o':
		if ((o.words = orderarg(arg)) == order::none)
			misuse("not an order: %s (abcd, cdab, badc or dcba)", arg);
		break;
	}
}

/* The summary at every end, once the watch has begun. */
static void ending()
{
	if (watching)
		summary();
}

static void writeall(const void *p, size_t n)
{
	if (write(capture, p, n) != static_cast<ssize_t>(n))
		die(1, "cannot write %s: %s", capname, strerror(errno));
}

/*
 * The capture's header, in the byte order of the machine, which its magic
 * number tells a reader; then a record a line, each in one write, so that
 * the file can be read while it grows.
 */
static void startcapture(const char *file)
{
	capname = file;
	capture = above(open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
	if (capture < 0)
		die(2, "cannot open %s: %s", file, strerror(errno));
	const std::uint32_t m = magic, rest[4] = {0, 0, maxframe, linktype}; /* zone, accuracy, snapshot, link */
	const std::uint16_t version[2] = {2, 4};
	unsigned char b[24];
	memcpy(b, &m, 4);
	memcpy(b + 4, version, 4);
	memcpy(b + 8, rest, 16);
	writeall(b, sizeof b);
}

static void record(long long when, const unsigned char *f, int n)
{
	long long t = when + offsetus;
	std::uint32_t h[4] = {static_cast<std::uint32_t>(t / 1000000), static_cast<std::uint32_t>(t % 1000000),
			      static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(n)};
	unsigned char b[16 + maxframe];
	memcpy(b, h, 16);
	memcpy(b + 16, f, static_cast<size_t>(n));
	writeall(b, 16 + static_cast<size_t>(n));
}

static char *two(char *p, int v)
{
	*p++ = static_cast<char>('0' + v / 10);
	*p++ = static_cast<char>('0' + v % 10);
	return p;
}

/* The time of day of a moment on the monotonic clock, as date(1) shows it, with microseconds. */
static char *stamp(char *p, long long when)
{
	static time_t second = -1;
	static tm day;
	long long t = when + offsetus;
	if (t / 1000000 != second) {
		second = static_cast<time_t>(t / 1000000);
		localtime_r(&second, &day);
	}
	p = two(p, day.tm_hour);
	*p++ = ':';
	p = two(p, day.tm_min);
	*p++ = ':';
	p = two(p, day.tm_sec);
	*p++ = '.';
	for (long long k = 100000; k > 0; k /= 10)
		*p++ = static_cast<char>('0' + t % 1000000 / k % 10);
	return p;
}

/*
 * One line: the time of the first byte, the kind, for an answer to a
 * request seen how long after it, the bytes; and in the capture, a record
 * of the same bytes, noise too.
 */
static void line(long long first, cut c, const unsigned char *f)
{
	const kind what = c.what;
	const int n = c.len;
	if (capture >= 0)
		record(first, f, n);
	long long after = c.asked ? first - askedus : -1;
	char l[64 + 3 * maxframe + 1100], *p = stamp(l, first); /* the values: 125 registers' as any type */
	*p++ = ' ';
	p = put(p, kinds[static_cast<int>(what)]);
	if (after >= 0) {
		long long tenths = (after + 50) / 100;
		p = put(decimal(put(p, " +"), static_cast<unsigned long>(tenths / 10)), ".");
		p = put(decimal(p, static_cast<unsigned long>(tenths % 10)), "ms");
	}
	*p++ = ' ';
	p = hexbytes(p, f, n);
	if (what == kind::request || what == kind::reply)
		p = showframe(p, o.type, o.words, f, n, what == kind::reply);
	*p++ = '\n';
	fwrite(l, 1, static_cast<size_t>(p - l), stdout); // NOLINT(cert-err33-c): a failure shows at the flush
}

static void flushnoise()
{
	if (noiselen)
		line(noiseus, {kind::noise, noiselen, false}, noise);
	noiselen = 0;
}

/* Frames what has come, as far as it tells; with end, nothing more comes to settle what is open. */
static void settle(bool end, unsigned long count)
{
	while (tail > head) {
		const unsigned char *f = buf + head;
		cut c = split(f, tail - head, asked, askedlen, end);
		if (c.what == kind::none)
			break;
		if (c.what == kind::noise) {
			for (int i = 0; i < c.len; i++) {
				if (noiselen == maxframe)
					flushnoise();
				noiseus = noiselen ? noiseus : atus[head + i];
				noise[noiselen++] = f[i];
			}
			noisy = noisy + static_cast<unsigned long>(c.len);
		} else {
			flushnoise();
			bool answer = c.what != kind::request;
			line(atus[head], c, f);
			askedlen = answer ? 0 : c.len;
			memcpy(asked, f, static_cast<size_t>(askedlen));
			askedus = atus[head + c.len - 1];
			frames = frames + 1;
		}
		head += c.len;
		if (count && frames >= count)
			return;
	}
	if (end)
		flushnoise();
}

/* Reads what has come; -1 at the end of the line. Each byte's time is its read's, less the characters after it. */
static int take()
{
	if (head) {
		memmove(buf, buf + head, static_cast<size_t>(tail - head));
		memmove(atus, atus + head, static_cast<size_t>(tail - head) * sizeof *atus);
		tail -= head;
		head = 0;
	}
	int k = lineread(buf + tail, static_cast<int>(sizeof buf) - tail);
	/* No byte came before the last of the read before. */
	long long now = usnow(), floor = heardus;
	heardus = k > 0 ? now : heardus;
	for (int i = 0; i < k; i++) {
		long long t = now - (k - 1 - i) * linetiming().charus;
		atus[tail + i] = t > floor ? t : floor;
	}
	tail += k > 0 ? k : 0;
	return k;
}

static void flush()
{
	if (fflush(stdout) == EOF)
		die(1, "cannot write the frames: %s", strerror(errno));
}

/*
 * Watches until the line ends or count frames have passed; what was
 * printed leaves before every wait. On a port or a connection, what is
 * open is settled once the line has been silent for the gap.
 */
static void watch(unsigned long count, bool live)
{
	for (;;) {
		flush();
		bool open = live && (tail > head || noiselen);
		if (!lineawait(open ? heardus + linetiming().gapus : -1)) {
			settle(true, count);
		} else if (take() < 0) {
			settle(true, count);
			flush();
			lineended();
			return;
		} else {
			settle(false, count);
		}
		if (count && frames >= count)
			return;
	}
}

int main(int argc, char *argv[])
{
	setvbuf(stdout, out, _IOFBF, sizeof out); // NOLINT(cert-err33-c): cannot fail before the first output
	me = {"rtudump", usage, help, VERSION, lineundo, ending};
	int first = options(argc, argv, "b:c:d:f:o:w:", take);
	if (argc - first != 1)
		misuse(nullptr);
	linekind line = lineaddress(argv[first], false, true);
	linetakes(o.speed, o.framing >= 0, false);

	catchsignals(true);
	timespec t;
	clock_gettime(CLOCK_REALTIME, &t);
	offsetus = t.tv_sec * 1000000LL + t.tv_nsec / 1000 - usnow();
	/*
	 * Opened to read only, with echo off: not even the driver writes to the
	 * line. A port in use is refused at once; a gateway has 10 s to take the
	 * connection. What waited in a port's driver before the watch began did
	 * not pass while it watched.
	 */
	lineopen(true, line == linekind::tcp ? 10000 : 0, o.speed, o.framing, false);
	if (line == linekind::port)
		lineflush();
	if (o.file)
		startcapture(o.file);
	watching = true;

	watch(o.count, line != linekind::recording);

	if (fflush(stdout) == EOF || fclose(stdout) == EOF)
		die(1, "cannot write the frames: %s", strerror(errno));
	lineundo();
	summary();
	return 0;
}
