/*
 * The round trip with a real device: rtuquery against a Modbus RTU server
 * (libmodbus: unit 1, 9600 8N1, 125 registers) on one end of a virtual
 * null-modem cable between two pseudo-terminals. The user's end is set up
 * by rtuquery's -b and -f, then with the README's stty line, as a user's
 * /dev/ttyUSB0 would be.
 */
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <random>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "devices.h"
#include "reference.h"
#include "listener.h"
#include "run.h"

/* A port's settings, as stty saves them. */
static std::string settings(const std::string &port)
{
	return run("/bin/sh", {"-c", "stty -g <\"$0\"", port}).out;
}

/* The README's stty line, for DEVICE instead of /dev/ttyUSB0. */
static std::string readme_stty(const std::string &dev)
{
	std::ifstream f(README);
	const std::string port = "/dev/ttyUSB0";
	for (std::string l; getline(f, l);) {
		if (l.rfind("    stty -F " + port + " ", 0) == 0)
			return l.replace(l.find(port), port.size(), dev);
	}
	return "false";
}

/*
 * A null-modem cable between two pseudo-terminals, whose ends are at
 * *device and *user: what one end writes reaches the other 2 ms later, as
 * on a line at 9600 baud, where a character takes 1 ms, so that no answer
 * comes sooner after a request than a unit's could.
 */
static pid_t cable(std::string *device, std::string *user)
{
	int end[2];
	for (int &m : end) {
		m = posix_openpt(O_RDWR | O_NOCTTY);
		if (m < 0 || grantpt(m) || unlockpt(m))
			return -1;
		termios t;
		int s = open(ptsname(m), O_RDWR | O_NOCTTY);
		if (s < 0 || tcgetattr(s, &t))
			return -1;
		cfmakeraw(&t);
		tcsetattr(s, TCSANOW, &t);
		close(s);
	}
	*device = ptsname(end[0]);
	*user = ptsname(end[1]);
	pid_t pid = fork();
	if (pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		for (;;) {
			pollfd p[2] = {{end[0], POLLIN, 0}, {end[1], POLLIN, 0}};
			if (poll(p, 2, -1) < 0)
				_exit(1);
			for (int i = 0; i < 2; i++) {
				char b[512];
				ssize_t k = p[i].revents & POLLIN ? read(end[i], b, sizeof b) : 0;
				usleep(k > 0 ? 2000 : 0);
				if (k > 0 && write(end[1 - i], b, static_cast<size_t>(k)) != k)
					_exit(1);
			}
		}
	}
	for (int m : end)
		close(m);
	return pid;
}

class device_test : public testing::Test {
protected:
	std::string user;
	pid_t relay = -1, server = -1;

	void SetUp() override
	{
		std::string device;
		relay = cable(&device, &user);
		ASSERT_GT(relay, 0);
		server = rtuserver(device);
		ASSERT_GT(server, 0);
	}

	void TearDown() override
	{
		for (pid_t p : {server, relay}) {
			if (p > 0) {
				kill(p, SIGKILL);
				waitpid(p, nullptr, 0);
			}
		}
	}
};

/* Bytes as rtuquery prints them, with their check bytes. */
static std::string hexline(std::string b)
{
	std::uint32_t c = reference(reinterpret_cast<const unsigned char *>(b.data()), b.size());
	b += static_cast<char>(c & 0xFF);
	b += static_cast<char>(c >> 8);
	std::string h = hex(b);
	h.back() = '\n';
	return h;
}

