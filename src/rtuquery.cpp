/*
 * rtuquery - send a Modbus RTU request given in hex, with its CRC-16/MODBUS
 * check bytes, and print the reply that answers it.
 *
 * The port is raw for the exchange and put back as it was before anything
 * is printed, on every way out. The request leaves after the line has been
 * silent for 3.5 characters; the reply ends where its length says, and a
 * gap of more than 0.1 s inside it cuts it short. It must answer this
 * request: right check bytes, the unit and function asked, and fitting the
 * request. Exit status: 0 the answer (or a broadcast went out), 1 no reply
 * or not the answer, 2 a usage error, 3 an exception.
 */
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "crc16.h"

static const int maxframe = 256; /* a serial line frame, check bytes included */
static const int maxreq = maxframe - 2;
static const int least = 5;       /* unit, function, one byte, check bytes: the shortest reply */
static const long long gap = 100000; /* µs of silence that ends a frame */

static const char usage[] = "usage: rtuquery [-e] [-r] [-b speed] [-f framing] [-t seconds] device byte...\n";

static const char help[] =
	"Send a Modbus RTU request, given in hex without its check bytes, to a\n"
	"serial device and print the reply that answers it, in hex.\n"
	"\n"
	"  -b speed    the port's speed for the exchange, such as 9600\n"
	"  -f framing  the port's framing for the exchange: 8N1, 8E1, 8O1 or 8N2\n"
	"  -e          the adapter hands back what it sends: read that echo first\n"
	"  -r          the port's RS-485 mode, RTS high while sending\n"
	"  -t seconds  wait this long for the reply: 0.01 to 25, default 1\n"
	"  -h          print this help\n"
	"\n"
	"Exit status: 0 the answer came and is right, or a broadcast (unit 00)\n"
	"went out; 1 no reply, or not the answer; 2 usage; 3 an exception.\n"
	"rtuquery " VERSION "\n";

