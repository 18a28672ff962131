/*
 * The frame rules through their functions, on the request and response of
 * every public function code as the Modbus application protocol gives them
 * in its examples (protocol.h).
 */
#include <algorithm>

#include <gtest/gtest.h>

#include "protocol.h"
#include "rtu.h"

TEST(rtu, frame_lengths_follow_the_protocol)
{
	for (auto &x : protocol) {
		SCOPED_TRACE(x.name);
		/* Told by the bytes that carry it, and not before: 0 until then, the whole length from then on. */
		int told = 0;
		for (int n = 0; n <= size(x.req); n++) {
			int l = requestlen(x.req.data(), n);
			if (l)
				told = told ? told : n;
			EXPECT_EQ(l, told ? size(x.req) : 0) << n;
		}
		EXPECT_LE(told, x.req[1] == 0x17 ? 11 : x.req[1] == 0x0f || x.req[1] == 0x10 ? 7 : 3);
		EXPECT_EQ(replylen(x.resp.data(), size(x.resp)), x.rule ? size(x.resp) : -1);

		/* The request as given is what its function needs, where its answer is checked against it. */
		char why[128];
		EXPECT_EQ(checkrequest(x.req.data(), size(x.req) - 2, why, sizeof why), 0) << why;
		bytes longer = x.req.substr(0, x.req.size() - 2) + static_cast<unsigned char>(0);
		bool checked = bytes{1, 2, 3, 4, 5, 6, 0x0f, 0x10, 0x16, 0x17}.find(x.req[1]) != bytes::npos;
		EXPECT_EQ(checkrequest(longer.data(), size(longer), why, sizeof why), checked ? 2 : 0);

		/* The answer, read as rtuquery reads it, and judged. */
		int n = 0;
		while (n < size(x.resp) && n < wanted(x.req.data(), size(x.req), x.resp.data(), n))
			n++;
		EXPECT_EQ(n, size(x.resp));
		verdict v = judge(x.req.data(), size(x.req), x.resp.data(), n, via::line);
		EXPECT_EQ(v.status, x.resp[1] & 0x80 ? 3 : 0) << v.why;

		/* On a bus, the request and its answer, back to back. */
		bytes bus = x.req + x.resp;
		cut c = split(bus.data(), size(bus), nullptr, 0, false);
		EXPECT_EQ(c.what, kind::request);
		EXPECT_EQ(c.len, size(x.req));
		c = split(bus.data() + c.len, size(x.resp), x.req.data(), size(x.req), false);
		EXPECT_EQ(c.what, x.resp[1] & 0x80 ? kind::exception : kind::reply);
		EXPECT_EQ(c.len, size(x.resp));
	}
}

TEST(rtu, replies_that_do_not_answer)
{
	const bytes coil = frame({0x01, 0x01, 0x00, 0x00, 0x00, 0x01}), coils = frame({0x01, 0x01, 0x00, 0x00, 0x08, 0x00});
	const bytes rw = protocol[16].req;
	const struct {
		bytes req, resp;
		int status;
		const char *why;
	} cases[] = {
		/* one coil in one byte, 2048 in 256, which no byte count can say */
		{coil, frame({0x01, 0x01, 0x01, 0x01}), 0, ""},
		{coil, frame({0x01, 0x01, 0x02, 0x01, 0x00}), 1, "reply does not match the request"},
		{coils, frame({0x01, 0x01, 0x00}), 1, "reply does not match the request"},
		{rw, frame({0x11, 0x17, 0x06, 0x00, 0xfe, 0x0a, 0xcd, 0x00, 0x01}), 1, "reply does not match the request"},
		{rw, frame({0x11, 0x97, 0x0c}), 3, "exception 0c"},
		/* a byte count past what a frame holds */
		{frame({0x01, 0x03, 0x00, 0x00, 0x00, 0x7d}), frame({0x01, 0x03, 0xfc}), 1, "reply cut short: 5 of 257 bytes"},
	};
	for (auto &c : cases) {
		verdict v = judge(c.req.data(), size(c.req), c.resp.data(), size(c.resp), via::line);
		EXPECT_EQ(v.status, c.status) << c.why;
		EXPECT_STREQ(v.why, c.why);
	}
	/* A count past the largest frame is read no further than a frame goes. */
	const bytes big = frame({0x01, 0x03, 0xff});
	EXPECT_EQ(wanted(coil.data(), size(coil), big.data(), 3), maxframe);
}