TEST_F(device_test, rtuquery_round_trips)
{
	std::string all = "\x01\x03\xfa";
	for (int i = 0; i < 125; i++) {
		unsigned v = 0x0101u * static_cast<unsigned>(i) + 0x1234u;
		all += static_cast<char>(v >> 8);
		all += static_cast<char>(v & 0xFF);
	}
	const struct {
		std::vector<std::string> args; /* @ is the port */
		std::string out;
		int status;
		const char *err;
		double most, least; /* seconds */
	} cases[] = {
		/* every register there is, on a port set up by rtuquery alone */
		{{"-b", "9600", "-f", "8N1", "@", "01", "03", "00", "00", "00", "7d"}, hexline(all), 0, "", 0.6, 0},
		/* the rest on a port set up with the README's stty line */
		{{"@", "01", "03", "00", "00", "00", "01"}, "01 03 02 12 34 b5 33\n", 0, "", 0.6, 0},
		{{"@", "01", "03", "00", "00", "00", "02"}, hexline(all.substr(0, 2) + '\x04' + all.substr(3, 4)), 0, "",
		 0.6, 0},
		{{"@", "01", "06", "00", "01", "ab", "cd"}, "01 06 00 01 ab cd 66 af\n", 0, "", 0.6, 0},
		{{"@", "01", "03", "00", "01", "00", "01"}, "01 03 02 ab cd 06 e1\n", 0, "", 0.6, 0},
		/* beyond its registers */
		{{"@", "01", "03", "00", "7d", "00", "01"}, "01 83 02 c0 f1\n", 3,
		 "rtuquery: exception 02: illegal data address\n", 0.6, 0},
		/* a broadcast is not answered, but carried out */
		{{"@", "00", "06", "00", "02", "00", "07"}, "", 0, "", 0.6, 0.1},
		{{"@", "01", "03", "00", "02", "00", "01"}, "01 03 02 00 07 f9 86\n", 0, "", 0.6, 0},
		/* no such unit (last: the server then turns a deaf ear for a while) */
		{{"-t", "0.3", "@", "02", "03", "00", "00", "00", "01"}, "", 1, "rtuquery: no reply\n", 0.6, 0.3},
	};
	bool readme = false;
	for (auto &c : cases) {
		if (c.args[0] != "-b" && !readme) {
			ASSERT_EQ(run("/bin/sh", {"-c", readme_stty(user)}).status, 0);
			readme = true;
		}
		std::string before = settings(user);
		std::vector<std::string> args = c.args;
		std::replace(args.begin(), args.end(), std::string("@"), user);
		auto t0 = std::chrono::steady_clock::now();
		result r = run(RTUQUERY, args);
		std::chrono::duration<double> t = std::chrono::steady_clock::now() - t0;
		EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.status, c.status);
		EXPECT_LT(t.count(), c.most);
		EXPECT_GE(t.count(), c.least);
		EXPECT_EQ(settings(user), before) << "the port's settings are not as they were found";
	}
}

/* Hex as rtuquery prints it, to raw bytes. */
static std::string bytes(const std::string &hex)
{
	std::string b;
	for (size_t i = 0; i + 1 < hex.size(); i += 3)
		b += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
	return b;
}

/*
 * Values, written and read back through the real programs, against a
 * reference of the test's own: IEEE 754 as the C++ library encodes and
 * shows it (std::to_chars), the orders done by hand.
 */
static const char *const ordernames[] = {"abcd", "cdab", "badc", "dcba"};

/* The bytes of a value, high byte first, as they stand on the line in the order o (0 to 3). */
static std::string inorder(const std::string &high, int o)
{
	std::string wire = high;
	for (size_t i = 0; i < high.size(); i++) {
		size_t word = i / 2, half = i % 2;
		if (o == 1 || o == 3)
			word = high.size() / 2 - 1 - word;
		if (o == 2 || o == 3)
			half = 1 - half;
		wire[word * 2 + half] = high[i];
	}
	return wire;
}

/* What inorder put where: the value's bytes, high first, as a number. */
static std::uint64_t fromwire(const std::string &wire, int o)
{
	std::string high = wire;
	/* each order is its own inverse */
	high = inorder(wire, o);
	std::uint64_t v = 0;
	for (unsigned char c : high)
		v = v << 8 | c;
	return v;
}

template <typename number> static std::string shortest(number v)
{
	char b[64];
	return std::string(b, std::to_chars(b, b + sizeof b, v).ptr);
}

/* The value of type t (by name) on the wire, as the reference shows it. */
static std::string reference_value(const std::string &t, const std::string &wire, int o)
{
	std::uint64_t v = fromwire(wire, t == "u16" || t == "s16" || t == "hex" ? 0 : o);
	if (t == "u16" || t == "u32" || t == "u64")
		return std::to_string(v);
	if (t == "s16")
		return std::to_string(static_cast<std::int16_t>(v));
	if (t == "s32")
		return std::to_string(static_cast<std::int32_t>(v));
	if (t == "s64")
		return std::to_string(static_cast<std::int64_t>(v));
	if (t == "hex") {
		char b[8];
		snprintf(b, sizeof b, "%04x", static_cast<unsigned>(v));
		return b;
	}
	if (t == "f32") {
		std::uint32_t u = static_cast<std::uint32_t>(v);
		float f;
		memcpy(&f, &u, 4);
		return f != f ? "nan" : shortest(f);
	}
	double d;
	memcpy(&d, &v, 8);
	return d != d ? "nan" : shortest(d);
}

static std::string text_reference(const std::string &b)
{
	std::string t;
	size_t n = b.find_last_not_of('\0');
	for (size_t i = 0; n != std::string::npos && i <= n; i++) {
		unsigned char c = static_cast<unsigned char>(b[i]);
		char x[8];
		snprintf(x, sizeof x, "\\x%02x", c);
		t += c == '\\' ? "\\\\" : c >= 0x20 && c <= 0x7e ? std::string(1, static_cast<char>(c)) : std::string(x);
	}
	return t;
}

