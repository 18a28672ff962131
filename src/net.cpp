#include "net.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cli.h"
#include "dns.h"

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
		/* Only what begins as an IPv6 address does, with a group of hex digits, is taken for one. */
		colon = strchr(s, ':');
		size_t group = colon ? strspn(s, "0123456789abcdefABCDEF") : 0;
		if (colon && strchr(colon + 1, ':') && s + group == colon && group <= 4)
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
		return fail(2, why, size, "not a port, 1 to 65535: '%s'", p);
	snprintf(e->port, sizeof e->port, "%ld", n); // NOLINT(cert-err33-c): 5 digits at most
	return 0;
}

/* A socket address for a and port, in *sa: its length. */
static socklen_t sockaddrof(const ipaddr &a, unsigned port, sockaddr_storage *sa)
{
	*sa = {};
	if (a.family == AF_INET) {
		auto *v4 = reinterpret_cast<sockaddr_in *>(sa);
		v4->sin_family = AF_INET;
		v4->sin_port = htons(static_cast<std::uint16_t>(port));
		memcpy(&v4->sin_addr, a.bytes, 4);
		return sizeof *v4;
	}
	auto *v6 = reinterpret_cast<sockaddr_in6 *>(sa);
	v6->sin6_family = AF_INET6;
	v6->sin6_port = htons(static_cast<std::uint16_t>(port));
	memcpy(&v6->sin6_addr, a.bytes, 16);
	v6->sin6_scope_id = a.scope;
	return sizeof *v6;
}

/* Waits for fd to be ready to write, within the deadline (µs, monotonic clock), or once looks past it: whether it is. */
static bool writable(int fd, long long deadline) // NOLINT(bugprone-easily-swappable-parameters): a descriptor, then a time
{
	pollfd p = {fd, POLLOUT, 0};
	for (;;) {
		long long left = deadline - usnow();
		int r = poll(&p, 1, left > 0 ? static_cast<int>((left + 999) / 1000) : 0);
		if (r >= 0 || errno != EINTR)
			return r > 0;
	}
}

/* Connects fd to a within the deadline: 0, or -1 with errno. */
static int reach(int fd, const ipaddr &a, unsigned port, long long deadline) // NOLINT(bugprone-easily-swappable-parameters): a port, then a time
{
	sockaddr_storage sa;
	socklen_t l = sockaddrof(a, port, &sa);
	if (connect(fd, reinterpret_cast<sockaddr *>(&sa), l) == 0)
		return 0;
	if (errno != EINPROGRESS && errno != EINTR)
		return -1;
	if (!writable(fd, deadline)) {
		errno = ETIMEDOUT;
		return -1;
	}
	int e = 0;
	socklen_t el = sizeof e;
	if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &el) == 0 && e == 0)
		return 0;
	errno = e;
	return -1;
}

enum { most = 8 }; /* addresses a name is tried at */

#ifdef SYSTEM_RESOLVER
/*
 * Linked dynamically, the programs ask the C library, which also asks
 * what the system adds to the hosts file and DNS (mDNS, a directory).
 */
static int lookup(const char *host, long long, ipaddr *a, char *why, int size)
{
	addrinfo hints = {}, *list = nullptr;
	hints.ai_socktype = SOCK_STREAM;
	int r = getaddrinfo(host, nullptr, &hints, &list), n = 0;
	if (r)
		return fail(-1, why, size, "cannot find %s: %s", host, r == EAI_SYSTEM ? strerror(errno) : gai_strerror(r));
	for (const addrinfo *i = list; i && n < most; i = i->ai_next) {
		a[n] = {};
		a[n].family = i->ai_family;
		if (i->ai_family == AF_INET)
			memcpy(a[n].bytes, &reinterpret_cast<sockaddr_in *>(i->ai_addr)->sin_addr, 4);
		if (i->ai_family == AF_INET6) {
			memcpy(a[n].bytes, &reinterpret_cast<sockaddr_in6 *>(i->ai_addr)->sin6_addr, 16);
			a[n].scope = reinterpret_cast<sockaddr_in6 *>(i->ai_addr)->sin6_scope_id;
		}
		n += i->ai_family == AF_INET || i->ai_family == AF_INET6;
	}
	freeaddrinfo(list);
	return n;
}
#else
/*
 * Linked statically, as on the boards, where no other library is there to
 * load: the programs read the hosts file and ask the DNS servers of
 * resolv.conf themselves, as the C library would.
 */

