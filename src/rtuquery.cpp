/*
 * rtuquery - send a Modbus RTU request given in hex, with its CRC-16/MODBUS
 * check bytes, and print the reply that answers it.
 *
 * The port is held from other programs, raw for the exchange, and put back
 * as it was before anything is printed, on every way out. The request
 * leaves after the line has been silent for 3.5 characters; the reply ends
 * where its length says, and a gap inside it cuts it short. What a frame is
 * and whether the reply answers the request are the rules of rtu.h. Exit
 * status: 0 the answer (or a broadcast went out), 1 no reply or not the
 * answer, 2 a usage error, 3 an exception; or the signal that ended it.
 */
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "crc16.h"
#include "port.h"
#include "rtu.h"

static const char usage[] = "usage: rtuquery [-e] [-r] [-b speed] [-f framing] [-t seconds] device byte...\n";

static const char help[] =
	"Send a Modbus RTU request, given in hex without its check bytes, to a\n"
	"serial device and print the reply that answers it, in hex.\n"
	"\n"
	"  -b speed    the port's speed for the exchange, such as 9600\n"
	"  -f framing  the port's framing for the exchange: 8N1, 8E1, 8O1 or 8N2\n"
	"  -e          the adapter hands back what it sends: read that echo first\n"
	"  -r          the port's RS-485 mode, RTS high while sending\n"
	"  -t seconds  wait this long for the port and the reply: 0.01 to 25, default 1\n"
	"  -h          print this help\n"
	"\n"
	"Exit status: 0 the answer came and is right, or a broadcast (unit 00)\n"
	"went out; 1 no reply, or not the answer; 2 usage; 3 an exception.\n"
	"rtuquery " VERSION "\n";

struct options {
	bool echo, rs485;
	const char *speed;
	int framing;
	long long wait; /* ms */
	int first;      /* the device's argument */
};

static char out[1024]; /* the reply's line, 3 characters a byte, from no heap */

static const char *dev;
static int port = -1;
static long long quiet, lull; /* µs: silence before the request, a gap that cuts a frame short */

/* The port is put back first: what is said, and the exit, come after it. */
[[noreturn]] static void die(int status, const char *fmt, ...) // NOLINT(cert-dcl50-cpp): printf's own form
{
	restoreport();
	va_list ap;
	va_start(ap, fmt);
	fputs("rtuquery: ", stderr);  // NOLINT(cert-err33-c): the status still tells
	vfprintf(stderr, fmt, ap);    // NOLINT(cert-err33-c,clang-analyzer-valist.Uninitialized): started above
	va_end(ap);
	fputc('\n', stderr);          // NOLINT(cert-err33-c)
	_exit(status);
}

extern "C" void caught(int sig)
{
	restoreport();
	endby(sig);
}

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

static options parse(int argc, char *argv[])
{
	options o = {false, false, nullptr, -1, 1000, 0};
	bool usehelp = argc > 1 && strcmp(argv[1], "--help") == 0;
	opterr = 0;
	for (int c; !usehelp && (c = getopt(argc, argv, "+b:ef:hrt:")) != -1;) {
		switch (c) {
		case 'b':
			o.speed = optarg;
			if (!speedarg(optarg))
				die(2, "not a speed: %s", optarg);
			break;
		case 'e': o.echo = true; break;
		case 'f':
			if ((o.framing = framingarg(optarg)) < 0)
				die(2, "not a framing: %s", optarg);
			break;
		case 'h': usehelp = true; break;
		case 'r': o.rs485 = true; break;
		case 't':
			o.wait = millis(optarg);
			if (o.wait < 10 || o.wait > 25000)
				die(2, "-t takes 0.01 to 25 seconds, to the millisecond: '%s'", optarg);
			break;
		default:
			fputs(usage, stderr); // NOLINT(cert-err33-c): the status still tells
			_exit(2);
		}
	}
	if (usehelp) {
		fputs(usage, stdout); // NOLINT(cert-err33-c): a failure shows at the flush
		fputs(help, stdout);  // NOLINT(cert-err33-c)
		if (fflush(stdout) == EOF || fclose(stdout) == EOF)
			die(1, "write error: %s", strerror(errno));
		_exit(0);
	}
	if (argc - optind < 3) {
		fputs(usage, stderr); // NOLINT(cert-err33-c): the status still tells
		_exit(2);
	}
	o.first = optind;
	return o;
}

/* Nothing is guessed: crc would read 1234 as 0x12, a shell as 0x1234. */
static int request(char **bytes, int n, unsigned char *req)
{
	for (int i = 0; i < n; i++) {
		const char *b = bytes[i];
		int hi = hexdigit(b[0]), lo = hi < 0 ? -1 : hexdigit(b[1]);
		if (hi < 0 || (b[1] && (lo < 0 || b[2])))
			die(2, "not a byte in hex: '%s'", b);
		if (i < maxframe - 2)
			req[i] = static_cast<unsigned char>(b[1] ? hi << 4 | lo : hi);
	}
	char why[128];
	if (checkrequest(req, n, why, sizeof why))
		die(2, "%s", why);
	return n;
}