TEST_F(device_test, values_are_written_and_read_back)
{
	std::mt19937 rng(32);
	auto query = [&](std::vector<std::string> args) {
		std::replace(args.begin(), args.end(), std::string("@"), user);
		return run(RTUQUERY, args);
	};
	auto hexargs = [](std::vector<std::string> a, const std::string &bytes) {
		for (unsigned char c : bytes) {
			char b[4];
			snprintf(b, sizeof b, "%02x", c);
			a.push_back(b);
		}
		return a;
	};
	ASSERT_EQ(run("/bin/sh", {"-c", readme_stty(user)}).status, 0);

	/* A float written in each order, as f32:, reads back the same in that order, and its registers are IEEE 754's. */
	for (int o = 0; o < 4; o++) {
		float x;
		do {
			std::uint32_t u = rng();
			memcpy(&x, &u, 4);
		} while (x != x || std::isinf(x));
		std::string text = shortest(x);
		std::uint32_t u;
		memcpy(&u, &x, 4);
		std::string high = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8), static_cast<char>(u)};
		SCOPED_TRACE(std::string(ordernames[o]) + " " + text);
		result w = query({"-o", ordernames[o], "@", "01", "10", "u16:32", "u16:2", "04", "f32:" + text});
		EXPECT_EQ(w.status, 0) << w.err;
		result raw = query({"@", "01", "03", "00", "20", "00", "02"});
		EXPECT_EQ(bytes(raw.out).substr(3, 4), inorder(high, o)) << raw.out;
		result r = query({"-d", "f32", "-o", ordernames[o], "@", "01", "03", "00", "20", "00", "02"});
		EXPECT_EQ(r.out, "32 " + text + "\n");
		EXPECT_EQ(r.status, 0);
	}

	/* Every type in every order over random registers, 64 to 71. */
	std::string regs;
	for (int i = 0; i < 16; i++)
		regs += static_cast<char>(i == 3 ? '\\' : rng() % 3 == 0 ? 0x41 + rng() % 26 : rng());
	result w = query(hexargs({"@", "01", "10", "00", "40", "00", "08", "10"}, regs));
	ASSERT_EQ(w.status, 0) << w.err;
	for (std::string t : {"u16", "s16", "hex", "u32", "s32", "f32", "u64", "s64", "f64", "text"}) {
		for (int o = 0; o < 4; o++) {
			SCOPED_TRACE(t + " " + ordernames[o]);
			std::string want;
			size_t size = t == "text" ? 16 : t[1] == '1' || t == "hex" ? 2 : t[1] == '3' ? 4 : 8;
			for (size_t at = 0; at < 16; at += size)
				want += std::to_string(64 + at / 2) + " " +
					(t == "text" ? text_reference(regs) : reference_value(t, regs.substr(at, size), o)) + "\n";
			result r = query({"-d", t, "-o", ordernames[o], "@", "01", "03", "u16:64", "u16:8"});
			EXPECT_EQ(r.out, want);
			EXPECT_EQ(r.status, 0) << r.err;
		}
	}

	/* A random pattern of coils, each a line, the padding bits left out. */
	std::string pattern;
	for (int i = 0; i < 5; i++)
		pattern += static_cast<char>(rng());
	w = query(hexargs({"@", "01", "0f", "00", "05", "00", "25", "05"}, pattern));
	ASSERT_EQ(w.status, 0) << w.err;
	std::string want;
	for (int i = 0; i < 37; i++)
		want += std::to_string(5 + i) + " " + std::to_string(pattern[static_cast<size_t>(i / 8)] >> (i % 8) & 1) + "\n";
	result r = query({"-d", "bit", "@", "01", "01", "00", "05", "00", "25"});
	EXPECT_EQ(r.out, want);
	EXPECT_EQ(r.status, 0) << r.err;

	/* An exception is printed as now, values or not. */
	r = query({"-d", "f32", "@", "01", "03", "00", "7c", "00", "02"});
	EXPECT_EQ(r.out, "01 83 02 c0 f1\n");
	EXPECT_EQ(r.err, "rtuquery: exception 02: illegal data address\n");
	EXPECT_EQ(r.status, 3);
}

/* Sets a speed by its number, as pyserial does for one outside the table. */
static bool other(int fd, speed_t baud)
{
	termios2 t = {};
	if (ioctl(fd, TCGETS2, &t))
		return false;
	t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CBAUD)) | 0010000; /* BOTHER */
	t.c_ispeed = t.c_ospeed = baud;
	return ioctl(fd, TCSETS2, &t) == 0;
}