/* As the C library says it, so that a message reads the same whichever looked. */
static const char unknown[] = "Name or service not known";

/* Calls take for each line of the file at path, each line whole up to 511 bytes; stops when it gives 0. */
template <typename each> static void lines(const char *path, each take)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	char b[512];
	int n = 0;
	bool going = fd >= 0;
	for (ssize_t k; going && (k = read(fd, b + n, sizeof b - static_cast<size_t>(n))) > 0;) {
		n += static_cast<int>(k);
		char *nl;
		while (going && (nl = static_cast<char *>(memchr(b, '\n', static_cast<size_t>(n))))) {
			going = take(b, static_cast<int>(nl - b));
			n -= static_cast<int>(nl + 1 - b);
			memmove(b, nl + 1, static_cast<size_t>(n));
		}
		/* A line longer than the buffer: its beginning is read, the rest let go. */
		if (n == static_cast<int>(sizeof b)) {
			going = going && take(b, n);
			n = 0;
		}
	}
	if (going && n > 0)
		take(b, n);
	if (fd >= 0)
		close(fd);
}

/* What a name server that will not answer says, by dnsanswer's word for it. */
static const char *refusal(int code)
{
	return code == dnsrefused  ? "the name server refused the query"
	       : code == dnsnotimp ? "the name server does not take the query"
				   : "the name server failed to answer";
}

/* Once one family's addresses have come, the other's may come this much later (RFC 8305's resolution delay). */
static const long long resolutionus = 50000;

/*
 * The addresses host has in DNS, IPv4 first, asked of each server of
 * resolv.conf at once, within the deadline. A family is settled by its
 * addresses, by a server that has none or says the name does not exist,
 * or once every server has refused it or gone; once one family's
 * addresses have come, the other is waited for resolutionus more at most.
 */