/*
 * Opens the port, holds it from other programs, and sets it up for the
 * exchange. Not blocking: no wait for a carrier at the open, and every
 * wait after it is poll's.
 */
static void hold(const options &o)
{
	catchsignals(caught, false);
	int status;
	char why[160];
	port = holdport(dev, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, o.wait, o.speed, o.framing, &status, why,
			sizeof why);
	if (port < 0)
		die(status, "%s", why);
	if (o.rs485 && rs485port())
		die(2, "no RS-485 mode on %s: leave out -r, the adapter switches direction itself", dev);
	long baud;
	int bits;
	portline(&baud, &bits);
	quiet = silence(baud, bits);
	lull = gap(baud, bits);
}

static long long now()
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

/* Whether a byte comes before the deadline (µs on the monotonic clock). */
static bool await(long long deadline)
{
	pollfd p = {port, POLLIN, 0};
	for (;;) {
		long long left = deadline - now();
		if (left < 0)
			left = 0;
		timespec ts = {static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000 * 1000)};
		int r = ppoll(&p, 1, &ts, nullptr);
		if (r >= 0)
			return r > 0;
		if (errno != EINTR)
			die(1, "cannot read %s: %s", dev, strerror(errno));
	}
}

static int take(unsigned char *buf, int most)
{
	ssize_t k = read(port, buf, static_cast<size_t>(most));
	if (k < 0 && (errno == EAGAIN || errno == EINTR))
		return 0;
	if (k <= 0)
		die(1, "cannot read %s: %s", dev, k ? strerror(errno) : "end of file");
	return static_cast<int>(k);
}

/*
 * Drops the bytes already waiting, then waits for the silence that a
 * device takes as the end of a frame: a request must not follow the tail
 * of another frame sooner.
 */
static void hush(long long wait)
{
	unsigned char junk[maxframe];
	tcflush(port, TCIFLUSH);
	long long busy = now() + wait * 1000;
	while (await(now() + quiet)) {
		take(junk, maxframe);
		if (now() > busy)
			die(1, "the line is busy");
	}
}

/* Appends the check bytes to the request, sends it and waits until its last bit has left: its length. */
static int send(unsigned char *req, int n)
{
	std::uint32_t crc = crc16(reinterpret_cast<char *>(req), n);
	req[n] = static_cast<unsigned char>(crc & 0xFF);
	req[n + 1] = static_cast<unsigned char>(crc >> 8);
	const int len = n + 2;
	for (int done = 0; done < len;) {
		ssize_t w = write(port, req + done, static_cast<size_t>(len - done));
		if (w > 0) {
			done += static_cast<int>(w);
		} else if (errno == EAGAIN) {
			pollfd p = {port, POLLOUT, 0};
			poll(&p, 1, -1);
		} else if (errno != EINTR) {
			die(1, "cannot write to %s: %s", dev, strerror(errno));
		}
	}
	int r;
	while ((r = tcdrain(port)) == -1 && errno == EINTR)
		;
	if (r)
		die(1, "cannot write to %s: %s", dev, strerror(errno));
	return len;
}

/* Reads one frame into f: its first byte within wait ms, the rest with no gap, as far as it wants. */
static int frame(unsigned char *f, long long wait, const unsigned char *req, int reqlen)
{
	int n = 0;
	long long deadline = now() + wait * 1000;
	for (int want; n < (want = wanted(req, reqlen, f, n)) && await(deadline);) {
		int k = take(f + n, want - n);
		if (k) {
			n += k;
			deadline = now() + lull;
		}
	}
	return n;
}

static void print(const unsigned char *f, int n)
{
	static const char digits[] = "0123456789abcdef";
	for (int i = 0; i < n; i++) {
		putchar(digits[f[i] >> 4]);
		putchar(digits[f[i] & 15]);
		putchar(i + 1 < n ? ' ' : '\n');
	}
	if (fflush(stdout) == EOF || fclose(stdout) == EOF)
		die(1, "cannot print the reply");
}

int main(int argc, char *argv[])
{
	setvbuf(stdout, out, _IOFBF, sizeof out); // NOLINT(cert-err33-c): cannot fail before the first output
	options o = parse(argc, argv);
	dev = argv[o.first];
	unsigned char req[maxframe] = {};
	int len = request(argv + o.first + 1, argc - o.first - 1, req);

	hold(o);
	hush(o.wait);
	len = send(req, len);

	unsigned char rep[maxframe] = {};
	if (o.echo) {
		verdict e = judgeecho(req, len, rep, frame(rep, o.wait, req, len));
		if (e.status)
			die(e.status, "%s", e.why);
	}
	if (req[0] == 0) {
		/* No unit answers a broadcast; they act on it meanwhile. */
		timespec act = {0, 100000000};
		while (nanosleep(&act, &act) && errno == EINTR)
			;
		restoreport();
		return 0;
	}
	int got = frame(rep, o.wait, req, len);
	restoreport();

	verdict v = judge(req, len, rep, got, o.echo);
	if (got)
		print(rep, replyend(req, len, rep, got));
	if (v.status)
		die(v.status, "%s", v.why);
	return 0;
}