static speed_t speed(int fd)
{
	termios2 t = {};
	return ioctl(fd, TCGETS2, &t) ? 0 : t.c_ospeed;
}

/*
 * A device and its adapter played on a pseudo-terminal: the responder reads
 * the request, hands it back if the adapter echoes, and sends the pieces of
 * its reply, each after a wait; or it keeps the line busy and reads nothing.
 * rtuquery takes only the answer to its request, puts nothing else on the
 * line, and leaves the port as it found it, even a cooked one or one at a
 * speed outside the table.
 */
TEST(rtuquery, takes_only_the_answer_to_its_request)
{
	const std::string r03 = "01 03 02 12 34 b5 33", q03 = "01 03 00 00 00 01";
	const std::string copy = "rtuquery: the reply is a copy of the request: the adapter echoes; use -e\n";
	std::string q10 = "01 10 00 00 00 2e 5c", r125 = "01 03 fa";
	for (int i = 0; i < 92; i++)
		q10 += " a5";
	for (int i = 0; i < 250; i++)
		r125 += " 5a";
	r125 = hexline(bytes(r125));
	r125.pop_back();
	struct piece {
		int wait; /* ms */
		std::string hex;
	};
	const struct {
		std::vector<std::string> opts;
		std::string frame;
		bool echo;
		std::vector<piece> reply;
		std::string out;
		int status;
		std::string err; /* @ is the port */
		int ms;          /* how long it takes */
		std::string how; /* a "cooked" port, stdout "full", "closed" or a "pipe" with no reader, "stderr closed",
				    started with "no env", ended by a signal ("SIGINT"...) alone or in a shell "loop",
				    a "busy" line, the port "locked" by another program or "freed" by it, at a
				    speed outside the table, "250000" or "1000", a port that "fails" at the second read, a "trickle"
				    of a byte every 50 ms for 3 s after the reply */
	} cases[] = {
		{{}, q03, false, {{0, r03}}, r03 + "\n", 0, "", 0, "cooked"},
		{{"-e"}, q03, true, {{300, r03}}, r03 + "\n", 0, "", 300},
		/* a copy that comes as late as an answer is judged as an answer */
		{{}, q03, false, {{10, q03 + " 84 0a"}}, q03 + " 84 0a\n", 1, copy, 10},
		{{"-e"}, q03, true, {{10, q03 + " 84 0a"}}, q03 + " 84 0a\n", 1,
		 "rtuquery: a second copy of the request, not a reply\n", 10},
		{{"-e", "-t", "0.3"}, q03, false, {}, "", 1, "rtuquery: no echo\n", 300},
		{{"-e"}, q03, false, {{0, r03}}, "", 1,
		 "rtuquery: no echo, but a reply: the adapter does not echo; leave out -e\n", 0},
		{{"-e", "-t", "0.3"}, "01 06 00 01 00 03", false, {{0, "01 06 00 01 00 03 98 0b"}}, "", 1,
		 "rtuquery: no reply after the echo (a reply to 06 is a copy of the request: is -e right?)\n", 300},
		/* a write of 46 registers, echoed in 101 bytes */
		{{"-e"}, q10, true, {{0, "01 10 00 00 00 2e 40 15"}}, "01 10 00 00 00 2e 40 15\n", 0, "", 0},
		{{}, q03, false, {{0, "01 03 02 12 34 b5 34"}}, "01 03 02 12 34 b5 34\n", 1, "rtuquery: bad check bytes\n", 0},
		{{}, q03, false, {{0, "02 03 02 12 34 f1 33"}}, "02 03 02 12 34 f1 33\n", 1,
		 "rtuquery: reply from unit 02, not 01\n", 0},
		{{}, q03, false, {{0, "01 04 02 12 34 b4 47"}}, "01 04 02 12 34 b4 47\n", 1,
		 "rtuquery: reply to function 04, not 03\n", 0},
		/* late, to an earlier write */
		{{}, "01 06 00 02 00 0b", false, {{0, "01 06 00 01 00 0a 58 0d"}}, "01 06 00 01 00 0a 58 0d\n", 1,
		 "rtuquery: reply does not match the request\n", 0},
		/* one coil comes in one byte, not two */
		{{}, "01 01 00 00 00 01", false, {{0, "01 01 02 00 00 b9 fc"}}, "01 01 02 00 00 b9 fc\n", 1,
		 "rtuquery: reply does not match the request\n", 0},
		{{}, "01 01 00 00 00 01", false, {{0, "01 01 01 01 90 48"}}, "01 01 01 01 90 48\n", 0, "", 0},
		{{}, q03, false, {{0, "01 03 02 12"}}, "01 03 02 12\n", 1, "rtuquery: reply cut short: 4 of 7 bytes\n", 100},
		{{}, q03, false, {{0, "01"}}, "01\n", 1, "rtuquery: reply cut short: 1 of at least 5 bytes\n", 100},
		/* a gap inside is the end, even where the bytes so far are the request's */
		{{}, "01 06 00 01 00 03", false, {{0, "01 06 00"}, {130, "01 00 03 98 0b"}}, "01 06 00\n", 1,
		 "rtuquery: reply cut short: 3 of 8 bytes\n", 100},
		{{}, q03, false, {{0, "01 03 02"}, {40, "12 34"}, {40, "b5 33"}}, r03 + "\n", 0, "", 80},
		/* at 50 baud a character takes 0.2 s: no gap of 0.15 s cuts the reply, 0.7 s of silence comes first */
		{{"-b", "50"}, q03, false, {{0, "01 03 02"}, {150, "12 34"}, {150, "b5 33"}}, r03 + "\n", 0, "", 1000},
		{{}, q03, false, {{0, "01 83 0c 41 35"}}, "01 83 0c 41 35\n", 3, "rtuquery: exception 0c\n", 0},
		/* an adapter pulled in the middle of the reply: what came, and why no more */
		{{}, q03, false, {{0, "01 03 02"}, {40, "12 34 b5 33"}}, "01 03 02\n", 1, "rtuquery: cannot read @: Input/output error\n", 40,
		 "fails"},
		/* what follows the frame is not part of it, and no silence after it is waited for */
		{{}, q03, false, {{0, r03 + " 01 03"}}, r03 + "\n", 0, "", 0},
		{{}, q03, false, {{0, r03}}, r03 + "\n", 0, "", 0, "trickle"},
		{{"-t", "0.3"}, q03, false, {}, "", 1, "rtuquery: no reply\n", 300},
		{{}, q03, false, {{0, r03}}, "", 1, "rtuquery: cannot print the reply: No space left on device\n", 0, "full"},
		{{}, q03, false, {{0, r03}}, "", 1, "rtuquery: cannot print the reply: Bad file descriptor\n", 0, "closed"},
		{{"-t", "0.3"}, q03, false, {}, "", 1, "", 300, "stderr closed"},
		{{}, q03, false, {{0, r03}}, "", 128 + SIGPIPE, "", 0, "pipe"},
		{{}, "01 03 00 00 00 7d", false, {{0, r125}}, r125 + "\n", 0, "", 0},
		/* a mask write is answered by a copy of the request */
		{{}, "01 16 00 04 00 f2 00 25", false, {{0, "01 16 00 04 00 f2 00 25 67 ee"}},
		 "01 16 00 04 00 f2 00 25 67 ee\n", 0, "", 0},
		/* at 300 baud, silence is 117 ms: no pause of the responder's is taken for it */
		{{"-t", "0.2", "-b", "300"}, q03, false, {}, "", 1, "rtuquery: the line is busy\n", 200, "busy"},
		/* at 1000 baud, 35 ms: a byte every 20 ms keeps the line busy */
		{{"-t", "0.2"}, q03, false, {}, "", 1, "rtuquery: the line is busy\n", 200, "1000"},
		{{"-b", "19200", "-f", "8n1"}, q03, false, {{0, r03}}, r03 + "\n", 0, "", 0},
		{{"-b", "9600"}, q03, false, {{0, r03}}, r03 + "\n", 0, "", 0, "250000"},
		{{"-f", "8E1"}, q03, false, {}, "", 2, "rtuquery: @ does not take 8E1\n", 0},
		{{"-r"}, q03, false, {}, "", 2,
		 "rtuquery: no RS-485 mode on @: leave out -r, the adapter switches direction itself\n", 0},
		{{}, q03, false, {{0, r03}}, r03 + "\n", 0, "", 0, "no env"},
		{{"-t", "5"}, q03, false, {}, "", 128 + SIGTERM, "", 300, "SIGTERM"},
		{{"-t", "5"}, q03, false, {}, "", 128 + SIGINT, "", 300, "SIGINT"},
		{{"-t", "5"}, q03, false, {}, "", 128 + SIGQUIT, "", 300, "SIGQUIT"},
		{{"-t", "5"}, q03, false, {}, "", 128 + SIGINT, "", 300, "loop"},
		{{"-t", "0.2"}, q03, false, {}, "", 1, "rtuquery: @ is in use by another program\n", 200, "locked"},
		{{}, q03, false, {{0, r03}}, r03 + "\n", 0, "", 100, "freed"},
	};
	/* SIGQUIT would leave a core behind */
	rlimit none = {0, 0};
	setrlimit(RLIMIT_CORE, &none);
	for (auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.opts) + " " + c.frame + " " + c.how);
		int tty;
		std::string name;
		int master = rawpty(&tty, &name);
		ASSERT_GE(master, 0);
		if (c.how == "cooked") {
			termios t;
			tcgetattr(tty, &t);
			t.c_iflag |= ICRNL | IXON;
			t.c_oflag |= OPOST;
			t.c_lflag |= ICANON | ECHO | ISIG;
			tcsetattr(tty, TCSANOW, &t);
		}
		if (c.how == "250000" || c.how == "1000")
			ASSERT_TRUE(other(tty, static_cast<speed_t>(std::stoul(c.how))));
		if (c.how == "locked" || c.how == "freed")
			ASSERT_EQ(flock(tty, LOCK_EX), 0);
		std::string before = settings(name), all = whole(tty);
		/* the speed asked for, during the exchange */
		auto b = std::find(c.opts.begin(), c.opts.end(), "-b");
		speed_t asked = b == c.opts.end() ? 0 : static_cast<speed_t>(std::stoul(b[1]));
		std::string req = bytes(c.frame + " 00 00");
		pid_t pid = fork();
		if (pid == 0) {
			/* as fast as the line takes them, with no pause; or a byte every 20 ms */
			for (std::string noise(4096, '\x55'); c.how == "busy";) {
				if (write(master, noise.data(), noise.size()) < 0)
					_exit(1);
			}
			for (; c.how == "1000"; usleep(20000)) {
				if (write(master, "\x55", 1) < 0)
					_exit(1);
			}
			if (c.how == "freed") {
				usleep(100000);
				flock(tty, LOCK_UN);
			}
			/* An adapter's echo comes back as the bytes leave: spinning, not sleeping in read, hands it back as soon. */
			std::string got(req.size(), '\0');
			if (c.echo)
				fcntl(master, F_SETFL, O_NONBLOCK);
			for (size_t n = 0; n < got.size();) {
				ssize_t k = read(master, &got[n], got.size() - n);
				if (k == 0 || (k < 0 && errno != EAGAIN))
					_exit(1);
				n += k > 0 ? static_cast<size_t>(k) : 0;
			}
			if (asked && speed(tty) != asked)
				_exit(1);
			if (c.echo && write(master, got.data(), got.size()) < 0)
				_exit(1);
			for (auto &p : c.reply) {
				usleep(static_cast<useconds_t>(p.wait) * 1000);
				std::string r = bytes(p.hex);
				if (write(master, r.data(), r.size()) != static_cast<ssize_t>(r.size()))
					_exit(1);
			}
			for (int i = 0; c.how == "trickle" && i < 60; i++) {
				usleep(50000);
				if (write(master, "\x55", 1) != 1)
					_exit(1);
			}
			_exit(0);
		}
		std::vector<std::string> args = c.opts;
		args.push_back(name);
		args = withbytes(args, c.frame);
		std::vector<std::string> via;
		std::string prog = RTUQUERY;
		if (c.how == "no env")
			via = {"/usr/bin/env", "-i"};
		if (c.how.rfind("SIG", 0) == 0)
			via = {TIMEOUT, "--preserve-status", "-s", c.how.substr(3), "0.3"};
		/* the signal to the shell and rtuquery alike, as ^C sends it */
		if (c.how == "loop")
			via = {TIMEOUT, "--preserve-status", "-s", "INT", "0.3", "/bin/bash", "-c",
			       "for i in 1 2 3; do \"$@\"; done; echo after", "bash"};
		if (c.how == "fails")
			via = {STRACE, "-o", "/dev/null", "-P", name, "-e", "inject=read:error=EIO:when=2"};
		if (c.how == "closed" || c.how == "stderr closed")
			via = {"/bin/sh", "-c", c.how == "closed" ? "exec \"$0\" \"$@\" >&-" : "exec \"$0\" \"$@\" 2>&-"};
		if (!via.empty()) {
			args.insert(args.begin(), RTUQUERY);
			args.insert(args.begin(), via.begin() + 1, via.end());
			prog = via[0];
		}
		int fds[2] = {-1, -1};
		if (c.how == "full")
			fds[1] = open("/dev/full", O_WRONLY);
		if (c.how == "pipe" && pipe(fds) == 0)
			close(fds[0]);
		auto t0 = std::chrono::steady_clock::now();
		result r = run(prog, args, fds[1]);
		std::chrono::duration<double, std::milli> t = std::chrono::steady_clock::now() - t0;
		kill(pid, SIGKILL);
		int ws = 0;
		waitpid(pid, &ws, 0);
		EXPECT_EQ(r.out, c.out);
		std::string err = c.err;
		if (err.find('@') != std::string::npos)
			err.replace(err.find('@'), 1, name);
		EXPECT_EQ(r.err, err);
		EXPECT_EQ(r.status, c.status);
		/*
		 * The waits it must make, and none it need not: a wait for silence
		 * after an answer would last as long as the trickle, 3 s. Within
		 * that, a busy machine may take its time.
		 */
		EXPECT_GE(t.count(), c.ms);
		EXPECT_LT(t.count(), c.ms + 500);
		EXPECT_FALSE(WIFEXITED(ws) && WEXITSTATUS(ws)) << "the responder did not get the request it expected";
		EXPECT_EQ(settings(name), before) << "the port's settings are not as they were found";
		EXPECT_EQ(whole(tty), all) << "the port's settings are not as they were found";
		/* nothing of ours on the line but the request */
		char left[64];
		pollfd p = {master, POLLIN, 0};
		EXPECT_EQ(poll(&p, 1, 0) > 0 ? read(master, left, sizeof left) : 0, 0);
		if (fds[1] >= 0)
			close(fds[1]);
		close(tty);
		close(master);
	}
}

