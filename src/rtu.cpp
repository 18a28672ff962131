#include "rtu.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "crc16.h"

/* What an answer must hold to fit its request. */
enum class fit : unsigned char { any, bits, regs, copy, head };

/*
 * What a request holds and what answers it, by function. A request has req
 * bytes before its check bytes, and with at, as many more as its byte at
 * that index says, which counts the bits or registers (counts) of the
 * quantity in the two bytes before it; most is the largest quantity its
 * bytes 4 and 5 may ask for; a file record's reference type, 6, is its byte
 * ref (0: none). A
 * reply has reply bytes with its check bytes (0: no rule says), and when
 * counted, as many more as its third byte says; copied, it may be the
 * request itself; it repeats the request's first bytes (all: the request),
 * and has the reference type at its byte answerref.
 * What fits: bits, regs, the byte count that the quantity asks for; copy,
 * the request; head, its first 6 bytes; any, nothing, and the request is
 * not checked either.
 */
static const int all = maxframe;
static const struct fn {
	unsigned char code, req, at, reply;
	bool counted, copied;
	fit fits, counts;
	short repeats, most;
	unsigned char ref, answerref;
} fns[] = {
	{0x01, 6, 0, 5, true, false, fit::bits, fit::any, 0, 2000, 0, 0},
	{0x02, 6, 0, 5, true, false, fit::bits, fit::any, 0, 2000, 0, 0},
	{0x03, 6, 0, 5, true, false, fit::regs, fit::any, 0, 125, 0, 0},
	{0x04, 6, 0, 5, true, false, fit::regs, fit::any, 0, 125, 0, 0},
	{0x05, 6, 0, 8, false, true, fit::copy, fit::any, all, 0, 0, 0},
	{0x06, 6, 0, 8, false, true, fit::copy, fit::any, all, 0, 0, 0},
	{0x07, 2, 0, 5, false, false, fit::any, fit::any, 0, 0, 0, 0},
	/* diagnostics: a copy for some subfunctions, counters for others */
	{0x08, 6, 0, 0, false, true, fit::any, fit::any, 4, 0, 0, 0},
	{0x0b, 2, 0, 8, false, false, fit::any, fit::any, 0, 0, 0, 0},
	{0x0c, 2, 0, 5, true, false, fit::any, fit::any, 0, 0, 0, 0},
	{0x0f, 7, 6, 8, false, false, fit::head, fit::bits, 6, 1968, 0, 0},
	{0x10, 7, 6, 8, false, false, fit::head, fit::regs, 6, 123, 0, 0},
	{0x11, 2, 0, 5, true, false, fit::any, fit::any, 0, 0, 0, 0},
	/* a file record: its request and answer share a length rule, and differ where the reference type stands */
	{0x14, 3, 2, 5, true, false, fit::any, fit::any, 0, 0, 3, 4},
	{0x15, 3, 2, 5, true, true, fit::any, fit::any, all, 0, 3, 3},
	{0x16, 8, 0, 10, false, true, fit::copy, fit::any, all, 0, 0, 0},
	{0x17, 11, 10, 5, true, false, fit::regs, fit::regs, 0, 125, 0, 0},
	{0x18, 4, 0, 0, false, false, fit::any, fit::any, 0, 0, 0, 0},
};

/* As the Modbus application protocol names them. */
static const char *const exceptions[] = {
	nullptr, "illegal function", "illegal data address", "illegal data value",
	"server device failure", "acknowledge", "server device busy", nullptr,
	"memory parity error", nullptr, "gateway path unavailable",
	"gateway target device failed to respond",
};

static const fn *lookup(unsigned code)
{
	for (auto &f : fns) {
		if (f.code == code)
			return &f;
	}
	return nullptr;
}

static bool right(const unsigned char *f, int n)
{
	return crc16(reinterpret_cast<const char *>(f), n) == 0;
}

int requestlen(const unsigned char *f, int n)
{
	if (n < 2)
		return 0;
	const fn *p = lookup(f[1]);
	if (!p)
		return -1;
	if (p->at && n <= p->at)
		return 0;
	return p->req + (p->at ? f[p->at] : 0) + 2;
}

