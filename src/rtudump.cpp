/*
 * rtudump - watch a Modbus RTU bus and print every frame that passes, one
 * line a frame, as soon as it is known complete.
 *
 * A frame is told by the rules of rtu.h, by its function's length and its
 * check bytes, and not by the clock: a USB adapter hands bytes over in
 * batches, so one batch may hold two frames and a frame may come in
 * several. On a port, silence only settles what is still open. The port is
 * read, never written, held from other programs and raw for as long as it
 * is watched, and put back as it was on every way out. Exit status: 0 at
 * the end of the input or after -c frames, 1 a port in use or failing, 2 a
 * usage error; or the signal that ended it.
 */
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "port.h"
#include "rtu.h"

static const char usage[] = "usage: rtudump [-b speed] [-f framing] [-c count] [-w file] device\n";

static const char help[] =
	"Watch a Modbus RTU bus and print each frame that passes, one a line:\n"
	"the time of its first byte, request, reply, exception or noise, and\n"
	"its bytes in hex. A device of - reads recorded bytes from standard input.\n"
	"\n"
	"  -b speed    the port's speed, such as 9600\n"
	"  -f framing  the port's framing: 8N1, 8E1, 8O1 or 8N2\n"
	"  -c count    exit after so many frames\n"
	"  -w file     also write the frames to file as a pcap capture\n"
	"  -h          print this help\n"
	"\n"
	"Exit status: 0 at the end of the input or after -c frames; 1 the port\n"
	"is in use or fails; 2 usage.\n"
	"rtudump " VERSION "\n";

struct opts {
	const char *speed;
	int framing;
	unsigned long count; /* 0: no end */
	const char *file, *dev;
};

/* The pcap format's own numbers: classic, microsecond times, the first user link type. */
static const std::uint32_t magic = 0xa1b2c3d4, linktype = 147;

static char out[65536]; /* the lines of what one read brought, from no heap */

/* What comes in, waiting to be framed: the bytes, and when each arrived (µs, monotonic clock). */
static unsigned char buf[4096];
static long long at[sizeof buf];
static int head, tail;

/* The last request, as long as it awaits its answer, and when its last byte came. */
static unsigned char last[maxframe];
static int lastlen;
static long long lastend;

/* A run of noise, printed as one line once something else comes. */
static unsigned char noise[maxframe];
static int noiselen;
static long long noiseat;

static const char *dev, *capname;
static int in = -1, capture = -1;
static bool live;            /* a port, not recorded bytes */
static long long each, lull;  /* µs: one character, a gap that settles what is open */
static long long heard;       /* when the last byte came */
static long long offset;      /* from the monotonic clock to the time of day, once: times never go back */
static volatile unsigned long frames, noisy;

static const char *const kinds[] = {"", "request", "reply", "exception", "noise"};

static char *put(char *p, const char *s)
{
	while (*s)
		*p++ = *s++;
	return p;
}

static char *num(char *p, unsigned long v)
{
	char d[24];
	int k = 0;
	do
		d[k++] = static_cast<char>('0' + v % 10);
	while (v /= 10);
	while (k)
		*p++ = d[--k];
	return p;
}

/* The summary, with no stdio: also from a signal handler. */
static void summary()
{
	char s[96], *p = put(s, "rtudump: ");
	p = put(num(p, frames), " frames, ");
	p = put(num(p, noisy), " bytes of noise\n");
	if (write(2, s, static_cast<size_t>(p - s)) < 0)
		return; /* nowhere left to say it */
}

/* Ends the watch: the port back as it was, the summary, the status. */
[[noreturn]] static void done(int status)
{
	restoreport();
	summary();
	_exit(status);
}

/* The port is put back first: what is said, and the exit, come after it. */
[[noreturn]] static void die(int status, bool watching, const char *fmt, ...) // NOLINT(cert-dcl50-cpp): printf's own form
{
	restoreport();
	va_list ap;
	va_start(ap, fmt);
	fputs("rtudump: ", stderr);  // NOLINT(cert-err33-c): the status still tells
	vfprintf(stderr, fmt, ap);   // NOLINT(cert-err33-c,clang-analyzer-valist.Uninitialized): started above
	va_end(ap);
	fputc('\n', stderr);         // NOLINT(cert-err33-c)
	if (watching)
		summary();
	_exit(status);
}

