#include "port.h"

#include <asm/termbits.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

#include "cli.h"

/* musl's headers leave the termios2 calls out; the kernel numbers them so on every architecture. */
#ifndef TCGETS2
#define TCGETS2 _IOR('T', 0x2A, struct termios2)
#define TCSETS2 _IOW('T', 0x2B, struct termios2)
#endif

/* The speeds a Linux terminal has. */
static const struct {
	long baud;
	unsigned code;
} speeds[] = {
	{50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
	{600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
	{19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
	{460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
	{1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
	{2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

/* An RTU character has 8 data bits and 11 bits in all: parity, or a second stop bit. */
static const unsigned framebits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
static const struct {
	const char *name;
	unsigned cflag;
} framings[] = {
	{"8N1", CS8}, {"8E1", CS8 | PARENB}, {"8O1", CS8 | PARENB | PARODD}, {"8N2", CS8 | CSTOPB},
};

/* What restoreport needs, also in a signal handler. */
static int fd = -1;
static termios2 saved, now;
static serial_rs485 saved485;
static serial_struct savedserial;
static volatile sig_atomic_t held, held485, heldserial;
static bool pseudo;
/*
 * The termios2 calls carry any speed, as a number; qemu-user, under which
 * the boards' programs are tried, has only the older ones, whose speed is a
 * code of the table.
 */
static bool two = true;

long speedarg(const char *s)
{
	long baud = strspn(s, "0123456789") == strlen(s) ? strtol(s, nullptr, 10) : 0;
	for (auto &p : speeds) {
		if (p.baud == baud)
			return baud;
	}
	return 0;
}

int framingarg(const char *s)
{
	for (int i = 0; i < static_cast<int>(sizeof framings / sizeof *framings); i++) {
		if (strcasecmp(s, framings[i].name) == 0)
			return i;
	}
	return -1;
}

const char *framingname(int framing)
{
	return framings[framing].name;
}

static int openport(const char *dev, int flags)
{
	fd = above(open(dev, flags));
	return fd;
}

extern "C" void woken(int) {}

static int lockport(long long ms)
{
	if (flock(fd, LOCK_EX | LOCK_NB) == 0)
		return 0;
	if (errno != EWOULDBLOCK || ms <= 0)
		return -1;
	/* Waited for in flock itself, which a timer interrupts: no polling. */
	struct sigaction sa = {}, old = {};
	sa.sa_handler = woken;
	sigaction(SIGALRM, &sa, &old);
	itimerval t = {{0, 0}, {static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)}}, off = {};
	setitimer(ITIMER_REAL, &t, nullptr);
	int r = flock(fd, LOCK_EX), e = errno;
	setitimer(ITIMER_REAL, &off, nullptr);
	sigaction(SIGALRM, &old, nullptr);
	errno = r && e == EINTR ? EWOULDBLOCK : e;
	return r;
}

/* glibc's ioctl takes its request as an unsigned long, musl's as an int: each gets it as it takes it. */
template <typename request> static int ask(int (*call)(int, request, ...), unsigned long req, const void *arg)
{
	return call(fd, static_cast<request>(req), arg);
}

static int ask(unsigned long req, const void *arg)
{
	return ask(ioctl, req, arg);
}

static long baudof(unsigned code)
{
	for (auto &p : speeds) {
		if (p.code == code)
			return p.baud;
	}
	return 0;
}

static int get(termios2 *t)
{
	if (two && ask(TCGETS2, t) == 0)
		return 0;
	two = false;
	memset(t, 0, sizeof *t);
	if (ask(TCGETS, t))
		return -1;
	t->c_ispeed = t->c_ospeed = static_cast<speed_t>(baudof(t->c_cflag & CBAUD));
	return 0;
}

static int set(const termios2 *t)
{
	return ask(two ? TCSETS2 : TCSETS, t);
}

static int rawport(long baud, int framing)
{
	if (get(&saved))
		return -1;
	termios2 t = saved;
	t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON |
					     IXOFF | IXANY | IMAXBEL);
	t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
	t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
	/* The receiver on and the modem lines ignored: a two- or four-wire line has none. */
	t.c_cflag |= CREAD | CLOCAL;
	t.c_cc[VMIN] = 1;
	t.c_cc[VTIME] = 0;
	for (auto &p : speeds) {
		if (p.baud == baud) {
			t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD)) | p.code;
			t.c_ispeed = t.c_ospeed = static_cast<speed_t>(baud);
		}
	}
	if (framing >= 0)
		t.c_cflag = (t.c_cflag & ~framebits) | framings[framing].cflag;
	held = 1;
	if (set(&t))
		return errno == EINVAL && (baud || framing >= 0) ? 3 : -1;
	if (get(&now))
		return -1;
	if (baud && now.c_ospeed != static_cast<speed_t>(baud))
		return 1;
	if (framing >= 0 && (now.c_cflag & framebits) != framings[framing].cflag)
		return 2;
	return 0;
}

int rs485port()
{
	/* The driver's delays and flags stay; only the direction is ours. */
	if (ask(TIOCGRS485, &saved485))
		return -1;
	serial_rs485 r = saved485;
	r.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
	r.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
	held485 = 1;
	return ask(TIOCSRS485, &r) ? -1 : 0;
}

static void lowlatency()
{
	if (ask(TIOCGSERIAL, &savedserial) || (savedserial.flags & static_cast<int>(ASYNC_LOW_LATENCY)))
		return;
	serial_struct s = savedserial;
	s.flags |= static_cast<int>(ASYNC_LOW_LATENCY);
	heldserial = ask(TIOCSSERIAL, &s) == 0;
}

int holdport(const char *dev, int flags, long long ms, // NOLINT(bugprone-easily-swappable-parameters): open's flags, then a time
	     const char *speed, int framing, int *status, char *why, int size)
{
	auto refuse = [&](int code, const char *fmt, const char *a, const char *b, const char *c) {
		*status = code;
		snprintf(why, static_cast<size_t>(size), fmt, dev, a, b, c); // NOLINT(cert-err33-c): cut short at worst
		return -1;
	};
	/* A directory opens to read: it is refused as one that opens to write is. */
	struct stat st;
	if (openport(dev, flags) >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
		close(fd);
		fd = -1;
		errno = EISDIR;
	}
	if (fd < 0)
		return refuse(2, errno == ENOENT ? "no such device: %s" : "cannot open %s: %s", strerror(errno), "", "");
	if (!isatty(fd))
		return refuse(2, "not a terminal: %s", "", "", "");
	/* A pseudo-terminal's slave, by its major number: Unix 98's 136 to 143, or the old 3. */
	unsigned kind = fstat(fd, &st) == 0 ? major(st.st_rdev) : 0;
	pseudo = (kind >= 136 && kind <= 143) || kind == 3;
	if (lockport(ms))
		return refuse(1, errno == EWOULDBLOCK ? "%s is in use by another program" : "cannot lock %s: %s",
			      strerror(errno), "", "");
	long baud = speed ? speedarg(speed) : 0;
	int r = rawport(baud, framing);
	if (r < 0)
		return refuse(1, "cannot set up %s: %s", strerror(errno), "", "");
	if (r) {
		const char *b = r != 2 && baud ? speed : "", *f = r != 1 && framing >= 0 ? framingname(framing) : "";
		return refuse(2, "%s does not take %s%s%s", b, *b && *f ? " " : "", f);
	}
	lowlatency();
	return fd;
}

void portline(long *baud, int *bits, bool *pty)
{
	*pty = pseudo;
	*baud = static_cast<long>(now.c_ospeed);
	/* A start bit, 5 to 8 data bits (CS5 is 0, and CS6 to CS8 its steps), parity, stop bits. */
	*bits = static_cast<int>(1 + 5 + (now.c_cflag & CSIZE) / CS6 + ((now.c_cflag & PARENB) != 0) + 1 +
				 ((now.c_cflag & CSTOPB) != 0));
}

void restoreport()
{
	if (heldserial)
		ask(TIOCSSERIAL, &savedserial);
	if (held485)
		ask(TIOCSRS485, &saved485);
	if (held)
		set(&saved);
	held = held485 = heldserial = 0;
}