TEST(rtu, a_bus_framed_by_length_and_check_bytes)
{
	const bytes q = protocol[2].req, r = protocol[2].resp, w = protocol[11].req, e = protocol[18].resp;
	const bytes cast = frame({0x00, 0x06, 0x00, 0x01, 0x00, 0x03}), id = protocol[12].req, idr = protocol[12].resp;
	const bytes noise = {0x3f, 0xff, 0x00}, lead = {0x11, 0x10, 0x00, 0x01, 0x00, 0x02, 0x7f};
	/* 03 04 00 83 00 has right check bytes, but no reply has a byte count of 00 */
	const bytes low = frame({0x03, 0x04, 0x00, 0x83, 0x00, 0x01});
	const struct {
		const char *name;
		bytes bus;
		const char *cuts; /* runs of noise as one; "unasked" a reply whose request was not seen */
	} cases[] = {
		{"an unanswered request, then the next", q + q + r, "request 8, request 8, reply 11"},
		{"noise before an answer leaves it an answer", q + noise + r, "request 8, noise 3, reply 11"},
		{"a broadcast awaits no answer", cast + r, "request 8, unasked reply 11"},
		{"an exception", q + e, "request 8, exception 5"},
		/* noise that begins a request of 136 bytes: the complete one after it wins at once */
		{"a complete frame wins over an unfinished one", lead + w, "noise 7, request 13"},
		{"no rule: the answer ends where its check bytes come right", id + idr + q, "request 4, reply 8, request 8"},
		/* what a gateway hands on of other masters' exchanges; a copy is a request, as ever */
		{"replies whose requests were not seen", r + e + protocol[5].resp + frame({0x01, 0x03, 0x04, 0x12, 0x34, 0x00, 0x00}),
		 "unasked reply 11, unasked exception 5, request 8, unasked reply 9"},
		{"another unit's reply after an unanswered request", q + frame({0x02, 0x03, 0x02, 0x12, 0x34}), "request 8, unasked reply 7"},
		{"a request is no reply with a byte count of 00", low + low, "request 8, request 8"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::vector<std::pair<std::string, int>> got;
		bytes last;
		for (int at = 0; at < size(c.bus);) {
			const unsigned char *f = c.bus.data() + at;
			int n = size(c.bus) - at;
			cut k = split(f, n, last.data(), size(last), false);
			if (k.what == kind::none)
				k = split(f, n, last.data(), size(last), true);
			ASSERT_GT(k.len, 0);
			if (k.what == kind::request)
				last.assign(f, static_cast<size_t>(k.len));
			if (k.what == kind::reply || k.what == kind::exception)
				last.clear();
			static const char *const names[] = {"none", "request", "reply", "exception", "noise"};
			bool unasked = (k.what == kind::reply || k.what == kind::exception) && !k.asked;
			std::string name = std::string(unasked ? "unasked " : "") + names[static_cast<int>(k.what)];
			if (name == "noise" && !got.empty() && got.back().first == name)
				got.back().second += k.len;
			else
				got.emplace_back(name, k.len);
			at += k.len;
		}
		std::string all;
		for (auto &g : got)
			all += (all.empty() ? "" : ", ") + g.first + " " + std::to_string(g.second);
		EXPECT_EQ(all, c.cuts);
	}
}

/*
 * An echo told from an answer by the wire's time, for a request of 8 bytes
 * written at 0, at 8N1, 10 bits a character. A UART hands each byte of the
 * echo back as it ends, read 0.1 ms later; a USB adapter hands back what it
 * has once its latency timer (1 or 16 ms) runs out after the first byte. A
 * unit's answer begins 0.5 characters after the request left, read as its
 * first byte ends or all at once. An echo that comes back later than the
 * request takes on the wire cannot be told from an answer.
 */
TEST(rtu, an_echo_is_told_by_the_wire_s_time)
{
	const bytes req = protocol[5].req, other = frame({0x11, 0x06, 0x00, 0x01, 0x00, 0x04});
	const int len = size(req);
	enum source { uart, usb1, usb16, unit, unitwhole };
	const struct {
		long baud;
		source from;
		bool echo;
	} cases[] = {
		{1200, uart, true},    {1200, usb1, true},    {1200, usb16, true},    {1200, unit, false},    {1200, unitwhole, false},
		{9600, uart, true},    {9600, usb1, true},    {9600, usb16, false},   {9600, unit, false},    {9600, unitwhole, false},
		{115200, uart, true},  {115200, usb1, true},  {115200, usb16, false}, {115200, unit, false},  {115200, unitwhole, false},
	};
	for (auto &c : cases) {
		const long long ch = chartime(c.baud, 10), timer = c.from == usb1 ? 1000 : 16000;
		long long firstus = c.from == uart ? ch + 100 : ch + timer;
		int batch = c.from == uart ? 1 : static_cast<int>(std::min<long long>(len, (ch + timer) / ch));
		if (c.from == unit || c.from == unitwhole) {
			batch = c.from == unit ? 1 : len;
			firstus = len * ch + ch / 2 + (c.from == unit ? ch + 100 : len * ch);
		}
		EXPECT_EQ(echoed(req.data(), len, req.data(), len, 0, firstus, batch, ch), c.echo) << c.baud << " baud, " << c.from;
		EXPECT_FALSE(echoed(req.data(), len, other.data(), len, 0, firstus, batch, ch)) << "only a copy is an echo";
	}
}
