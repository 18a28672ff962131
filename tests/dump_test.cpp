/*
 * rtudump against a bus played by a traffic generator: a master and several
 * units, every function with a length rule, unanswered requests, exceptions,
 * broadcasts, replies of up to 255 bytes, and noise between frames (bytes no
 * frame begins with, and the beginnings of frames that never come). The
 * bytes go through a pseudo-terminal in pieces of any size, with pauses as
 * a USB adapter makes them, and through - from a file; both must list what
 * was sent, frame for frame, and the capture must hold the same frames. The
 * seed is fixed, so that a run repeats; DUMP_SEED gives another.
 */
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <random>
#include <regex>
#include <sstream>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>

#include <gtest/gtest.h>

#include "listener.h"
#include "reference.h"
#include "run.h"

struct item {
	std::string kind, bytes; /* kind: request, reply, exception or noise */
};

static std::string framed(std::string f)
{
	std::uint32_t c = reference(reinterpret_cast<const unsigned char *>(f.data()), f.size());
	f += static_cast<char>(c & 0xFF);
	f += static_cast<char>(c >> 8);
	return f;
}

struct traffic {
	std::mt19937 rng;
	std::string bus;
	std::vector<item> items;
	std::vector<size_t> bounds; /* where each frame ends */

	unsigned pick(unsigned lo, unsigned hi) { return lo + rng() % (hi - lo + 1); }
	std::string some(size_t n)
	{
		std::string s(n, '\0');
		for (auto &c : s)
			c = static_cast<char>(rng());
		return s;
	}
	static std::string word(unsigned v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }

	void add(const std::string &kind, const std::string &b)
	{
		if (kind == "noise" && !items.empty() && items.back().kind == "noise")
			items.back().bytes += b;
		else
			items.push_back({kind, b});
		bus += b;
		if (kind != "noise")
			bounds.push_back(bus.size());
	}

	/* A request and what answers it, by the application protocol's rules. */
	void exchange()
	{
		static const unsigned char fns[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x0b,
						    0x0c, 0x0f, 0x10, 0x11, 0x14, 0x15, 0x16, 0x17, 0x18};
		unsigned char fc = fns[rng() % sizeof fns];
		bool write = fc == 0x05 || fc == 0x06 || fc == 0x0f || fc == 0x10 || fc == 0x15 || fc == 0x16;
		char unit = static_cast<char>(write && rng() % 5 == 0 ? 0 : pick(1, 5) == 5 ? pick(6, 247) : pick(1, 4));
		std::string h = {unit, static_cast<char>(fc)}, req, rep = h;
		unsigned q;
		switch (fc) {
		case 0x01:
		case 0x02:
			q = pick(1, 2000);
			req = word(pick(0, 0xffff)) + word(q);
			rep += static_cast<char>((q + 7) / 8) + some((q + 7) / 8);
			break;
		case 0x03:
		case 0x04:
			q = pick(1, 125);
			req = word(pick(0, 0xffff)) + word(q);
			rep += static_cast<char>(2 * q) + some(2 * q);
			break;
		case 0x05: req = word(pick(0, 0xffff)) + word(rng() % 2 ? 0xff00 : 0); rep += req; break;
		case 0x06:
		case 0x08: req = some(4); rep += req; break;
		case 0x07: rep += some(1); break;
		case 0x0b: rep += some(4); break;
		case 0x0c:
		case 0x11:
			q = pick(1, 60);
			rep += static_cast<char>(q) + some(q);
			break;
		case 0x14:
			/* sub-requests of a reference type, 6, a file, a record and a length; the answer a record each */
			for (unsigned k = pick(1, 5), l; k > 0; k--) {
				l = pick(1, 10);
				req += "\x06" + word(pick(1, 255)) + word(pick(0, 9999)) + word(l);
				rep += static_cast<char>(1 + 2 * l) + std::string("\x06") + some(2 * l);
			}
			req = static_cast<char>(req.size()) + req;
			rep.insert(2, 1, static_cast<char>(rep.size() - 2));
			break;
		case 0x0f:
		case 0x10:
			q = fc == 0x0f ? pick(1, 1968) : pick(1, 123);
			req = word(pick(0, 0xffff)) + word(q);
			rep += req;
			q = fc == 0x0f ? (q + 7) / 8 : 2 * q;
			req += static_cast<char>(q) + some(q);
			break;
		case 0x15:
			q = pick(1, 20);
			req = "\x06" + word(pick(1, 255)) + word(pick(0, 9999)) + word(q) + some(2 * q);
			req = static_cast<char>(req.size()) + req;
			rep += req;
			break;
		case 0x16: req = some(6); rep += req; break;
		case 0x17:
			q = pick(1, 125);
			rep += static_cast<char>(2 * q) + some(2 * q);
			req = word(pick(0, 0xffff)) + word(q) + word(pick(0, 0xffff));
			q = pick(1, 121);
			req += word(q) + static_cast<char>(2 * q) + some(2 * q);
			break;
		case 0x18:
			q = pick(0, 31);
			req = word(pick(0, 0xffff));
			rep += word(2 + 2 * q) + word(q) + some(2 * q);
			break;
		}
		add("request", framed(h + req));
		if (unit == 0)
			return;
		noise(rng() % 8 == 0, h);
		unsigned what = rng() % 8;
		if (what < 5) {
			/* no rule gives the length of 18's answer: it ends where its check bytes first come right */
			std::string r = framed(rep);
			for (size_t k = 4; fc == 0x18 && k < r.size(); k++) {
				if (reference(reinterpret_cast<const unsigned char *>(r.data()), k) == 0)
					return;
			}
			add("reply", r);
		} else if (what < 7) {
			add("exception", framed(h.substr(0, 1) + static_cast<char>(fc | 0x80) + static_cast<char>(pick(1, 11))));
		}
	}

