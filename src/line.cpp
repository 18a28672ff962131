#include "line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "cli.h"
#include "net.h"
#include "port.h"
#include "rtu.h"

static linekind kind;
static int fd = -1;
static const char *path;
static endpoint gateway;
static char name[300];
static linetimes times;
static int failure; /* why the line ended: errno, or 0 at its end */

/* A gateway holds bytes back for its timer, 10 to 50 ms, and a network for longer. */
static const long long netgapus = 500000;

linekind lineaddress(const char *dev, bool tcp, bool recording)
{
	path = dev;
	snprintf(name, sizeof name, "%s", dev); // NOLINT(cert-err33-c): cut short at worst
	if (recording && strcmp(dev, "-") == 0) {
		snprintf(name, sizeof name, "standard input"); // NOLINT(cert-err33-c)
		return kind = linekind::recording;
	}
	bool slash = strchr(dev, '/') != nullptr;
	if (tcp && slash)
		misuse("Modbus TCP goes to HOST:PORT, not to a serial port: %s", dev);
	if (slash || (!tcp && !strchr(dev, ':')))
		return kind = linekind::port;
	char why[160];
	if (hostport(dev, tcp ? "502" : nullptr, &gateway, why, sizeof why))
		misuse("%s", why);
	/* HOST alone, or [IPv6] alone: named with the port it stands for. */
	const char *bracket = strrchr(dev, ']');
	if (!strchr(dev, ':') || (dev[0] == '[' && bracket && bracket[1] != ':'))
		snprintf(name, sizeof name, "%s:%s", dev, gateway.port); // NOLINT(cert-err33-c)
	return kind = linekind::tcp;
}

const char *linespeed(const char *arg)
{
	if (!speedarg(arg))
		misuse("not a speed: %s", arg);
	return arg;
}

int lineframing(const char *arg)
{
	int framing = framingarg(arg);
	if (framing < 0)
		misuse("not a framing: %s", arg);
	return framing;
}

void linetakes(bool speed, bool framing, bool rs485)
{
	static const char fixed[] = "is not for a TCP connection: the gateway's own settings fix the line's speed and framing";
	if (kind == linekind::tcp && speed)
		misuse("-b %s", fixed);
	if (kind == linekind::tcp && framing)
		misuse("-f %s", fixed);
	if (kind == linekind::tcp && rs485)
		misuse("-r is not for a TCP connection: the gateway drives its own line");
}

const char *linename()
{
	return name;
}

void lineopen(bool readonly, long long ms, const char *speed, int framing, bool rs485)
{
	int status = 1;
	char why[400];
	if (kind == linekind::recording) {
		fd = 0;
	} else if (kind == linekind::tcp) {
		fd = dial(gateway, name, ms, why, sizeof why);
		times = {0, 0, netgapus, false};
	} else {
		int flags = (readonly ? O_RDONLY : O_RDWR) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
		fd = holdport(path, flags, ms, speed, framing, &status, why, sizeof why);
		if (fd < 0)
			die(status, "%s", why);
		if (rs485 && rs485port())
			die(2, "no RS-485 mode on %s: leave out -r, the adapter switches direction itself", path);
		long baud;
		int bits;
		bool pty;
		portline(&baud, &bits, &pty);
		times = {silence(baud, bits), chartime(baud, bits), gap(baud, bits), !pty};
	}
	if (fd < 0)
		die(status, "%s", why);
}

linetimes linetiming()
{
	return times;
}

void lineflush()
{
	if (kind == linekind::port) {
		tcflush(fd, TCIFLUSH);
		return;
	}
	/* What waits now, and no more: a gateway that never pauses would keep a loop that emptied it here for ever. */
	int waiting = 0;
	ioctl(fd, FIONREAD, &waiting);
	unsigned char junk[512];
	for (int k; waiting > 0 && (k = lineread(junk, waiting < 512 ? waiting : 512)) > 0;)
		waiting -= k;
}

bool lineawait(long long deadline)
{
	pollfd p = {fd, POLLIN, 0};
	for (;;) {
		long long left = deadline - usnow();
		left = left < 0 ? 0 : left;
		timespec ts = {static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000 * 1000)};
		int r = ppoll(&p, 1, deadline < 0 ? nullptr : &ts, nullptr);
		if (r >= 0)
			return r > 0;
		if (errno != EINTR)
			die(1, "cannot read %s: %s", name, strerror(errno));
	}
}

int lineread(unsigned char *b, int most)
{
	ssize_t k = read(fd, b, static_cast<size_t>(most));
	if (k < 0 && (errno == EAGAIN || errno == EINTR))
		return 0;
	failure = k < 0 ? errno : 0;
	return k > 0 ? static_cast<int>(k) : -1;
}

bool lineclosed()
{
	return kind == linekind::tcp && !failure;
}

void lineended()
{
	if (failure)
		die(1, "cannot read %s: %s", name, strerror(failure));
	if (kind == linekind::port)
		die(1, "cannot read %s: end of file", name);
	if (kind == linekind::tcp)
		die(1, "%s closed the connection", name);
}

long long linesend(const unsigned char *b, int n)
{
	long long writtenus = usnow();
	for (int done = 0; done < n;) {
		/* A connection the gateway has closed says so in errno, not by SIGPIPE, which is standard output's. */
		ssize_t w = kind == linekind::tcp ? send(fd, b + done, static_cast<size_t>(n - done), MSG_NOSIGNAL)
						 : write(fd, b + done, static_cast<size_t>(n - done));
		if (w > 0) {
			done += static_cast<int>(w);
		} else if (errno == EAGAIN) {
			pollfd p = {fd, POLLOUT, 0};
			poll(&p, 1, -1);
		} else if (errno != EINTR) {
			die(1, "cannot write to %s: %s", name, strerror(errno));
		}
	}
	int r = 0;
	while (kind == linekind::port && (r = tcdrain(fd)) == -1 && errno == EINTR)
		;
	if (r)
		die(1, "cannot write to %s: %s", name, strerror(errno));
	return writtenus;
}

void lineundo()
{
	if (kind == linekind::port)
		restoreport();
}
