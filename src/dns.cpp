#include "dns.h"

#include <arpa/inet.h>
#include <cstring>
#include <strings.h>

#include <sys/socket.h>

/* The next word of l (n bytes) from *at, blanks skipped: its length, at *word; 0 at the end. */
static int word(const char *l, int n, int *at, const char **w)
{
	int i = *at;
	while (i < n && (l[i] == ' ' || l[i] == '\t' || l[i] == '\r'))
		i++;
	*w = l + i;
	int start = i;
	while (i < n && l[i] != ' ' && l[i] != '\t' && l[i] != '\r')
		i++;
	*at = i;
	return i - start;
}

int ipaddress(const char *s, int n, ipaddr *a)
{
	char b[64];
	if (n <= 0 || n >= static_cast<int>(sizeof b))
		return 0;
	memcpy(b, s, static_cast<size_t>(n));
	b[n] = '\0';
	*a = {};
	char *pct = strchr(b, '%');
	if (pct) {
		const char *d = pct + 1;
		for (a->scope = 0; *d >= '0' && *d <= '9' && a->scope < 100000000; d++)
			a->scope = a->scope * 10 + static_cast<unsigned>(*d - '0');
		if (*d || d == pct + 1)
			return 0;
		*pct = '\0';
	}
	a->family = !pct && inet_pton(AF_INET, b, a->bytes) == 1 ? AF_INET
		    : inet_pton(AF_INET6, b, a->bytes) == 1 ? AF_INET6
							  : 0;
	return a->family != 0;
}

/* The line up to a comment. */
static int uncommented(const char *l, int n)
{
	const char *hash = static_cast<const char *>(memchr(l, '#', static_cast<size_t>(n)));
	return hash ? static_cast<int>(hash - l) : n;
}

int hostsline(const char *l, int n, const char *host, ipaddr *a)
{
	n = uncommented(l, n);
	int at = 0, k;
	const char *w;
	if (!(k = word(l, n, &at, &w)) || !ipaddress(w, k, a))
		return 0;
	const size_t hl = strlen(host);
	while ((k = word(l, n, &at, &w)))
		if (static_cast<size_t>(k) == hl && strncasecmp(w, host, hl) == 0)
			return 1;
	return 0;
}

int serverline(const char *l, int n, ipaddr *a)
{
	n = uncommented(l, n);
	int at = 0, k;
	const char *w;
	k = word(l, n, &at, &w);
	if (k != 10 || memcmp(w, "nameserver", 10) != 0)
		return 0;
	k = word(l, n, &at, &w);
	return ipaddress(w, k, a);
}

static const int type4 = 1, type6 = 28;

int dnsquery(const char *host, int family, unsigned char *q, unsigned id)
{
	const unsigned char head[12] = {static_cast<unsigned char>(id >> 8 & 0xFF), static_cast<unsigned char>(id & 0xFF), 1, 0, 0, 1};
	memcpy(q, head, sizeof head);
	int n = 12;
	size_t hl = strlen(host);
	if (hl && host[hl - 1] == '.')
		hl--; /* a name given whole */
	if (hl == 0 || hl > 253)
		return 0;
	for (size_t at = 0; at <= hl;) {
		const char *dot = static_cast<const char *>(memchr(host + at, '.', hl - at));
		size_t len = (dot ? static_cast<size_t>(dot - host) : hl) - at;
		if (len == 0 || len > 63)
			return 0;
		q[n++] = static_cast<unsigned char>(len);
		memcpy(q + n, host + at, len);
		n += static_cast<int>(len);
		at += len + 1;
	}
	const int type = family == AF_INET ? type4 : type6;
	const unsigned char tail[5] = {0, 0, static_cast<unsigned char>(type), 0, 1};
	memcpy(q + n, tail, sizeof tail);
	return n + 5;
}

/* Where the name at r + at (n bytes in all) ends, its labels or a pointer; -1 where it does not, within n. */
static int skipname(const unsigned char *r, int n, int at)
{
	while (at < n) {
		unsigned len = r[at];
		if (len == 0)
			return at + 1;
		if ((len & 0xC0) == 0xC0)
			return at + 2 <= n ? at + 2 : -1;
		if (len & 0xC0)
			return -1;
		at += 1 + static_cast<int>(len);
	}
	return -1;
}

/* The question of the query q (qn bytes) in r, case aside: some servers change the case of its letters. */
static bool asked(const unsigned char *q, int qn, const unsigned char *r)
{
	for (int i = 12; i < qn; i++) {
		unsigned x = q[i], y = r[i];
		if (x != y && !((x | 0x20) == (y | 0x20) && (x | 0x20) >= 'a' && (x | 0x20) <= 'z'))
			return false;
	}
	return true;
}

int dnsanswer(const unsigned char *q, int qn, const unsigned char *r, int n, ipaddr *a, int most)
{
	if (qn < 17 || n < 12 || r[0] != q[0] || r[1] != q[1] || !(r[2] & 0x80) || (r[2] & 0x78))
		return dnsother;
	/* A server that will not answer may leave the question out; one that answers repeats it. */
	const int rcode = r[3] & 0x0F, refusals[] = {0, 0, dnsfailed, 0, dnsnotimp, dnsrefused};
	bool question = r[4] == 0 && r[5] == 1 && n >= qn && asked(q, qn, r);
	if (rcode < 6 && refusals[rcode] && (question || (r[4] == 0 && r[5] == 0)))
		return refusals[rcode];
	if (rcode == 3 && n >= qn)
		return dnsnoname;
	if (rcode || !question)
		return dnsother;
	const unsigned type = q[qn - 3], size = type == type4 ? 4 : 16;
	int count = r[6] << 8 | r[7], got = 0, at = qn;
	for (int i = 0; i < count && got < most; i++) {
		at = skipname(r, n, at);
		if (at < 0 || at + 10 > n)
			break;
		unsigned rtype = static_cast<unsigned>(r[at] << 8 | r[at + 1]), rclass = static_cast<unsigned>(r[at + 2] << 8 | r[at + 3]);
		int len = r[at + 8] << 8 | r[at + 9];
		at += 10;
		if (at + len > n)
			break;
		if (rtype == type && rclass == 1 && static_cast<unsigned>(len) == size) {
			a[got] = {};
			a[got].family = size == 4 ? AF_INET : AF_INET6;
			memcpy(a[got].bytes, r + at, size);
			got++;
		}
		at += len;
	}
	return got;
}