	/* Bytes that begin no frame (no unit is above 247), or the beginning of one that never comes. */
	void noise(bool any, const std::string &unitfn)
	{
		if (!any)
			return;
		if (rng() % 2) {
			std::string n(pick(1, 4), '\0');
			for (auto &c : n)
				c = static_cast<char>(pick(0xf8, 0xff));
			add("noise", n);
		} else {
			std::string begun = rng() % 2 && !unitfn.empty()
						    ? unitfn
						    : std::string{static_cast<char>(pick(1, 247)), "\x03\x06\x10"[rng() % 3]};
			add("noise", begun + some(pick(0, 3)));
		}
	}

	/* Whether a frame with right check bytes, 4 bytes or more, to a unit (0 to 247), begins in bus[from, to). */
	bool begins(size_t from, size_t to) const
	{
		const unsigned char *b = reinterpret_cast<const unsigned char *>(bus.data());
		for (size_t j = from; j < to; j++) {
			for (size_t k = 4; b[j] <= 247 && k <= 256 && j + k <= bus.size(); k++) {
				if (reference(b + j, k) == 0)
					return true;
			}
		}
		return false;
	}

	explicit traffic(unsigned seed, int exchanges) : rng(seed)
	{
		for (int i = 0; i < exchanges; i++) {
			noise(rng() % 6 == 0, "");
			exchange();
		}
		/* the last item a frame, for -c */
		exchange();
		while (items.back().kind == "noise")
			exchange();
		/*
		 * Noise with what follows it may hold a frame after all, by its
		 * check bytes: such noise is made of bytes that begin none instead.
		 */
		for (bool again = true; again;) {
			again = false;
			for (size_t at = 0, i = 0; i < items.size(); at += items[i++].bytes.size()) {
				size_t n = items[i].bytes.size();
				if (items[i].kind != "noise" || !begins(at, at + n))
					continue;
				for (size_t k = 0; k < n; k++)
					items[i].bytes[k] = bus[at + k] = static_cast<char>(pick(0xf8, 0xff));
				again = true;
			}
		}
	}

	size_t frames() const { return bounds.size(); }
};

static unsigned seed()
{
	const char *s = getenv("DUMP_SEED");
	return s ? static_cast<unsigned>(strtoul(s, nullptr, 10)) : 20261209;
}

static std::string hexes(const std::string &b)
{
	std::string h = hex(b);
	h.pop_back();
	return h;
}

