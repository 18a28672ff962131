/*
 * libFuzzer target for the frame rules. The input is a request (its length,
 * then its bytes), the sizes of the pieces in which the line hands bytes
 * over, and the bytes on the line. Read as rtuquery reads a reply, and
 * framed as rtudump frames a bus, nothing may crash or read past the bytes
 * given (each call gets a copy of exactly those, for AddressSanitizer to
 * watch; the line's bytes may have right check bytes put in), a verdict of 0 must be a frame with right check bytes, the unit
 * and function asked and the length the request calls for, and every frame
 * split off a bus must have right check bytes, a reply whose request was not
 * seen the length its own bytes give it. The same bytes are read as a
 * stream from a gateway, and as a Modbus TCP response, whose verdict of 0
 * must be this transaction's answer from the unit and to the function asked.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mbap.h"
#include "reference.h"
#include "rtu.h"

/* Exactly n bytes on the heap. */
struct exact {
	unsigned char *p;
	exact(const unsigned char *b, int n) : p(static_cast<unsigned char *>(malloc(n ? static_cast<size_t>(n) : 1)))
	{
		if (n)
			memcpy(p, b, static_cast<size_t>(n));
	}
	~exact() { free(p); }
	exact(const exact &) = delete;
	exact &operator=(const exact &) = delete;
};

/* The answer's length the request calls for, from the protocol; 0 where it does not say. */
static int expected(const unsigned char *req)
{
	unsigned q = static_cast<unsigned>(req[4] << 8 | req[5]);
	switch (req[1]) {
	case 0x01:
	case 0x02: return static_cast<int>(5 + (q + 7) / 8);
	case 0x03:
	case 0x04:
	case 0x17: return static_cast<int>(5 + 2 * q);
	case 0x05:
	case 0x06:
	case 0x0f:
	case 0x10: return 8;
	case 0x16: return 10;
	default: return 0;
	}
}

