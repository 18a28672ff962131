#include "mbap.h"

#include <cstdio>
#include <cstring>

#include "crc16.h"

static unsigned word(const unsigned char *b)
{
	return static_cast<unsigned>(b[0] << 8 | b[1]);
}

/* The length a header of n bytes (6 or more) gives what follows it: 2 to 254; else 0, no Modbus TCP header. */
static int length(const unsigned char *f, int n)
{
	if (n < head || word(f + 2) != 0)
		return 0;
	unsigned l = word(f + 4);
	return l >= 2 && l <= maxframe - 2 ? static_cast<int>(l) : 0;
}

/* Whether the first bytes of f (n of them) may still be a Modbus TCP header. */
static bool mayhead(const unsigned char *f, int n)
{
	return n < head ? n < 4 || word(f + 2) == 0 : length(f, n) > 0;
}

int mbapwrap(const unsigned char *req, int n, unsigned tid, unsigned char *adu)
{
	const unsigned char h[head] = {static_cast<unsigned char>(tid >> 8 & 0xFF), static_cast<unsigned char>(tid & 0xFF), 0,
				       0, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n & 0xFF)};
	memcpy(adu, h, head);
	memcpy(adu + head, req, static_cast<size_t>(n));
	return head + n;
}

int mbapwanted(const unsigned char *rtu, int rtulen, const unsigned char *f, int n)
{
	if (mayhead(f, n))
		return n < head ? head : head + length(f, n);
	return wanted(rtu, rtulen, f, n);
}

static bool right(const unsigned char *f, int n)
{
	return n >= 4 && crc16(reinterpret_cast<const char *>(f), n) == 0;
}

response mbapjudge(const unsigned char *adu, const unsigned char *rtu, int rtulen, const unsigned char *f, int n,
		   const char *name)
{
	response r = {{1, ""}, 0, n};
	char *why = r.v.why;
	const size_t size = sizeof r.v.why;
	int l = length(f, n);
	if (n == 0) {
		snprintf(why, size, "no reply"); // NOLINT(cert-err33-c): cut short at worst
	} else if (mayhead(f, n) && n < head + (l ? l : 3)) {
		snprintf(why, size, l ? "reply cut short: %d of %d bytes" : "reply cut short: %d of at least %d bytes", n, // NOLINT(cert-err33-c)
			 head + (l ? l : 3));
	} else if ((!l || word(f) != word(adu)) && right(f, replyend(rtu, rtulen, f, n))) {
		r.count = replyend(rtu, rtulen, f, n);
		snprintf(why, size, "%s answers in RTU framing: leave out -m tcp", name); // NOLINT(cert-err33-c)
	} else if (!l) {
		snprintf(why, size, word(f + 2) ? "not a Modbus TCP reply: protocol %04x" : "not a Modbus TCP reply: length %u", // NOLINT(cert-err33-c)
			 word(f + 2) ? word(f + 2) : word(f + 4));
	} else if (word(f) != word(adu)) {
		snprintf(why, size, "reply to transaction %04x, not %04x", word(f), word(adu)); // NOLINT(cert-err33-c)
	} else {
		/* The unit and what follows it, with check bytes as a serial line would carry them. */
		unsigned char frame[maxframe];
		memcpy(frame, f + head, static_cast<size_t>(l));
		std::uint32_t c = crc16(reinterpret_cast<const char *>(frame), l);
		frame[l] = static_cast<unsigned char>(c & 0xFF);
		frame[l + 1] = static_cast<unsigned char>(c >> 8);
		r.from = head;
		r.count = l;
		int rule = replylen(frame, l + 2);
		if (rule <= 0 || rule == l + 2 || frame[0] != rtu[0] || (frame[1] & 0x7F) != rtu[1])
			r.v = judge(rtu, rtulen, frame, l + 2, via::tcp);
		else
			snprintf(why, size, "the header's length, %d, is not the reply's, %d", l, rule - 2); // NOLINT(cert-err33-c)
	}
	return r;
}

bool mbapanswer(const unsigned char *req, const unsigned char *f, int n)
{
	int l = length(f, n);
	return l && n >= head + l && word(f) == word(req);
}