/* What rtudump printed, its runs of noise as one unless apart; every line must be well formed. */
static std::vector<item> parse(const std::string &out, bool apart = false)
{
	static const std::regex l("\\d\\d:\\d\\d:\\d\\d\\.\\d{6} (request|reply|exception|noise)( \\+\\d+\\.\\dms)?((?: [0-9a-f]{2})+)");
	std::vector<item> got;
	std::istringstream in(out);
	for (std::string s; getline(in, s);) {
		std::smatch m;
		EXPECT_TRUE(std::regex_match(s, m, l)) << s;
		if (m.empty())
			continue;
		std::string kind = m[1], bytes;
		EXPECT_EQ(m[2].matched, kind == "reply" || kind == "exception") << s;
		std::string h = m[3];
		for (size_t i = 1; i + 1 < h.size(); i += 3)
			bytes += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
		if (kind == "noise" && !got.empty() && got.back().kind == "noise" && !apart)
			got.back().bytes += bytes;
		else
			got.push_back({kind, bytes});
	}
	return got;
}

/*
 * Whether the capture holds what the lines show, a record a line, noise
 * too, in the same order: every byte of the bus.
 */
static void captured(const std::vector<std::string> &records, const std::string &out, const std::string &bus)
{
	std::vector<std::string> lines;
	std::string all;
	for (auto &i : parse(out, true))
		lines.push_back(i.bytes);
	for (auto &r : records)
		all += r;
	EXPECT_TRUE(records == lines) << "the capture does not hold what the lines show";
	EXPECT_EQ(hex(all), hex(bus)) << "the capture does not hold every byte of the bus";
}

/* The first item that differs, with the items around it. */
static void same(const std::vector<item> &got, const std::vector<item> &want)
{
	size_t i = 0;
	while (i < got.size() && i < want.size() && got[i].kind == want[i].kind && got[i].bytes == want[i].bytes)
		i++;
	if (i == got.size() && i == want.size())
		return;
	std::string around;
	for (size_t k = i > 2 ? i - 2 : 0; k < i + 3; k++) {
		around += "\n" + std::to_string(k) + " sent  " + (k < want.size() ? want[k].kind + " " + hexes(want[k].bytes) : "");
		around += "\n" + std::to_string(k) + " shown " + (k < got.size() ? got[k].kind + " " + hexes(got[k].bytes) : "");
	}
	ADD_FAILURE() << "item " << i << " differs:" << around;
}

static std::string summary(const traffic &t)
{
	size_t noise = 0;
	for (auto &i : t.items)
		noise += i.kind == "noise" ? i.bytes.size() : 0;
	return "rtudump: " + std::to_string(t.frames()) + (t.frames() == 1 ? " frame, " : " frames, ") + std::to_string(noise) +
	       (noise == 1 ? " byte of noise\n" : " bytes of noise\n");
}

/* Waits until rtudump holds the port, and then as long again as it takes to set it up and empty it. */
static void held(int tty)
{
	for (int i = 0; i < 400 && flock(tty, LOCK_EX | LOCK_NB) == 0; i++) {
		flock(tty, LOCK_UN);
		usleep(5000);
	}
	usleep(100000);
}

/* The records of a pcap capture: the classic format, microsecond times, link type 147. */
static std::vector<std::string> capture(const std::string &path)
{
	FILE *f = fopen(path.c_str(), "rb");
	std::string c = f ? slurp(f) : "";
	std::vector<std::string> frames;
	std::uint32_t h[6] = {};
	if (c.size() < 24)
		return frames;
	memcpy(h, c.data(), 24);
	EXPECT_EQ(h[0], 0xa1b2c3d4u);
	EXPECT_EQ(h[1], 2u | 4u << 16);
	EXPECT_EQ(h[5], 147u);
	for (size_t at = 24; at + 16 <= c.size();) {
		std::uint32_t r[4];
		memcpy(r, c.data() + at, 16);
		EXPECT_LT(r[1], 1000000u);
		EXPECT_EQ(r[2], r[3]);
		frames.push_back(c.substr(at + 16, r[2]));
		at += 16 + r[2];
	}
	return frames;
}