int replylen(const unsigned char *f, int n)
{
	if (n < 2)
		return 0;
	if (f[1] & 0x80)
		return least;
	const fn *p = lookup(f[1]);
	if (!p || !p->reply)
		return -1;
	if (!p->counted)
		return p->reply;
	return n < 3 ? 0 : p->reply + f[2];
}

/* Puts the reason in why and gives the status back. */
static int say(int status, char *why, int size, const char *fmt, ...) // NOLINT(cert-dcl50-cpp): printf's own form
{
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(why, static_cast<size_t>(size), fmt, ap); // NOLINT(cert-err33-c,clang-analyzer-valist.Uninitialized): cut short at worst
	va_end(ap);
	return status;
}

/* The quantity in the two bytes at q. */
static unsigned quantity(const unsigned char *q)
{
	return static_cast<unsigned>(q[0] << 8 | q[1]);
}

/* The byte count that a quantity q of bits or registers (what) takes. */
static unsigned bytesof(fit what, unsigned q)
{
	return what == fit::bits ? (q + 7) / 8 : 2 * q;
}

/* The byte count that the quantity of a request for bits or registers asks for in the answer. */
static unsigned count(const fn *p, const unsigned char *req)
{
	return bytesof(p->fits, quantity(req + 4));
}

int checkrequest(const unsigned char *req, int n, char *why, int size)
{
	if (size > 0)
		*why = '\0';
	if (n > maxframe - 2)
		return say(2, why, size, "a request has at most %d bytes, not %d", maxframe - 2, n);
	const fn *p = n < 2 ? nullptr : lookup(req[1]);
	if (!p || p->fits == fit::any)
		return 0;
	if (p->at && n <= p->at)
		return say(2, why, size, "a request for function %02x has at least %d bytes, not %d", p->code, p->req, n);
	unsigned q = p->at ? quantity(req + p->at - 2) : 0, bytes = bytesof(p->counts, q);
	if (p->counts != fit::any && bytes <= 0xFF && req[p->at] != bytes)
		return say(2, why, size, "byte count %02x for %u %s%s: want %02x", req[p->at], q,
			   p->counts == fit::bits ? "coil" : "register", q == 1 ? "" : "s", bytes);
	int want = p->req + (p->at ? req[p->at] : 0);
	if (n != want)
		return say(2, why, size, "a request for function %02x has %d bytes, not %d", p->code, want, n);
	return 0;
}

static bool same(const unsigned char *req, int reqlen, const unsigned char *f, int n)
{
	return n == reqlen && memcmp(f, req, static_cast<size_t>(n)) == 0;
}

int wanted(const unsigned char *req, int reqlen, const unsigned char *f, int n)
{
	if (memcmp(f, req, static_cast<size_t>(n < reqlen ? n : reqlen)) == 0)
		return reqlen;
	int l = replylen(f, n);
	if (l == 0)
		return least;
	return l < 0 || l > maxframe ? maxframe : l;
}

int replyend(const unsigned char *req, int reqlen, const unsigned char *f, int n)
{
	if (same(req, reqlen, f, n))
		return n;
	int l = replylen(f, n);
	return l > 0 && n > l ? l : n;
}

/* Whether the answer f (n bytes, at least 5) holds what the request asks for. */
static bool fits(const fn *p, const unsigned char *req, int reqlen, const unsigned char *f, int n)
{
	if (!p || p->fits == fit::any)
		return true;
	if (reqlen < 8)
		return false;
	switch (p->fits) {
	case fit::bits:
	case fit::regs: return f[2] == count(p, req);
	case fit::copy: return same(req, reqlen, f, n);
	case fit::head: return n >= 6 && memcmp(f, req, 6) == 0;
	case fit::any: break;
	}
	return true;
}

