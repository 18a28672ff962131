#include "net.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cli.h"

/* Puts the reason in why; gives the status back. */
static int fail(int status, char *why, int size, const char *fmt, const char *a, const char *b = "")
{
	snprintf(why, static_cast<size_t>(size), fmt, a, b); // NOLINT(cert-err33-c): cut short at worst
	return status;
}

int hostport(const char *s, const char *defport, endpoint *e, char *why, int size) // NOLINT(bugprone-easily-swappable-parameters)
{
	const char *h = s, *end, *colon;
	if (*s == '[') {
		h = s + 1;
		end = strchr(h, ']');
		if (!end || (end[1] && end[1] != ':'))
			return fail(2, why, size, "not [IPv6 address]:PORT: %s", s);
		colon = end[1] ? end + 1 : nullptr;
	} else {
		colon = strchr(s, ':');
		if (colon && strchr(colon + 1, ':'))
			return fail(2, why, size, "an IPv6 address goes in brackets, as in [fe80::1]:502: %s", s);
		end = colon ? colon : s + strlen(s);
	}
	if (end == h)
		return fail(2, why, size, "no host in %s", s);
	if (end - h >= static_cast<int>(sizeof e->host))
		return fail(2, why, size, "a host name too long: %s", s);
	memcpy(e->host, h, static_cast<size_t>(end - h));
	e->host[end - h] = '\0';
	const char *p = colon ? colon + 1 : defport;
	if (!p || !*p)
		return fail(2, why, size, "no port in %s", s);
	long n = 0;
	for (const char *d = p; n <= 65535 && *d; d++)
		n = *d >= '0' && *d <= '9' ? n * 10 + (*d - '0') : 65536;
	if (n < 1 || n > 65535)
		return fail(2, why, size, "not a port, 1 to 65535: %s in %s", p, s);
	snprintf(e->port, sizeof e->port, "%ld", n); // NOLINT(cert-err33-c): 5 digits at most
	return 0;
}

/* Connects fd to a within the deadline (µs, monotonic clock): 0, or -1 with errno. */
static int reach(int fd, const addrinfo *a, long long deadline)
{
	if (connect(fd, a->ai_addr, a->ai_addrlen) == 0)
		return 0;
	if (errno != EINPROGRESS && errno != EINTR)
		return -1;
	pollfd p = {fd, POLLOUT, 0};
	for (;;) {
		long long left = deadline - usnow();
		int r = left > 0 ? poll(&p, 1, static_cast<int>((left + 999) / 1000)) : 0;
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0) {
			errno = r ? errno : ETIMEDOUT;
			return -1;
		}
		int e = 0;
		socklen_t l = sizeof e;
		if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &l) == 0 && e == 0)
			return 0;
		errno = e;
		return -1;
	}
}

int dial(const endpoint &e, const char *name, long long ms, char *why, int size)
{
	long long deadline = usnow() + ms * 1000;
	addrinfo hints = {}, *list = nullptr;
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_NUMERICSERV;
	int r = getaddrinfo(e.host, e.port, &hints, &list);
	if (r) {
		fail(1, why, size, "cannot find %s: %s", e.host, r == EAI_SYSTEM ? strerror(errno) : gai_strerror(r));
		return -1;
	}
	int fd = -1;
	errno = ETIMEDOUT;
	/* Each address in turn: a name may stand for ::1 where the gateway listens on 127.0.0.1 only. */
	for (const addrinfo *a = list; a && fd < 0 && usnow() < deadline; a = a->ai_next) {
		fd = above(socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
		if (fd >= 0 && reach(fd, a, deadline)) {
			int keep = errno;
			close(fd);
			fd = -1;
			errno = keep;
		}
	}
	int keep = errno;
	freeaddrinfo(list);
	if (fd < 0) {
		fail(1, why, size, "cannot connect to %s: %s", name, strerror(keep));
		return -1;
	}
	/* A request leaves whole and at once, not held back for more. */
	int one = 1;
	setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
	return fd;
}