TEST(rtudump, lists_what_passes_on_the_bus_frame_for_frame)
{
	traffic t(seed(), 400);
	SCOPED_TRACE("DUMP_SEED=" + std::to_string(seed()));

	/* Recorded, through -. */
	char dir[] = "/tmp/rtudump-XXXXXX";
	ASSERT_TRUE(mkdtemp(dir));
	std::string file = std::string(dir) + "/bus", cap = std::string(dir) + "/bus.pcap";
	FILE *f = fopen(file.c_str(), "wb");
	ASSERT_TRUE(f && fwrite(t.bus.data(), 1, t.bus.size(), f) == t.bus.size() && fclose(f) == 0);
	result r = run("/bin/sh", {"-c", "exec \"$0\" -w \"$1\" - <\"$2\"", RTUDUMP, cap, file});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, summary(t));
	same(parse(r.out), t.items);
	captured(capture(cap), r.out, t.bus);

	/*
	 * Live, on a pseudo-terminal, in pieces of 1 to 64 bytes with pauses of
	 * up to 20 ms inside frames and 300 ms between some. At 110 baud, 0.27 s
	 * of silence settles what is open, so that a busy machine's stall does not.
	 */
	int tty;
	std::string name;
	int master = rawpty(&tty, &name);
	ASSERT_GE(master, 0);
	std::string before = whole(tty);
	pid_t pid = fork();
	if (pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		held(tty);
		std::mt19937 rng(seed());
		size_t b = 0;
		for (size_t at = 0; at < t.bus.size();) {
			size_t n = std::min<size_t>(1 + rng() % 64, t.bus.size() - at);
			if (write(master, t.bus.data() + at, n) != static_cast<ssize_t>(n))
				_exit(1);
			at += n;
			while (b < t.bounds.size() && t.bounds[b] <= at)
				b++;
			bool between = b > 0 && t.bounds[b - 1] == at;
			usleep(static_cast<useconds_t>(rng() % 4 == 0 ? between && rng() % 8 == 0 ? 300000 : rng() % 20000 : 0));
		}
		_exit(0);
	}
	r = run(TIMEOUT, {"60", RTUDUMP, "-b", "110", "-c", std::to_string(t.frames()), "-w", cap, name});
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, summary(t));
	same(parse(r.out), t.items);
	captured(capture(cap), r.out, t.bus);
	EXPECT_EQ(whole(tty), before) << "the port's settings are not as they were found";
	char left[64];
	pollfd p = {master, POLLIN, 0};
	EXPECT_EQ(poll(&p, 1, 0) > 0 ? read(master, left, sizeof left) : 0, 0) << "rtudump wrote to the line";
	close(tty);
	close(master);
	run("/bin/rm", {"-rf", dir});
}

/*
 * Through a transparent gateway: the same bus in TCP segments of 1 to 300
 * bytes, with pauses; rtudump never writes a byte, and the gateway closing
 * the connection ends it, once what came is printed.
 */
TEST(rtudump, watches_through_a_gateway_until_it_closes)
{
	traffic t(seed() + 1, 300);
	SCOPED_TRACE("DUMP_SEED=" + std::to_string(seed()) + " + 1");
	int port, heard[2];
	ASSERT_EQ(pipe(heard), 0);
	pid_t gw = listener(&port, [&](int c) {
		std::mt19937 rng(seed());
		for (size_t at = 0; at < t.bus.size();) {
			size_t n = std::min<size_t>(1 + rng() % 300, t.bus.size() - at);
			put(c, t.bus.substr(at, n));
			at += n;
			usleep(static_cast<useconds_t>(rng() % 3 == 0 ? rng() % 30000 : 0));
		}
		/* what rtudump sent, which must be nothing */
		usleep(300000);
		char b[64];
		ssize_t k = recv(c, b, sizeof b, MSG_DONTWAIT);
		if (write(heard[1], k > 0 ? "x" : "-", 1) != 1)
			_exit(1);
	});
	ASSERT_GT(gw, 0);
	std::string dev = "127.0.0.1:" + std::to_string(port);
	result r = run(TIMEOUT, {"60", RTUDUMP, dev});
	char said = 0;
	EXPECT_EQ(read(heard[0], &said, 1), 1);
	EXPECT_EQ(said, '-') << "rtudump wrote to the gateway";
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "rtudump: " + dev + " closed the connection\n" + summary(t));
	same(parse(r.out), t.items);

	/* -c ends it before the gateway does. */
	r = run(TIMEOUT, {"60", RTUDUMP, "-c", "3", dev});
	size_t noise = 0;
	for (size_t i = 0, frames = 0; frames < 3; i++) {
		bool n = t.items[i].kind == "noise";
		noise += n ? t.items[i].bytes.size() : 0;
		frames += !n;
	}
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "rtudump: 3 frames, " + std::to_string(noise) + " bytes of noise\n");
	end(gw);
	close(heard[0]);
	close(heard[1]);
}