verdict judge(const unsigned char *req, int reqlen, const unsigned char *f, int n, via how)
{
	const bool echoed = how == via::echo;
	verdict v = {0, ""};
	const int size = sizeof v.why;
	const unsigned unit = req[0], fc = req[1];
	const fn *p = lookup(fc);
	n = replyend(req, reqlen, f, n);
	bool copy = same(req, reqlen, f, n);
	int l = copy ? reqlen : replylen(f, n);
	if (n == 0 && echoed && p && p->copied)
		v.status = say(1, v.why, size, "no reply after the echo (a reply to %02x is a copy of the request: is -e right?)", fc);
	else if (n == 0)
		v.status = say(1, v.why, size, "no reply");
	else if (l > 0 && n < l)
		v.status = say(1, v.why, size, "reply cut short: %d of %d bytes", n, l);
	else if (l <= 0 && n < least)
		v.status = say(1, v.why, size, "reply cut short: %d of at least %d bytes", n, least);
	else if (!right(f, n))
		v.status = say(1, v.why, size, "bad check bytes");
	else if (f[0] != unit)
		v.status = say(1, v.why, size, "reply from unit %02x, not %02x", f[0], unit);
	else if ((f[1] & 0x7Fu) != fc)
		v.status = say(1, v.why, size, "reply to function %02x, not %02x", f[1] & 0x7F, fc);
	else if (f[1] & 0x80) {
		unsigned e = f[2];
		const char *name = e < sizeof exceptions / sizeof *exceptions ? exceptions[e] : nullptr;
		v.status = say(3, v.why, size, name ? "exception %02x: %s" : "exception %02x", e, name);
	} else if (copy && !(p && p->copied))
		v.status = how == via::tcp ? say(1, v.why, size, "the reply is a copy of the request")
			   : echoed	   ? say(1, v.why, size, "a second copy of the request, not a reply")
					   : say(1, v.why, size, "the reply is a copy of the request: the adapter echoes; use -e");
	else if (!fits(p, req, reqlen, f, n))
		v.status = say(1, v.why, size, "reply does not match the request");
	return v;
}

bool echoed(const unsigned char *req, int reqlen, const unsigned char *f, int n, long long writtenus, long long firstus,
	    int batch, long long chartus)
{
	return n > 0 && n <= reqlen && memcmp(f, req, static_cast<size_t>(n)) == 0 &&
	       firstus - batch * chartus < writtenus + reqlen * chartus;
}

verdict judgeecho(const unsigned char *req, int reqlen, const unsigned char *f, int n)
{
	verdict v = {0, ""};
	const int size = sizeof v.why;
	int l = replylen(f, n);
	if (n == 0)
		v.status = say(1, v.why, size, "no echo");
	else if (same(req, reqlen, f, n))
		return v;
	/* A collision on the bus changes what comes back; an adapter that does not echo hands back the answer. */
	else if (l > 0 && n >= l && right(f, l) && f[0] == req[0] && (f[1] & 0x7F) == req[1])
		v.status = say(1, v.why, size, "no echo, but a reply: the adapter does not echo; leave out -e");
	else
		v.status = say(1, v.why, size, "echo differs from the request");
	return v;
}

/*
 * The CRC register after one more byte, from crc16 itself: the register's
 * high byte only moves down, and its low byte, with the new byte, takes the
 * eight steps that crc16 of one byte takes from 0xFF, less their 0xFF.
 */
static unsigned next(unsigned reg, unsigned char b)
{
	char x = static_cast<char>((reg ^ b ^ 0xFF) & 0xFF);
	return (reg >> 8) ^ crc16(&x, 1) ^ 0xFF;
}

/* Where the check bytes of a frame at f first come right, at 4 bytes or more: 0 nowhere in n. */
static int firstright(const unsigned char *f, int n)
{
	unsigned reg = 0xFFFF;
	for (int k = 0; k < n && k < maxframe; k++) {
		reg = next(reg, f[k]);
		if (reg == 0 && k >= 3)
			return k + 1;
	}
	return 0;
}

int streamlen(const unsigned char *req, int reqlen, const unsigned char *f, int n)
{
	int w = wanted(req, reqlen, f, n);
	if (w == maxframe && replylen(f, n) < 0)
		return firstright(f, n);
	return n >= w ? w : 0;
}

int answerat(const unsigned char *req, int reqlen, const unsigned char *f, int n)
{
	for (int k = 1; k + least <= n; k++) {
		int l = f[k] == req[0] && (f[k + 1] & 0x7F) == req[1] ? streamlen(req, reqlen, f + k, n - k) : 0;
		if (l && judge(req, reqlen, f + k, l, via::line).status != 1)
			return k;
	}
	return 0;
}