static int asknames(const char *host, long long deadline, ipaddr *a, char *why, int size)
{
	ipaddr servers[3];
	int count = 0;
	lines("/etc/resolv.conf", [&](const char *l, int n) {
		count += serverline(l, n, &servers[count]);
		return count < 3;
	});
	if (!count)
		ipaddress("127.0.0.1", 9, &servers[count++]);
	unsigned char q[2][512];
	int qn[2], fd[3];
	const int families[2] = {AF_INET, AF_INET6};
	for (int f = 0; f < 2; f++) {
		qn[f] = dnsquery(host, families[f], q[f], static_cast<unsigned>(usnow() * 31 + f) & 0xFFFF);
		if (!qn[f])
			return fail(-1, why, size, "cannot find %s: %s", host, unknown);
	}
	/* Per server and family, whether it will say no more: refused, or gone. */
	bool done[3][2] = {};
	for (int i = 0; i < count; i++) {
		sockaddr_storage sa;
		socklen_t l = sockaddrof(servers[i], 53, &sa);
		fd[i] = socket(servers[i].family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
		if (fd[i] >= 0 && connect(fd[i], reinterpret_cast<sockaddr *>(&sa), l)) {
			close(fd[i]);
			fd[i] = -1;
		}
		done[i][0] = done[i][1] = fd[i] < 0;
	}
	/* Per family: addresses found, -1 until settled, and what a server that refused it said. */
	ipaddr found[2][most];
	int got[2] = {-1, -1}, refused[2] = {0, 0};
	bool none = false; /* the name is not there at all */
	long long until = deadline;
	for (long long resend = 0; !none && (got[0] < 0 || got[1] < 0) && usnow() < until;) {
		if (usnow() >= resend) {
			for (int i = 0; i < count; i++)
				for (int f = 0; f < 2; f++)
					if (!done[i][f] && got[f] < 0)
						send(fd[i], q[f], static_cast<size_t>(qn[f]), MSG_NOSIGNAL);
			resend = usnow() + 500000;
		}
		pollfd p[3];
		for (int i = 0; i < count; i++)
			p[i] = {fd[i], POLLIN, 0};
		long long next = resend < until ? resend : until, wait = (next - usnow() + 999) / 1000;
		if (poll(p, static_cast<nfds_t>(count), wait > 0 ? static_cast<int>(wait) : 0) <= 0)
			continue;
		for (int i = 0; i < count; i++) {
			unsigned char r[512];
			ssize_t k = p[i].revents ? recv(fd[i], r, sizeof r, 0) : 0;
			/* A server that is not there says so, through the kernel. */
			if (k < 0 && errno != EAGAIN && errno != EINTR)
				done[i][0] = done[i][1] = true;
			for (int f = 0; k > 0 && f < 2; f++) {
				int n = got[f] < 0 ? dnsanswer(q[f], qn[f], r, static_cast<int>(k), found[f], most) : dnsother;
				none = none || n == dnsnoname;
				got[f] = n >= 0 ? n : got[f];
				if (n <= dnsfailed)
					done[i][f] = true, refused[f] = n;
			}
		}
		for (int f = 0; f < 2; f++) {
			bool all = true;
			for (int i = 0; i < count; i++)
				all = all && done[i][f];
			got[f] = got[f] < 0 && all ? 0 : got[f];
		}
		if ((got[0] > 0 || got[1] > 0) && until == deadline && usnow() + resolutionus < deadline)
			until = usnow() + resolutionus;
	}
	for (int i = 0; i < count; i++)
		if (fd[i] >= 0)
			close(fd[i]);
	int n = 0;
	for (int f = 0; f < 2; f++)
		for (int i = 0; i < got[f] && n < most; i++)
			a[n++] = found[f][i];
	if (n)
		return n;
	int no = refused[0] ? refused[0] : refused[1];
	if (none || (!no && got[0] == 0 && got[1] == 0))
		return fail(-1, why, size, "cannot find %s: %s", host, unknown);
	return fail(-1, why, size, "cannot find %s: %s", host, no ? refusal(no) : "Temporary failure in name resolution");
}

static int lookup(const char *host, long long deadline, ipaddr *a, char *why, int size)
{
	/* An address in numbers; an IPv6 one may name its interface. */
	char numeric[64];
	const char *pct = strchr(host, '%');
	if (pct && strlen(host) < sizeof numeric && strspn(pct + 1, "0123456789") != strlen(pct + 1)) {
		unsigned scope = if_nametoindex(pct + 1);
		memcpy(numeric, host, static_cast<size_t>(pct - host));
		snprintf(numeric + (pct - host), sizeof numeric - static_cast<size_t>(pct - host), "%%%u", scope); // NOLINT(cert-err33-c): fits
		if (!scope)
			return fail(-1, why, size, "cannot find %s: %s", host, unknown);
		host = numeric;
	}
	if (ipaddress(host, static_cast<int>(strlen(host)), a))
		return 1;
	int n = 0;
	lines("/etc/hosts", [&](const char *l, int k) {
		n += hostsline(l, k, host, &a[n]);
		return n < most;
	});
	return n ? n : asknames(host, deadline, a, why, size);
}
#endif

int dial(const endpoint &e, const char *name, long long ms, char *why, int size)
{
	long long deadline = usnow() + ms * 1000;
	ipaddr addrs[most];
	int n = lookup(e.host, deadline, addrs, why, size), fd = -1;
	if (n < 0)
		return -1;
	unsigned port = static_cast<unsigned>(strtoul(e.port, nullptr, 10));
	/*
	 * Each address in turn: a name may stand for ::1 where the gateway
	 * listens on 127.0.0.1 only. The first is tried even when the look-up
	 * took all the time, so that what is said of the connection is so.
	 */
	for (int i = 0; i < n && fd < 0 && (i == 0 || usnow() < deadline); i++) {
		fd = above(socket(addrs[i].family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
		if (fd >= 0 && reach(fd, addrs[i], port, deadline)) {
			int keep = errno;
			close(fd);
			fd = -1;
			errno = keep;
		}
	}
	if (fd < 0)
		return fail(-1, why, size, "cannot connect to %s: %s", name, strerror(errno));
	/* A request leaves whole and at once, not held back for more. */
	int one = 1;
	setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
	return fd;
}