TEST(rtudump, refuses_bad_input_and_leaves_the_port_as_it_was)
{
	int tty;
	std::string name;
	int master = rawpty(&tty, &name);
	ASSERT_GE(master, 0);
	const std::string usage =
		"usage: rtudump [-b speed] [-f framing] [-c count] [-w file] [-d type] [-o order] device|host:port|-\n";
	auto c = [](const std::string &v) { return "rtudump: -c takes a number of frames, 1 or more: '" + v + "'\n"; };
	const struct {
		std::vector<std::string> args; /* @ is the port */
		int status;
		std::string err;
		bool locked;
	} cases[] = {
		{{}, 2, usage},
		{{"-x", "@"}, 2, "rtudump: unknown option -x\n" + usage},
		{{"-m", "tcp", "@"}, 2, "rtudump: unknown option -m\n" + usage},
		{{"@", "-c"}, 2, usage},
		{{"-c"}, 2, "rtudump: -c needs a value\n" + usage},
		{{"@", "@"}, 2, usage},
		{{"-c", "0", "@"}, 2, c("0")},
		{{"-c", "-1", "@"}, 2, c("-1")},
		{{"-c", "1x", "@"}, 2, c("1x")},
		{{"-c", "", "@"}, 2, c("")},
		{{"-b", "9601", "@"}, 2, "rtudump: not a speed: 9601\n"},
		{{"-f", "7E1", "@"}, 2, "rtudump: not a framing: 7E1\n"},
		{{"/dev/null"}, 2, "rtudump: not a terminal: /dev/null\n"},
		{{"/nonexistent"}, 2, "rtudump: no such device: /nonexistent\n"},
		{{"/tmp"}, 2, "rtudump: cannot open /tmp: Is a directory\n"},
		{{"-f", "8E1", "@"}, 2, "rtudump: @ does not take 8E1\n"},
		{{"-b", "9600", "gw:502"}, 2,
		 "rtudump: -b is not for a TCP connection: the gateway's own settings fix the line's speed and framing\n"},
		{{"gw:"}, 2, "rtudump: no port in gw:\n"},
		{{"127.0.0.1:1"}, 1, "rtudump: cannot connect to 127.0.0.1:1: Connection refused\n"},
		{{"-d", "bit", "@"}, 2, "rtudump: not a type of registers: bit (u16, s16, hex, u32, s32, f32, u64, s64, f64 or text)\n"},
		{{"-o", "ABCD", "@"}, 2, "rtudump: not an order: ABCD (abcd, cdab, badc or dcba)\n"},
		{{"-w", "/nonexistent/bus.pcap", "@"}, 2, "rtudump: cannot open /nonexistent/bus.pcap: No such file or directory\n"},
		{{"@"}, 1, "rtudump: @ is in use by another program\n", true},
	};
	std::string before = whole(tty);
	for (auto &k : cases) {
		std::vector<std::string> args = k.args;
		std::replace(args.begin(), args.end(), std::string("@"), name);
		if (k.locked)
			ASSERT_EQ(flock(tty, LOCK_EX), 0);
		result r = run(RTUDUMP, args);
		flock(tty, LOCK_UN);
		std::string err = k.err;
		if (err.find('@') != std::string::npos)
			err.replace(err.find('@'), 1, name);
		EXPECT_EQ(r.status, k.status) << testing::PrintToString(k.args);
		EXPECT_EQ(r.err, err);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(whole(tty), before) << "the port's settings are not as they were found";
	}
	close(tty);
	close(master);
}

/*
 * Watching a port: each frame of known length is printed at once, with no
 * wait for silence; noise once the line falls silent, at 50 baud for
 * 0.6 s, which no busy machine's delay is taken for. A signal puts the
 * port back, prints the summary and ends rtudump by that signal, SIGPIPE
 * too when the reader of its lines has gone.
 */