bool settled(const unsigned char *req, int reqlen, const unsigned char *f, int n)
{
	int l = streamlen(req, reqlen, f, n);
	return (l && right(f, l)) || answerat(req, reqlen, f, n);
}

/* What lengths tell of a frame that may begin at f: none yet (0), none by rule, or that it cannot be one. */
enum { norule = -1, noframe = -2 };

/* Whether a file record's reference type, at byte ref where it has one (ref 0: none), is not the 6 it must be. */
static bool badref(const unsigned char *f, int n, int ref)
{
	return ref && n > ref && f[ref] != 6;
}

/*
 * Whether the frame at f looks like what it is read as, so far as its
 * bytes have come: an answer whose byte count is what the request req asks
 * for; a reply whose request was not seen, with a byte count that a
 * quantity within the protocol's bounds asks for (a request's own bytes
 * there are the high byte of an address, mostly 00); a request whose
 * quantity is within those bounds. What has not come yet passes.
 */
static bool answerlooks(const unsigned char *f, int n, const unsigned char *req)
{
	const fn *p = lookup(req[1]);
	bool counted = p && n >= 3 && !(f[1] & 0x80) && (p->fits == fit::bits || p->fits == fit::regs);
	return !counted || f[2] == count(p, req);
}

static bool unaskedlooks(const unsigned char *f, int n)
{
	const fn *p = n < 2 ? nullptr : lookup(f[1]);
	if (!p || n < 3 || (p->fits != fit::bits && p->fits != fit::regs))
		return true;
	unsigned c = f[2];
	return c >= 1 && c <= bytesof(p->fits, static_cast<unsigned>(p->most)) && (p->fits == fit::bits || c % 2 == 0);
}

static bool requestlooks(const unsigned char *f, int n)
{
	const fn *p = n < 2 ? nullptr : lookup(f[1]);
	if (!p || !p->most || n < 6)
		return true;
	unsigned q = quantity(f + 4);
	return q >= 1 && q <= static_cast<unsigned>(p->most);
}

/*
 * What is known of the frame at f, read three ways: as an answer to the
 * request that awaits one, as a request, and as a reply or exception whose
 * request was not seen. Each reading's length as lengths() gives it, and
 * whether the frame may still be completed so.
 */
struct readings {
	int answer, request, unasked;
	bool answeropen, requestopen, unaskedopen;
};

/*
 * The three lengths of the frame at f. A unit answers only what it was
 * asked, and an answer that repeats the request's first bytes repeats them
 * all; a copied answer with no length of its own, to 08, is as long as its
 * request, which it copies or gives counters in the place of its data. A
 * request is to a unit, 0 to 247, for a function, 1 to 127. A reply whose
 * request was not seen is from a unit, 1 to 247, with a length by rule and
 * a byte count that looks like one; it is read so only where the frame
 * answers no request that awaits.
 */
static void lengths(const unsigned char *f, int n, const unsigned char *req, int reqlen, readings *r)
{
	r->answer = r->request = r->unasked = noframe;
	if (reqlen >= 2 && req[0] && f[0] == req[0]) {
		const fn *p = lookup(req[1]);
		bool normal = p && n >= 2 && !(f[1] & 0x80);
		int k = !normal ? 0 : p->repeats < reqlen ? p->repeats : reqlen;
		r->answer = n < 2 ? 0 : (f[1] & 0x7F) != req[1] ? noframe : replylen(f, n);
		if (memcmp(f, req, static_cast<size_t>(n < k ? n : k)) != 0 || (normal && badref(f, n, p->answerref)))
			r->answer = noframe;
		if (r->answer == norule && p && p->copied)
			r->answer = reqlen;
	}
	if (f[0] <= 247) {
		const fn *p = n < 2 ? nullptr : lookup(f[1]);
		r->request = n < 2 ? 0 : f[1] && !(f[1] & 0x80) ? requestlen(f, n) : noframe;
		if (p && badref(f, n, p->ref))
			r->request = noframe;
	}
	if (r->answer == noframe && f[0] >= 1 && f[0] <= 247) {
		const fn *p = n < 2 ? nullptr : lookup(f[1]);
		int l = n < 2 ? 0 : replylen(f, n);
		bool bad = (n >= 2 && !(f[1] & 0x7F)) || (p && badref(f, n, p->answerref)) || !unaskedlooks(f, n);
		r->unasked = l == norule || bad ? noframe : l;
	}
}