/*
 * The README's poll and scan at once on one port, where units 01 and 07
 * answer at once, each with its own value: each rtuquery holds the port for
 * its exchange, so every answer that exits 0 is its own request's. A scan's
 * query that the poll kept from the port for all its -t says so.
 */
TEST(rtuquery, two_loops_on_one_port_get_only_their_own_answers)
{
	int tty;
	std::string name;
	int master = rawpty(&tty, &name);
	ASSERT_GE(master, 0);
	std::string before = settings(name), all = whole(tty);
	const std::string r01 = "01 03 02 12 34 b5 33", r07 = "07 03 02 77 77 57 92";
	pid_t pid = fork();
	if (pid == 0) {
		std::string got;
		for (char b[256];;) {
			ssize_t k = read(master, b, sizeof b);
			if (k <= 0)
				_exit(0);
			for (got.append(b, static_cast<size_t>(k)); got.size() >= 8; got.erase(0, 8)) {
				std::string r = bytes(got[0] == 1 ? r01 : r07);
				if ((got[0] == 1 || got[0] == 7) && write(master, r.data(), r.size()) < 0)
					_exit(1);
			}
		}
	}
	std::string poll = "for i in $(seq 60); do r=$(\"$0\" \"$1\" 01 03 00 00 00 01); echo \"$? $r\"; sleep 0.01; done";
	std::string scan = "for k in 1 2 3 4 5; do for u in 01 02 07 08; do"
			   " r=$(\"$0\" -t 0.05 \"$1\" $u 03 00 00 00 01 2>&1); echo \"$? $u $r\"; done; done";
	FILE *polled = popen(("exec /bin/sh -c '" + poll + "' " + RTUQUERY + " " + name).c_str(), "r");
	ASSERT_TRUE(polled);
	result scanned = run("/bin/sh", {"-c", scan, RTUQUERY, name});
	std::string p;
	for (char b[4096]; fgets(b, sizeof b, polled);)
		p += b;
	pclose(polled);
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);

	int answered = 0;
	std::istringstream pl(p);
	for (std::string l; getline(pl, l);) {
		if (l[0] == '0')
			EXPECT_EQ(l, "0 " + r01) << "the poll took another's answer";
		answered += l[0] == '0';
	}
	EXPECT_GE(answered, 50) << p;
	std::istringstream sl(scanned.out);
	int found = 0;
	for (std::string l; getline(sl, l);) {
		std::string u = l.substr(2, 2), held = "1 " + u + " rtuquery: " + name + " is in use by another program";
		bool there = u == "01" || u == "07";
		if (l != held)
			EXPECT_EQ(l, there ? "0 " + u + " " + (u == "01" ? r01 : r07) : "1 " + u + " rtuquery: no reply")
				<< "the scan missed a unit or took another's answer";
		found += l[0] == '0';
	}
	EXPECT_GT(found, 0) << scanned.out;
	EXPECT_EQ(settings(name), before) << "the port's settings are not as they were found";
	EXPECT_EQ(whole(tty), all);
	close(tty);
	close(master);
}