TEST(rtudump, prints_at_once_and_ends_by_a_signal)
{
	const std::string q = framed(std::string("\x01\x03\x00\x00\x00\x01", 6)), r = framed("\x01\x03\x02\x12\x34");
	for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) {
		SCOPED_TRACE(strsignal(sig));
		int tty;
		std::string name;
		int master = rawpty(&tty, &name);
		ASSERT_GE(master, 0);
		std::string before = whole(tty);
		int out[2];
		ASSERT_EQ(pipe(out), 0);
		FILE *err = tmpfile();
		pid_t pid = fork();
		if (pid == 0) {
			dup2(out[1], 1);
			dup2(fileno(err), 2);
			close(out[0]);
			execl(RTUDUMP, RTUDUMP, "-b", "50", name.c_str(), static_cast<char *>(nullptr));
			_exit(127);
		}
		close(out[1]);
		held(tty);
		std::string lines;
		if (sig == SIGPIPE) {
			close(out[0]);
			ASSERT_EQ(write(master, q.data(), q.size()), static_cast<ssize_t>(q.size()));
		} else {
			for (const std::string &f : {q, r, std::string("\xfe\xff", 2)}) {
				auto t0 = std::chrono::steady_clock::now();
				ASSERT_EQ(write(master, f.data(), f.size()), static_cast<ssize_t>(f.size()));
				char b[256];
				pollfd p = {out[0], POLLIN, 0};
				ssize_t n = poll(&p, 1, 3000) > 0 ? read(out[0], b, sizeof b) : 0;
				std::chrono::duration<double, std::milli> t = std::chrono::steady_clock::now() - t0;
				lines.append(b, n > 0 ? static_cast<size_t>(n) : 0);
				/* a frame of known length long before the silence that settles noise */
				EXPECT_LT(t.count(), f.size() == 2 ? 3000 : 400) << hexes(f);
				EXPECT_GE(t.count(), f.size() == 2 ? 600 : 0) << hexes(f);
			}
			kill(pid, sig);
		}
		int ws = 0;
		waitpid(pid, &ws, 0);
		EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == sig);
		std::vector<item> want = {{"request", q}, {"reply", r}, {"noise", "\xfe\xff"}};
		if (sig != SIGPIPE)
			same(parse(lines), want);
		EXPECT_EQ(slurp(err), sig == SIGPIPE ? "rtudump: 1 frame, 0 bytes of noise\n" : "rtudump: 2 frames, 2 bytes of noise\n");
		EXPECT_EQ(whole(tty), before) << "the port's settings are not as they were found";
		if (sig != SIGPIPE)
			close(out[0]);
		close(tty);
		close(master);
	}
}

/*
 * A port that fails, as a USB adapter pulled out does, here at the second
 * read: what the first brought, the beginning of a frame, is shown, then
 * why the watch ended.
 */
TEST(rtudump, a_port_that_fails_ends_the_watch_once_what_came_is_shown)
{
	int tty;
	std::string name;
	int master = rawpty(&tty, &name);
	ASSERT_GE(master, 0);
	char log[] = "/tmp/rtudump-strace-XXXXXX";
	close(mkstemp(log));
	pid_t pid = fork();
	if (pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		held(tty);
		/* the second only once strace has seen the first read return */
		std::string seen;
		bool first = write(master, "\x01\x03\x00", 3) == 3;
		for (int i = 0; first && i < 1000 && seen.find("= 3\n") == std::string::npos; i++) {
			usleep(10000);
			FILE *f = fopen(log, "r");
			seen = f ? slurp(f) : "";
		}
		_exit(write(master, "\x00", 1) == 1 ? 0 : 1);
	}
	result r = run(TIMEOUT, {"10", STRACE, "-o", log, "-e", "trace=read", "-P", name, "-e", "inject=read:error=EIO:when=2", RTUDUMP, name});
	waitpid(pid, nullptr, 0);
	same(parse(r.out), {{"noise", std::string("\x01\x03\x00", 3)}});
	EXPECT_EQ(r.err, "rtudump: cannot read " + name + ": Input/output error\nrtudump: 0 frames, 3 bytes of noise\n");
	EXPECT_EQ(r.status, 1);
	unlink(log);
	close(tty);
	close(master);
}