/* The speeds a Linux terminal has. */
static const struct {
	long baud;
	speed_t code;
} speeds[] = {
	{50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
	{600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
	{19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
	{460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
	{1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
	{2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

/* An RTU character has 8 data bits and 11 bits in all: parity, or a second stop bit. */
static const tcflag_t framebits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
static const struct {
	const char *name;
	tcflag_t cflag;
} framings[] = {
	{"8N1", CS8}, {"8E1", CS8 | PARENB}, {"8O1", CS8 | PARENB | PARODD}, {"8N2", CS8 | CSTOPB},
};

/*
 * What a request holds and what answers it, by function. A request has req
 * bytes, and with at, as many more as its byte at that index says; so many
 * are checked before it is sent. A reply has reply bytes, and when counted,
 * as many more as its third byte says; copied, it may be the request itself.
 * Functions not here are sent as given, and their replies end at silence.
 */
enum fit : unsigned char { any, bits, regs, copy, head };
static const struct fn {
	unsigned char code, req, at, reply;
	bool counted, copied;
	fit fits; /* bits, regs: the byte count the quantity asks for; copy: the request; head: its first 6 bytes */
} fns[] = {
	{0x01, 6, 0, 5, true, false, bits}, {0x02, 6, 0, 5, true, false, bits},
	{0x03, 6, 0, 5, true, false, regs}, {0x04, 6, 0, 5, true, false, regs},
	{0x05, 6, 0, 8, false, true, copy}, {0x06, 6, 0, 8, false, true, copy},
	{0x08, 0, 0, 0, false, true, any}, /* diagnostics: a copy for some subfunctions, counters for others */
	{0x0f, 7, 6, 8, false, false, head}, {0x10, 7, 6, 8, false, false, head},
	{0x16, 8, 0, 10, false, true, copy}, {0x17, 11, 10, 5, true, false, regs},
};

/* As the Modbus application protocol names them. */
static const char *const exceptions[] = {
	nullptr, "illegal function", "illegal data address", "illegal data value",
	"server device failure", "acknowledge", "server device busy", nullptr,
	"memory parity error", nullptr, "gateway path unavailable",
	"gateway target device failed to respond",
};

static const int signals[] = {SIGHUP, SIGINT, SIGTERM};

static char out[1024]; /* the reply's line, 3 characters a byte, from no heap */

/* What the signal handlers need to put the port back. */
static const char *dev;
static int port = -1;
static termios saved;
static serial_rs485 saved485;
static volatile sig_atomic_t active, active485;

static void restore()
{
	if (active485)
		ioctl(port, TIOCSRS485, &saved485);
	if (active)
		tcsetattr(port, TCSANOW, &saved);
	active = active485 = 0;
}

extern "C" void caught(int)
{
	restore();
	_exit(1);
}

/* The port is put back first: what is said, and the exit, come after it. */
[[noreturn]] static void die(int status, const char *fmt, ...) // NOLINT(cert-dcl50-cpp): printf's own form
{
	restore();
	va_list ap;
	va_start(ap, fmt);
	fputs("rtuquery: ", stderr);  // NOLINT(cert-err33-c): the status still tells
	vfprintf(stderr, fmt, ap);    // NOLINT(cert-err33-c,clang-analyzer-valist.Uninitialized): started above
	va_end(ap);
	fputc('\n', stderr);          // NOLINT(cert-err33-c)
	_exit(status);
}

static const fn *lookup(unsigned code)
{
	for (auto &f : fns) {
		if (f.code == code)
			return &f;
	}
	return nullptr;
}

static int hexdigit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	c = static_cast<char>(c | 0x20); /* A-F to a-f, and only those onto them */
	return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

/* Seconds to the millisecond, as 1, 0.02 or 1.5; -1 for anything else. */
static long long millis(const char *s)
{
	long long ms = 0;
	int i = 0, frac = -1;
	for (; i < 8 && s[i]; i++) {
		if (s[i] == '.' && frac < 0) {
			frac = 0;
		} else if (s[i] >= '0' && s[i] <= '9' && frac < 3) {
			ms = ms * 10 + (s[i] - '0');
			frac += frac >= 0;
		} else {
			return -1;
		}
	}
	if (s[i] || i == 0 || frac == 0)
		return -1;
	for (int k = frac < 0 ? 0 : frac; k < 3; k++)
		ms *= 10;
	return ms;
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
 * The length of a frame, as far as its first n bytes tell: 0 until they do,
 * and for a function whose reply has no length of its own.
 */
static int length(const unsigned char *f, int n)
{
	if (n < 2)
		return 0;
	if (f[1] & 0x80)
		return least; /* an exception: the function with its top bit set, and a code */
	const fn *p = lookup(f[1]);
	if (!p || !p->reply)
		return 0;
	if (!p->counted)
		return p->reply;
	return n < 3 ? 0 : p->reply + f[2];
}

static bool isrequest(const unsigned char *f, int n, const unsigned char *req, int reqlen)
{
	return n == reqlen && memcmp(f, req, static_cast<size_t>(n)) == 0;
}

/*
 * Reads one frame into f: its first byte within wait µs, the rest with no
 * gap of more than 0.1 s, as far as its length says. While the bytes are
 * those of req, they are read on as far as req's length, since an echo of
 * the request begins as its answer may.
 */
static int frame(unsigned char *f, long long wait, const unsigned char *req, int reqlen)
{
	int n = 0;
	long long deadline = now() + wait;
	for (;;) {
		bool like = memcmp(f, req, static_cast<size_t>(n < reqlen ? n : reqlen)) == 0;
		if (like && n == reqlen)
			return n;
		int want = like ? reqlen : length(f, n);
		if (!want)
			want = n < 3 ? least : maxframe;
		if (n >= want || !await(deadline))
			return n;
		int k = take(f + n, want - n);
		if (k) {
			n += k;
			deadline = now() + gap;
		}
	}
}

int main(int argc, char *argv[])
{
	setvbuf(stdout, out, _IOFBF, sizeof out); // NOLINT(cert-err33-c): cannot fail before the first output

	bool echo = false, rs485 = false, usehelp = argc > 1 && strcmp(argv[1], "--help") == 0;
	const char *speed = nullptr;
	speed_t code = 0;
	int frm = -1;
	long long wait = 1000; /* ms */
	opterr = 0;
	for (int o; !usehelp && (o = getopt(argc, argv, "+b:ef:hrt:")) != -1;) {
		switch (o) {
		case 'b': {
			speed = optarg;
			long baud = strspn(speed, "0123456789") == strlen(speed) ? strtol(speed, nullptr, 10) : 0;
			for (auto &s : speeds) {
				if (s.baud == baud)
					code = s.code;
			}
			if (!code)
				die(2, "not a speed: %s", speed);
			break;
		}
		case 'e': echo = true; break;
		case 'f':
			for (int i = 0; i < static_cast<int>(sizeof framings / sizeof *framings); i++) {
				if (strcasecmp(optarg, framings[i].name) == 0)
					frm = i;
			}
			if (frm < 0)
				die(2, "not a framing: %s", optarg);
			break;
		case 'h': usehelp = true; break;
		case 'r': rs485 = true; break;
		case 't':
			wait = millis(optarg);
			if (wait < 10 || wait > 25000)
				die(2, "-t takes 0.01 to 25 seconds, to the millisecond: '%s'", optarg);
			break;
		default:
			fputs(usage, stderr); // NOLINT(cert-err33-c): the status still tells
			return 2;
		}
	}
	if (usehelp) {
		fputs(usage, stdout); // NOLINT(cert-err33-c): a failure shows at the flush
		fputs(help, stdout);  // NOLINT(cert-err33-c)
		if (fflush(stdout) == EOF || fclose(stdout) == EOF)
			die(1, "write error: %s", strerror(errno));
		return 0;
	}
	if (argc - optind < 3) {
		fputs(usage, stderr); // NOLINT(cert-err33-c): the status still tells
		return 2;
	}
	dev = argv[optind];
	char **bytes = argv + optind + 1;
	int n = argc - optind - 1;

	/* Nothing is guessed: crc would read 1234 as 0x12, a shell as 0x1234. */
	unsigned char req[maxframe] = {};
	for (int i = 0; i < n; i++) {
		const char *b = bytes[i];
		int hi = hexdigit(b[0]), lo = hi < 0 ? -1 : hexdigit(b[1]);
		if (hi < 0 || (b[1] && (lo < 0 || b[2])))
			die(2, "not a byte in hex: '%s'", b);
		if (i < maxreq)
			req[i] = static_cast<unsigned char>(b[1] ? hi << 4 | lo : hi);
	}
	if (n > maxreq)
		die(2, "a request has at most %d bytes, not %d", maxreq, n);
	const unsigned unit = req[0], fc = req[1];
	const fn *f = lookup(fc);
	if (f && f->req) {
		int want = f->req + (f->at && n > f->at ? req[f->at] : 0);
		if (f->at && n <= f->at)
			die(2, "a request for function %02x has at least %d bytes, not %d", fc, f->req, n);
		if (n != want)
			die(2, "a request for function %02x has %d bytes, not %d", fc, want, n);
	}

	/* Not blocking: no wait for a carrier at the open, and every wait below is poll's. */
	port = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
	if (port < 0)
		die(2, errno == ENOENT ? "no such device: %s" : "cannot open: %s", dev);
	if (!isatty(port))
		die(2, "not a terminal: %s", dev);
	if (tcgetattr(port, &saved))
		die(1, "cannot read the settings of %s: %s", dev, strerror(errno));

	struct sigaction sa = {};
	sa.sa_handler = caught;
	sigfillset(&sa.sa_mask);
	for (int sig : signals) {
		struct sigaction old = {};
		sigaction(sig, nullptr, &old);
		if (old.sa_handler != SIG_IGN) /* a shell's background job stays deaf to ^C */
			sigaction(sig, &sa, nullptr);
	}

	/*
	 * Raw: every byte passes unchanged both ways, none is answered or
	 * turned into a signal. The receiver on and the modem lines ignored, as
	 * a two- or four-wire line has none. Speed, parity, stop bits and flow
	 * control stay the user's unless asked for.
	 */
	termios t = saved;
	t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
					     IXON | IXOFF | IXANY | IMAXBEL);
	t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
	t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
	t.c_cflag |= CREAD | CLOCAL;
	t.c_cc[VMIN] = 1;
	t.c_cc[VTIME] = 0;
	if (code) { /* one of the table's, which the calls cannot refuse */
		cfsetispeed(&t, code);
		cfsetospeed(&t, code);
	}
	if (frm >= 0)
		t.c_cflag = (t.c_cflag & ~framebits) | framings[frm].cflag;
	active = 1;
	if (tcsetattr(port, TCSANOW, &t) || tcgetattr(port, &t))
		die(1, "cannot set up %s: %s", dev, strerror(errno));
	/* A driver takes what it can and says nothing of the rest. */
	if (code && cfgetospeed(&t) != code)
		die(2, "%s does not take %s", dev, speed);
	if (frm >= 0 && (t.c_cflag & framebits) != framings[frm].cflag)
		die(2, "%s does not take %s", dev, framings[frm].name);

	if (rs485) {
		/* The driver's delays and flags stay; only the direction is ours. */
		bool got485 = ioctl(port, TIOCGRS485, &saved485) == 0;
		serial_rs485 r = saved485;
		r.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
		r.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
		active485 = got485;
		if (!got485 || ioctl(port, TIOCSRS485, &r))
			die(2, "no RS-485 mode on %s: leave out -r, the adapter switches direction itself", dev);
	}

	/*
	 * A device takes 3.5 characters of silence as the end of a frame: a
	 * request must not follow the tail of another frame sooner. Above
	 * 19200 baud the line keeps a fixed 1.75 ms.
	 */
	long baud = 0;
	for (auto &s : speeds) {
		if (s.code == cfgetospeed(&t))
			baud = s.baud;
	}
	/* A start bit, 5 to 8 data bits (CS5 is 0, and CS6 to CS8 its steps), parity, stop bits. */
	long long bits = 1 + 5 + (t.c_cflag & CSIZE) / CS6 + ((t.c_cflag & PARENB) != 0) + 1 +
			 ((t.c_cflag & CSTOPB) != 0);
	long long quiet = baud > 19200 || baud == 0 ? 1750 : 3500000LL * bits / baud;
	unsigned char junk[maxframe];
	tcflush(port, TCIFLUSH);
	long long busy = now() + wait * 1000LL;
	while (await(now() + quiet)) {
		take(junk, maxframe);
		if (now() > busy)
			die(1, "the line is busy");
	}

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
	/* The wait for the reply starts when the request's last bit has left. */
	int r;
	while ((r = tcdrain(port)) == -1 && errno == EINTR)
		;
	if (r)
		die(1, "cannot write to %s: %s", dev, strerror(errno));

	unsigned char rep[maxframe] = {};
	int got;
	if (echo) {
		/* A collision on the bus changes what comes back. */
		got = frame(rep, wait * 1000LL, req, len);
		if (!got)
			die(1, "no echo");
		if (!isrequest(rep, got, req, len)) {
			int l = length(rep, got);
			if (l && got >= l && crc16(reinterpret_cast<char *>(rep), l) == 0 && rep[0] == unit &&
			    (rep[1] & 0x7F) == fc)
				die(1, "no echo, but a reply: the adapter does not echo; leave out -e");
			die(1, "echo differs from the request");
		}
	}
	if (unit == 0) {
		/* No unit answers a broadcast; they act on it meanwhile. */
		timespec act = {0, 100000000};
		while (nanosleep(&act, &act) && errno == EINTR)
			;
		restore();
		return 0;
	}
	got = frame(rep, wait * 1000LL, req, len);
	restore();
	if (!got) {
		if (echo && f && f->copied)
			die(1, "no reply after the echo (a reply to %02x is a copy of the request: is -e right?)", fc);
		die(1, "no reply");
	}

	/* The request itself is its echo, whatever its length says. */
	bool same = isrequest(rep, got, req, len);
	int l = same ? len : length(rep, got);
	if (l && got > l)
		got = l; /* what follows the reply is not part of it */
	static const char digits[] = "0123456789abcdef";
	for (int i = 0; i < got; i++) {
		putchar(digits[rep[i] >> 4]);
		putchar(digits[rep[i] & 15]);
		putchar(i + 1 < got ? ' ' : '\n');
	}
	if (fflush(stdout) == EOF || fclose(stdout) == EOF)
		die(1, "cannot print the reply");

	if (got < (l ? l : least))
		die(1, l ? "reply cut short: %d of %d bytes" : "reply cut short: %d of at least %d bytes", got,
		    l ? l : least);
	if (crc16(reinterpret_cast<char *>(rep), got))
		die(1, "bad check bytes");
	if (rep[0] != unit)
		die(1, "reply from unit %02x, not %02x", rep[0], unit);
	if ((rep[1] & 0x7Fu) != fc)
		die(1, "reply to function %02x, not %02x", rep[1] & 0x7F, fc);
	if (rep[1] & 0x80) {
		unsigned e = rep[2];
		const char *name = e < sizeof exceptions / sizeof *exceptions ? exceptions[e] : nullptr;
		die(3, name ? "exception %02x: %s" : "exception %02x", e, name);
	}
	if (same && !(f && f->copied))
		die(1, "the reply is a copy of the request: the adapter echoes; use -e");

	/* What the answer must hold: as many data bytes as the quantity asks for, or the request. */
	unsigned qty = f ? static_cast<unsigned>(req[4] << 8 | req[5]) : 0;
	const fit fits = f ? f->fits : any;
	bool ok = fits == bits   ? rep[2] == (qty + 7) / 8
		  : fits == regs ? rep[2] == 2 * qty
		  : fits == copy ? same
		  : fits == head ? memcmp(rep, req, 6) == 0
				 : true;
	if (!ok)
		die(1, "reply does not match the request");
	return 0;
}