/*
 * A pseudo-terminal has no wire and no adapter: whatever comes back, and
 * however soon, is from a program on its other side. A copy of the request
 * is the answer there for the functions that are answered by one (05, 06,
 * 08, 15 and 16), as a simulator sends it within microseconds, here a tap
 * that hands back each byte as it reads it; for a read it is still an
 * echo. With -e the tap plays an adapter that echoes, and a unit answers
 * 5 ms later. At 1200, 9600 and 115200 baud alike.
 */
TEST(rtuquery, on_a_pseudo_terminal_a_copy_is_the_answer)
{
	const std::string copy = "rtuquery: the reply is a copy of the request: the adapter echoes; use -e\n";
	const struct {
		bool echo;
		std::string frame;
		bool unit;
		int status;
		std::string err;
	} cases[] = {
		{false, "01 05 00 01 ff 00", false, 0, ""},
		{false, "01 06 00 01 00 03", false, 0, ""},
		{false, "01 08 00 00 a5 37", false, 0, ""},
		{false, "01 15 0d 06 00 04 00 07 00 03 06 af 04 be 10 0d", false, 0, ""},
		{false, "01 16 00 04 00 f2 00 25", false, 0, ""},
		{false, "01 03 00 00 00 01", true, 1, copy},
		{true, "01 06 00 01 00 03", true, 0, ""},
		{true, "01 15 0d 06 00 04 00 07 00 03 06 af 04 be 10 0d", true, 0, ""},
	};
	for (const char *speed : {"1200", "9600", "115200"}) {
		for (auto &c : cases) {
			SCOPED_TRACE(std::string(speed) + (c.echo ? " -e " : " ") + c.frame);
			const std::string req = hexline(bytes(c.frame + " ")), sent = bytes(req);
			int tty;
			std::string name;
			int master = rawpty(&tty, &name);
			ASSERT_GE(master, 0);
			pid_t pid = fork();
			if (pid == 0) {
				char b;
				for (size_t n = 0; n < sent.size(); n++)
					if (read(master, &b, 1) != 1 || write(master, &b, 1) != 1)
						_exit(1);
				usleep(5000);
				_exit(c.unit && write(master, sent.data(), sent.size()) != static_cast<ssize_t>(sent.size()));
			}
			std::vector<std::string> args = {"-b", speed, name};
			if (c.echo)
				args.insert(args.begin(), "-e");
			result r = run(RTUQUERY, withbytes(args, c.frame));
			waitpid(pid, nullptr, 0);
			close(tty);
			close(master);
			EXPECT_EQ(r.out, req);
			EXPECT_EQ(r.err, c.err);
			EXPECT_EQ(r.status, c.status);
		}
	}
}