/* Bytes that waited in the driver before rtudump began did not pass while it watched: they never show. */
TEST(rtudump, shows_only_what_passes_while_it_watches)
{
	int tty;
	std::string name;
	int master = rawpty(&tty, &name);
	ASSERT_GE(master, 0);
	const std::string old = framed(std::string("\x01\x03\x00\x00\x00\x01", 6)) + framed("\x01\x03\x02\x12\x34");
	const std::string now = framed(std::string("\x02\x06\x00\x01\x00\x03", 6));
	ASSERT_EQ(write(master, old.data(), old.size()), static_cast<ssize_t>(old.size()));
	usleep(100000);
	pid_t pid = fork();
	if (pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		held(tty);
		_exit(write(master, now.data(), now.size()) == static_cast<ssize_t>(now.size()) ? 0 : 1);
	}
	result r = run(TIMEOUT, {"10", RTUDUMP, "-c", "1", name});
	waitpid(pid, nullptr, 0);
	same(parse(r.out), {{"request", now}});
	EXPECT_EQ(r.err, "rtudump: 1 frame, 0 bytes of noise\n");
	EXPECT_EQ(r.status, 0);
	close(tty);
	close(master);
}

/*
 * With -d, the values of the answers to 03, 04 and 17 and of the writes
 * 06 and 10 (a broadcast too) follow the bytes; frames whose data is not a
 * whole number of values, and others (the answer to 06 among them), are as
 * without it.
 */
TEST(rtudump, shows_the_values_of_registers)
{
	const std::string r04 = framed(std::string("\x01\x04\x08\x00\x00\x41\xcc\x00\x00\xc0\x20", 11));
	const struct {
		std::vector<std::string> opts;
		std::vector<std::string> frames;
		std::vector<std::string> values; /* of each line, after its bytes */
	} cases[] = {
		{{"-d", "f32", "-o", "cdab"},
		 {framed(std::string("\x01\x04\x00\x10\x00\x04", 6)), r04},
		 {"", " = 25.5 -2.5"}},
		{{"-d", "u16"},
		 {framed(std::string("\x00\x06\x00\x01\x9c\x41", 6)), framed(std::string("\x02\x06\x00\x01\xff\xd8", 6)),
		  framed(std::string("\x02\x06\x00\x01\xff\xd8", 6))},
		 {" = 40001", " = 65496", ""}},
		{{"-d", "s32", "-o", "badc"},
		 {framed(std::string("\x00\x10\x00\x01\x00\x02\x04\xff\xff\xfe\xff", 11)),
		  framed(std::string("\x01\x10\x00\x01\x00\x01\x02\x00\x05", 9)), framed(std::string("\x01\x10\x00\x01\x00\x01", 6))},
		 {" = -2", "", ""}},
		{{"-d", "text"},
		 {framed(std::string("\x01\x17\x00\x00\x00\x02\x00\x00\x00\x01\x02\x00\x00", 13)),
		  framed(std::string("\x01\x17\x04OK\x5c\x00", 7))},
		 {"", " = OK\\\\"}},
		/* an exception, and what carries no registers */
		{{"-d", "u16"},
		 {framed(std::string("\x01\x03\x00\x00\x00\x01", 6)), framed(std::string("\x01\x83\x02", 3)),
		  framed(std::string("\x01\x01\x00\x00\x00\x08", 6)), framed(std::string("\x01\x01\x01\x05", 4))},
		 {"", "", "", ""}},
	};
	for (auto &c : cases) {
		std::string bus, want;
		for (size_t i = 0; i < c.frames.size(); i++) {
			bus += c.frames[i];
			want += hexes(c.frames[i]) + c.values[i] + "\n";
		}
		char path[] = "/tmp/rtudump-values-XXXXXX";
		int fd = mkstemp(path);
		ASSERT_EQ(write(fd, bus.data(), bus.size()), static_cast<ssize_t>(bus.size()));
		close(fd);
		std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" - <" + std::string(path), RTUDUMP};
		args.insert(args.end(), c.opts.begin(), c.opts.end());
		result r = run("/bin/sh", args);
		unlink(path);
		/* the lines, without their times and kinds */
		std::string got;
		std::istringstream in(r.out);
		for (std::string l; getline(in, l);) {
			size_t at = l.find_first_of("0123456789abcdef", l.find(' ', l.find(' ') + 1));
			got += l.substr(l.find(" +") != std::string::npos ? l.find("ms ") + 3 : at) + "\n";
		}
		EXPECT_EQ(got, want) << testing::PrintToString(c.opts);
		EXPECT_EQ(r.status, 0);
	}
}