extern "C" void caught(int sig)
{
	restoreport();
	summary();
	endby(sig);
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

static opts parse(int argc, char *argv[])
{
	opts o = {nullptr, -1, 0, nullptr, nullptr};
	bool usehelp = argc > 1 && strcmp(argv[1], "--help") == 0;
	opterr = 0;
	for (int c; !usehelp && (c = getopt(argc, argv, "+b:c:f:hw:")) != -1;) {
		switch (c) {
		case 'b':
			o.speed = optarg;
			if (!speedarg(optarg))
				die(2, false, "not a speed: %s", optarg);
			break;
		case 'c':
			if (!(o.count = countarg(optarg)))
				die(2, false, "-c takes a number of frames, 1 or more: '%s'", optarg);
			break;
		case 'f':
			if ((o.framing = framingarg(optarg)) < 0)
				die(2, false, "not a framing: %s", optarg);
			break;
		case 'h': usehelp = true; break;
		case 'w': o.file = optarg; break;
		default:
			fputs(usage, stderr); // NOLINT(cert-err33-c): the status still tells
			_exit(2);
		}
	}
	if (usehelp) {
		fputs(usage, stdout); // NOLINT(cert-err33-c): a failure shows at the flush
		fputs(help, stdout);  // NOLINT(cert-err33-c)
		if (fflush(stdout) == EOF || fclose(stdout) == EOF)
			die(1, false, "write error: %s", strerror(errno));
		_exit(0);
	}
	if (argc - optind != 1) {
		fputs(usage, stderr); // NOLINT(cert-err33-c): the status still tells
		_exit(2);
	}
	o.dev = argv[optind];
	return o;
}

/*
 * Opens the port to read it only, holds it from other programs, and makes
 * it raw: without echo, the driver itself would write to the line. Not
 * blocking: no wait for a carrier at the open, and every wait is poll's.
 */
static void hold(const opts &o)
{
	int status;
	char why[160];
	in = holdport(dev, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0, o.speed, o.framing, &status, why, sizeof why);
	if (in < 0)
		die(status, false, "%s", why);
	long baud;
	int bits;
	portline(&baud, &bits);
	each = chartime(baud, bits);
	lull = gap(baud, bits);
	live = true;
}

static void writeall(const void *p, size_t n)
{
	if (write(capture, p, n) != static_cast<ssize_t>(n))
		die(1, true, "cannot write %s: %s", capname, strerror(errno));
}

/*
 * The capture's header, in the byte order of the machine, which its magic
 * number tells a reader; then a record a frame, each in one write, so that
 * the file can be read while it grows.
 */
static void startcapture(const char *file)
{
	capname = file;
	capture = above(open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
	if (capture < 0)
		die(2, false, "cannot open %s: %s", file, strerror(errno));
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
	long long t = when + offset;
	std::uint32_t h[4] = {static_cast<std::uint32_t>(t / 1000000), static_cast<std::uint32_t>(t % 1000000),
			      static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(n)};
	unsigned char b[16 + maxframe];
	memcpy(b, h, 16);
	memcpy(b + 16, f, static_cast<size_t>(n));
	writeall(b, 16 + static_cast<size_t>(n));
}

static long long usnow(clockid_t c)
{
	timespec t;
	clock_gettime(c, &t);
	return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
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
	long long t = when + offset;
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

/* One line: the time of the first byte, the kind, for an answer how long after its request, the bytes. */
static void line(long long first, kind what, const unsigned char *f, int n)
{
	long long after = what == kind::reply || what == kind::exception ? first - lastend : -1;
	static const char digits[] = "0123456789abcdef";
	char l[64 + 3 * maxframe], *p = stamp(l, first);
	*p++ = ' ';
	p = put(p, kinds[static_cast<int>(what)]);
	if (after >= 0) {
		long long tenths = (after + 50) / 100;
		p = put(num(put(p, " +"), static_cast<unsigned long>(tenths / 10)), ".");
		p = put(num(p, static_cast<unsigned long>(tenths % 10)), "ms");
	}
	for (int i = 0; i < n; i++) {
		*p++ = ' ';
		*p++ = digits[f[i] >> 4];
		*p++ = digits[f[i] & 15];
	}
	*p++ = '\n';
	fwrite(l, 1, static_cast<size_t>(p - l), stdout); // NOLINT(cert-err33-c): a failure shows at the flush
}

static void flushnoise()
{
	if (noiselen)
		line(noiseat, kind::noise, noise, noiselen);
	noiselen = 0;
}

/* Frames what has come, as far as it tells; with end, nothing more comes to settle what is open. */
static void settle(bool end, unsigned long count)
{
	while (tail > head) {
		const unsigned char *f = buf + head;
		cut c = split(f, tail - head, last, lastlen, end);
		if (c.what == kind::none)
			break;
		if (c.what == kind::noise) {
			for (int i = 0; i < c.len; i++) {
				if (noiselen == maxframe)
					flushnoise();
				noiseat = noiselen ? noiseat : at[head + i];
				noise[noiselen++] = f[i];
			}
			noisy = noisy + static_cast<unsigned long>(c.len);
		} else {
			flushnoise();
			bool answer = c.what != kind::request;
			line(at[head], c.what, f, c.len);
			if (capture >= 0)
				record(at[head], f, c.len);
			lastlen = answer ? 0 : c.len;
			memcpy(last, f, static_cast<size_t>(lastlen));
			lastend = at[head + c.len - 1];
			frames = frames + 1;
		}
		head += c.len;
		if (count && frames >= count)
			return;
	}
	if (end)
		flushnoise();
}

/* Reads what has come; 0 at the end of the input. Each byte's time is its read's, less the characters after it. */
static int take()
{
	if (head) {
		memmove(buf, buf + head, static_cast<size_t>(tail - head));
		memmove(at, at + head, static_cast<size_t>(tail - head) * sizeof *at);
		tail -= head;
		head = 0;
	}
	ssize_t k = read(in, buf + tail, sizeof buf - static_cast<size_t>(tail));
	if (k < 0 && (errno == EAGAIN || errno == EINTR))
		return 1;
	if (k < 0 || (k == 0 && live))
		die(1, true, "cannot read %s: %s", dev, k ? strerror(errno) : "end of file");
	/* No byte came before the last of the read before. */
	long long now = usnow(CLOCK_MONOTONIC), floor = heard;
	heard = now;
	for (int i = 0; i < k; i++) {
		long long t = now - (k - 1 - i) * each;
		at[tail + i] = t > floor ? t : floor;
	}
	tail += static_cast<int>(k);
	return k > 0;
}

/* Watches until the input ends or count frames have passed; what was printed leaves before every wait. */
static void watch(unsigned long count)
{
	for (;;) {
		if (fflush(stdout) == EOF)
			die(1, true, "cannot write the frames: %s", strerror(errno));
		int wait = -1; /* ms */
		if (live && (tail > head || noiselen)) {
			long long left = heard + lull - usnow(CLOCK_MONOTONIC);
			wait = left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
		}
		pollfd p = {in, POLLIN, 0};
		int r = poll(&p, 1, wait);
		if (r < 0 && errno != EINTR)
			die(1, true, "cannot read %s: %s", dev, strerror(errno));
		if (r == 0) {
			settle(true, count);
		} else if (r > 0) {
			if (!take()) {
				settle(true, count);
				return;
			}
			settle(false, count);
		}
		if (count && frames >= count)
			return;
	}
}

int main(int argc, char *argv[])
{
	setvbuf(stdout, out, _IOFBF, sizeof out); // NOLINT(cert-err33-c): cannot fail before the first output
	opts o = parse(argc, argv);
	dev = o.dev;
	catchsignals(caught, true);
	offset = usnow(CLOCK_REALTIME) - usnow(CLOCK_MONOTONIC);
	if (strcmp(dev, "-") != 0)
		hold(o);
	else
		in = 0;
	if (o.file)
		startcapture(o.file);

	watch(o.count);

	if (fflush(stdout) == EOF || fclose(stdout) == EOF)
		die(1, true, "cannot write the frames: %s", strerror(errno));
	done(0);
}