static bool right(const unsigned char *f, int n)
{
	return n >= 4 && reference(f, static_cast<size_t>(n)) == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 4)
		return 0;
	const unsigned char *end = data + size, *p = data + 2;
	const int flags = data[0], n = 2 + data[1] % (maxframe - 3);
	if (end - p < n)
		return 0;
	unsigned char req[maxframe];
	memcpy(req, p, static_cast<size_t>(n));
	p += n;
	char why[128];
	if (checkrequest(req, n, why, sizeof why))
		return 0;
	std::uint32_t c = reference(req, static_cast<size_t>(n));
	req[n] = static_cast<unsigned char>(c & 0xFF);
	req[n + 1] = static_cast<unsigned char>(c >> 8);
	const int len = n + 2;
	exact r(req, len);

	std::vector<int> pieces;
	for (int k = p < end ? *p++ % 8 : 0; k > 0 && p < end; k--)
		pieces.push_back(1 + *p++ % 64);

	/*
	 * The line's bytes. A fuzzer seldom finds an answer's unit and function,
	 * or check bytes: they may be put first, and after the first m bytes,
	 * or after as many as a byte count in the third says.
	 */
	int m = p < end ? *p++ : 0;
	std::vector<unsigned char> bytes(p, end);
	if (flags & 8)
		bytes.insert(bytes.begin(), {req[0], static_cast<unsigned char>(req[1] | (flags & 0x80))});
	if (m >= 0x80 && bytes.size() > 2)
		m = 3 + bytes[2];
	if (flags & 4 && m <= static_cast<int>(bytes.size())) {
		std::uint32_t k = reference(bytes.data(), static_cast<size_t>(m));
		bytes.insert(bytes.begin() + m, {static_cast<unsigned char>(k & 0xFF), static_cast<unsigned char>(k >> 8)});
	}
	p = bytes.data();
	const int avail = static_cast<int>(bytes.size());

	/* Read as rtuquery reads: in pieces, never more than it wants. */
	unsigned char rep[maxframe];
	int got = 0, at = 0;
	for (size_t i = 0; at < avail; i++) {
		exact sofar(rep, got);
		int want = wanted(r.p, len, sofar.p, got);
		if (want > maxframe || want <= got)
			break;
		int piece = i < pieces.size() ? pieces[i] : avail - at;
		int k = piece < want - got ? piece : want - got;
		k = k < avail - at ? k : avail - at;
		memcpy(rep + got, p + at, static_cast<size_t>(k));
		got += k;
		at += k;
	}
	exact line(rep, got);
	int framed = replyend(r.p, len, line.p, got);
	if (framed < 0 || framed > got)
		abort();
	verdict v = judge(r.p, len, line.p, got, flags & 1 ? via::echo : via::line);
	if (v.status == 0) {
		int want = expected(req);
		if (!right(rep, framed) || rep[0] != req[0] || rep[1] != req[1] || (want && framed != want))
			abort();
	}
	if ((v.status == 0) != (v.why[0] == '\0'))
		abort();
	judgeecho(r.p, len, line.p, got);

	/*
	 * Read as from a transparent gateway: the stream on until settled, the
	 * answer taken where it begins; then as a Modbus TCP response, by its
	 * header, the line's bytes behind a header that may be put first.
	 */
	{
		/* in the pieces the line hands over, as rtuquery reads a stream */
		const int m = avail < 4 * maxframe ? avail : 4 * maxframe;
		int k = 0;
		for (size_t i = 0; k < m; i++) {
			k += i < pieces.size() ? pieces[i] : 1 + static_cast<int>(i % 8);
			k = k < m ? k : m;
			exact sofar(p, k);
			if (settled(r.p, len, sofar.p, k))
				break;
		}
		exact stream(p, k);
		int from = answerat(r.p, len, stream.p, k), l = streamlen(r.p, len, stream.p + from, k - from);
		if (from < 0 || from > k || l < 0 || l > k - from)
			abort();
		l = l ? l : k - from < maxframe ? k - from : maxframe;
		verdict sv = judge(r.p, len, stream.p + from, l, via::line);
		int want = expected(req);
		if (sv.status == 0 && (!right(p + from, replyend(r.p, len, p + from, l)) || p[from] != req[0] ||
				       p[from + 1] != req[1] || (want && replyend(r.p, len, p + from, l) != want)))
			abort();
		mbapanswer(r.p, stream.p, k);
	}
	{
		const unsigned tid = flags << 8 | (data[1] ^ 0x5a);
		unsigned char adu[mbapmax], resp[mbapmax + 8];
		int adulen = mbapwrap(req, n, tid, adu), rn = 0;
		std::vector<unsigned char> tcp(p, p + avail);
		if (flags & 16) {
			const unsigned char h[head] = {adu[0], adu[1], 0, 0, static_cast<unsigned char>(avail >> 8),
						       static_cast<unsigned char>(avail & 0xFF)};
			tcp.insert(tcp.begin(), h, h + head);
		}
		for (size_t i = 0; rn < static_cast<int>(tcp.size()); i++) {
			exact sofar(tcp.data(), rn);
			int want = mbapwanted(r.p, len, sofar.p, rn);
			if (want > mbapmax || want < 0)
				abort();
			if (want <= rn)
				break;
			int piece = i < pieces.size() ? pieces[i] : want - rn;
			int k = piece < want - rn ? piece : want - rn;
			k = k < static_cast<int>(tcp.size()) - rn ? k : static_cast<int>(tcp.size()) - rn;
			memcpy(resp + rn, tcp.data() + rn, static_cast<size_t>(k));
			rn += k;
		}
		exact answer(resp, rn);
		response j = mbapjudge(adu, r.p, len, answer.p, rn, "gw:502");
		verdict mv = j.v;
		int from = j.from, count = j.count;
		if (from < 0 || count < 0 || from + count > rn || (mv.status == 0) != (mv.why[0] == '\0'))
			abort();
		/* The answer: this transaction, protocol 0, a length the bytes fill, the unit and function asked. */
		if (mv.status == 0) {
			int want = expected(req), l = resp[4] << 8 | resp[5];
			if (resp[0] != adu[0] || resp[1] != adu[1] || resp[2] || resp[3] || rn != head + l || from != head ||
			    count != l || resp[head] != req[0] || resp[head + 1] != req[1] || (want && l + 2 != want))
				abort();
		}
	}

	/* Framed as rtudump frames: every frame has right check bytes, and bytes are only ever taken. */
	unsigned char last[maxframe];
	int lastlen = flags & 2 ? len : 0;
	memcpy(last, req, static_cast<size_t>(len));
	for (int done = 0, have = 0; done < avail;) {
		bool all = have == avail - done;
		exact bus(p + done, have);
		cut k = have ? split(bus.p, have, last, lastlen, all) : cut{kind::none, 0};
		if (k.what == kind::none) {
			if (all)
				abort();
			have += 1 + (done + have) % 8;
			have = have < avail - done ? have : avail - done;
			continue;
		}
		if (k.len < 1 || k.len > have || k.len > maxframe)
			abort();
		if (k.what != kind::noise && !right(bus.p, k.len))
			abort();
		/* A reply whose request was not seen is a unit's, as long as its own bytes say. */
		bool answer = k.what == kind::reply || k.what == kind::exception;
		if (answer && !k.asked && (bus.p[0] < 1 || bus.p[0] > 247 || replylen(bus.p, k.len) != k.len))
			abort();
		if (k.what == kind::request) {
			memcpy(last, bus.p, static_cast<size_t>(k.len));
			lastlen = k.len;
		}
		done += k.len;
		have -= k.len;
	}
	return 0;
}