/* A frame of length len at f: complete with right check bytes (len), unfinished (0), or not a frame (-1). */
static int complete(int len, const unsigned char *f, int n, bool end)
{
	if (len < 0 || len > maxframe)
		return -1;
	if (len == 0 || n < len)
		return end ? -1 : 0;
	return right(f, len) ? len : -1;
}

/*
 * The frame of a length by rule at f, complete within n bytes, and in r
 * what is known of the readings. An answer to the request that awaits it
 * before all, where it looks like one, and then it is waited for: a frame
 * whose last check byte is 00 begins with a shorter one whose check bytes
 * are right too, such as the request sent again. An answer that does not
 * look like one is taken only where no request is complete: the first 5
 * bytes of a read of an address below 256 read as an answer of byte count
 * 00, and for one address their check bytes are right. Else of a request
 * and a reply whose request was not seen, the one that ends first, and the
 * request where both end together (05 and 06 are answered by a copy).
 */
static cut ruledframe(const unsigned char *f, int n, const unsigned char *req, int reqlen, bool end, readings *r)
{
	lengths(f, n, req, reqlen, r);
	int answer = complete(r->answer, f, n, end), request = complete(r->request, f, n, end),
	    unasked = complete(r->unasked, f, n, end);
	bool looks = answer >= 0 && r->answer != noframe && answerlooks(f, n, req);
	kind answered = n > 1 && (f[1] & 0x80) ? kind::exception : kind::reply;
	r->answeropen = answer == 0;
	r->requestopen = request == 0;
	r->unaskedopen = unasked == 0;
	if (answer > 0 && (request <= 0 || looks))
		return {answered, answer, true};
	if (looks && answer == 0)
		return {kind::none, 0, false};
	if (request > 0 && (unasked <= 0 || request <= unasked))
		return {kind::request, request, false};
	if (unasked > 0)
		return {answered, unasked, false};
	return {kind::none, 0, false};
}

cut split(const unsigned char *f, int n, const unsigned char *req, int reqlen, bool end)
{
	if (n <= 0)
		return {kind::none, 0, false};
	readings r;
	cut c = ruledframe(f, n, req, reqlen, end, &r);
	if (c.what != kind::none)
		return c;
	bool unruled = r.answer == norule || r.request == norule;
	if (!r.answeropen && !r.requestopen && !r.unaskedopen && !unruled)
		return {kind::noise, 1, false};

	/*
	 * What looks like a frame is taken for one until its own length or
	 * check bytes say otherwise: a long frame that comes in pieces may hold
	 * what looks like a complete one. Anything else is noise once a frame
	 * of a length by rule is complete further on, one byte at a time, since
	 * a frame that no rule gives a length to may begin before it; and such
	 * a frame ends before the next begins.
	 */
	bool trusted = ((r.answeropen || r.answer == norule) && answerlooks(f, n, req)) ||
		       (r.requestopen && requestlooks(f, n)) || r.unaskedopen;
	bool found = false;
	int next = n;
	for (int j = 1; !trusted && j < n && j < maxframe; j++) {
		readings later;
		found = ruledframe(f + j, n - j, req, reqlen, false, &later).what != kind::none;
		if (found) {
			next = j;
			break;
		}
	}
	if (unruled) {
		int k = firstright(f, next);
		if (k)
			return {r.answer == norule ? kind::reply : kind::request, k, r.answer == norule};
	}
	bool waits = !found && (r.answeropen || r.requestopen || r.unaskedopen || (unruled && !end && n < maxframe));
	return waits ? cut{kind::none, 0, false} : cut{kind::noise, 1, false};
}

long long chartime(long baud, int bits)
{
	return baud > 0 ? bits * 1000000LL / baud : 0;
}

long long silence(long baud, int bits)
{
	return baud > 19200 || baud <= 0 ? 1750 : 3500000LL * bits / baud;
}

long long gap(long baud, int bits)
{
	long long three = 3 * chartime(baud, bits);
	return three > 100000 ? three : 100000;
}