/*
 * What a user tries first: libmodbus's RTU server behind socat's virtual
 * null-modem, at 1200, 9600 and 115200 baud, where its answers come within
 * microseconds of the request, and a write's answer is a copy of it or
 * reads as a Modbus TCP header (01 10 00 00 00 02 41 c8). With -e,
 * rtuquery says what an adapter that does not echo is told.
 */
TEST(null_modem, writes_are_answered_at_any_speed)
{
	char dir[] = "/tmp/null-modem-XXXXXX";
	ASSERT_TRUE(mkdtemp(dir));
	pid_t socat = nullmodem(dir);
	const struct {
		std::string frame, answer; /* without check bytes; none: a copy */
	} writes[] = {
		{"01 05 00 00 ff 00", ""},
		{"01 06 00 00 00 02", ""},
		{"01 0f 00 00 00 02 01 03", "01 0f 00 00 00 02"},
		{"01 10 00 00 00 02 04 41 cc 00 00", "01 10 00 00 00 02"},
		{"01 16 00 00 ff f0 00 05", ""},
	};
	for (const char *speed : {"1200", "9600", "115200"}) {
		pid_t server = rtuserver(std::string(dir) + "/b", atoi(speed));
		ASSERT_GT(server, 0);
		for (auto &w : writes) {
			SCOPED_TRACE(std::string(speed) + " baud, " + w.frame);
			std::vector<std::string> args = withbytes({"-b", speed, "-t", "0.3", std::string(dir) + "/a"}, w.frame);
			for (int round = 0; round < 5; round++) {
				result r = run(RTUQUERY, args);
				EXPECT_EQ(r.out, hexline(bytes((w.answer.empty() ? w.frame : w.answer) + " ")));
				EXPECT_EQ(r.err, "");
				EXPECT_EQ(r.status, 0);
			}
			args[3] = "0.1";
			args.insert(args.begin(), "-e");
			result r = run(RTUQUERY, args);
			EXPECT_EQ(r.err, w.answer.empty() ? "rtuquery: no reply after the echo (a reply to " + w.frame.substr(3, 2) +
								    " is a copy of the request: is -e right?)\n"
							  : "rtuquery: no echo, but a reply: the adapter does not echo; leave out -e\n");
			EXPECT_EQ(r.status, 1);
		}
		end(server);
	}
	end(socat);
	run("/bin/rm", {"-rf", dir});
}
