/*
 * The frame rules through their functions, on the request and response of
 * every public function code as the Modbus application protocol gives them
 * in its examples (protocol.h).
 */
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
	const struct {
		const char *name;
		bytes bus;
		std::vector<std::pair<kind, int>> cuts; /* runs of noise as one */
	} cases[] = {
		{"an unanswered request, then the next", q + q + r, {{kind::request, 8}, {kind::request, 8}, {kind::reply, 11}}},
		{"noise before an answer leaves it an answer", q + noise + r,
		 {{kind::request, 8}, {kind::noise, 3}, {kind::reply, 11}}},
		{"a broadcast awaits no answer", cast + r, {{kind::request, 8}, {kind::noise, 11}}},
		{"an exception", q + e, {{kind::request, 8}, {kind::exception, 5}}},
		/* noise that begins a request of 136 bytes: the complete one after it wins at once */
		{"a complete frame wins over an unfinished one", lead + w, {{kind::noise, 7}, {kind::request, 13}}},
		{"no rule: the answer ends where its check bytes come right", id + idr + q,
		 {{kind::request, 4}, {kind::reply, 8}, {kind::request, 8}}},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::vector<std::pair<kind, int>> got;
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
			if (k.what == kind::noise && !got.empty() && got.back().first == kind::noise)
				got.back().second += k.len;
			else
				got.emplace_back(k.what, k.len);
			at += k.len;
		}
		EXPECT_EQ(got, c.cuts);
	}
}
