/*
 * rtuquery through a gateway. A transparent one: a TCP listener on loopback
 * joined to a pseudo-terminal on which libmodbus's RTU server answers, that
 * hands the line's bytes over in segments of its own choosing and can echo.
 * A Modbus TCP server from libmodbus. And gateways that answer every public
 * function in pieces, or misbehave in every way a network allows.
 */
#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <random>
#include <regex>
#include <sched.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include "listener.h"
#include "devices.h"
#include "protocol.h"
#include "run.h"

/* How the transparent gateway hands over what comes from the line. */
struct plan {
	int hold;           /* ms it gathers the line's bytes for, from the first, into one segment */
	int piece, pause;   /* bytes a segment (0: all gathered) and ms between them */
	std::string before; /* handed over as the connection is taken */
	std::string stale;  /* handed over in front of the first bytes from the line */
	std::string after;  /* handed over behind them, in the same segment */
	bool echo;          /* hands back every byte it is sent */
};

static std::string unhex(const std::string &h)
{
	std::string b;
	for (size_t i = 0; i + 1 < h.size(); i += 3)
		b += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
	return b;
}

static void pieces(int fd, const std::string &s, int piece, int pause)
{
	for (size_t at = 0; at < s.size(); at += static_cast<size_t>(piece)) {
		if (at)
			usleep(static_cast<useconds_t>(pause) * 1000);
		if (!put(fd, s.substr(at, static_cast<size_t>(piece))))
			return;
	}
}

/* The gateway's work for one client: what comes from it goes to the line, what the line says goes back as planned. */
static void relay(int client, int line, const plan &p)
{
	put(client, p.before);
	bool first = true;
	for (;;) {
		pollfd f[2] = {{client, POLLIN, 0}, {line, POLLIN, 0}};
		if (poll(f, 2, -1) < 0)
			return;
		char b[512];
		if (f[0].revents) {
			ssize_t k = read(client, b, sizeof b);
			if (k <= 0 || write(line, b, static_cast<size_t>(k)) != k || (p.echo && !put(client, std::string(b, static_cast<size_t>(k)))))
				return;
		}
		if (f[1].revents & POLLIN) {
			usleep(static_cast<useconds_t>(p.hold) * 1000);
			ssize_t k = read(line, b, sizeof b);
			if (k <= 0)
				return;
			std::string seg = (first ? p.stale : "") + std::string(b, static_cast<size_t>(k)) + (first ? p.after : "");
			first = false;
			pieces(client, seg, p.piece ? p.piece : static_cast<int>(seg.size()), p.pause);
		}
	}
}

/* Bytes as rtuquery prints them: hex, a space between, a newline at the end; none for none. */
static std::string line(const std::string &b)
{
	std::string h = hex(b);
	if (!h.empty())
		h.back() = '\n';
	return h;
}

struct outcome {
	std::string out, err;
	int status;
	double ms;
};

static outcome query(const std::vector<std::string> &args)
{
	auto t0 = std::chrono::steady_clock::now();
	result r = run(RTUQUERY, args);
	std::chrono::duration<double, std::milli> t = std::chrono::steady_clock::now() - t0;
	return {r.out, r.err, r.status, t.count()};
}

/* What rtuquery printed, said and returned, and that it took at least, and less than, so many ms. */
static void expect(const outcome &o, const std::string &out, const std::string &err, int status, double least, double most)
{
	EXPECT_EQ(o.out, out);
	EXPECT_EQ(o.err, err);
	EXPECT_EQ(o.status, status);
	EXPECT_GE(o.ms, least);
	EXPECT_LT(o.ms, most);
}

static std::vector<std::string> argv(std::vector<std::string> opts, const std::string &dev, const std::string &frame)
{
	opts.push_back(dev);
	return withbytes(opts, frame);
}

TEST(gateway, a_transparent_one_hands_over_the_answer_in_any_segments)
{
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
	pid_t server = rtuserver(ptsname(master));
	ASSERT_GT(server, 0);
	std::string all = "\x01\x03\xfa";
	for (int i = 0; i < 125; i++) {
		unsigned v = 0x0101u * static_cast<unsigned>(i) + 0x1234u;
		all += {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
	}
	std::uint32_t c = reference(reinterpret_cast<const unsigned char *>(all.data()), all.size());
	all += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
	const std::string q03 = "01 03 00 00 00 01", r03 = "01 03 02 12 34 b5 33\n";
	const struct {
		plan p;
		std::vector<std::string> opts;
		std::string frame, out;
		int status;
		std::string err;
		int ms; /* at least */
	} cases[] = {
		{{}, {}, q03, r03, 0, "", 0},
		/* a frame in several segments, a byte or three at a time */
		{{0, 1, 20}, {}, q03, r03, 0, "", 0},
		{{0, 16, 5}, {}, "01 03 00 00 00 7d", line(all), 0, "", 0},
		/* two frames in one segment: what follows the answer is not part of it */
		{{30, 0, 0, "", "", unhex("02 03 02 00 00 fc 44")}, {}, q03, r03, 0, "", 0},
		/* stale bytes: waiting before the request, or handed over before the answer */
		{{0, 0, 0, unhex("01 03 02 12")}, {}, q03, r03, 0, "", 0},
		{{0, 2, 10, "", unhex("ff 12 01 03")}, {}, q03, r03, 0, "", 0},
		{{0, 0, 0, "", "", "", true}, {"-e"}, q03, r03, 0, "", 0},
		/* an echo that no answer follows (one that did would be the answer, with the echo passed over) */
		{{0, 0, 0, "", "", "", true}, {}, "02 03 00 00 00 01", line(unhex("02 03 00 00 00 01 84 39")), 1,
		 "rtuquery: the reply is a copy of the request: the adapter echoes; use -e\n", 0},
		{{}, {}, "01 03 00 7d 00 01", "01 83 02 c0 f1\n", 3, "rtuquery: exception 02: illegal data address\n", 0},
		{{}, {}, "01 06 00 01 ab cd", "01 06 00 01 ab cd 66 af\n", 0, "", 0},
		{{}, {}, "01 03 00 01 00 01", "01 03 02 ab cd 06 e1\n", 0, "", 0},
		/* a broadcast goes out, and no one answers it */
		{{}, {}, "00 06 00 01 00 05", "", 0, "", 100},
		{{}, {"-t", "0.3"}, "02 03 00 00 00 01", "", 1, "rtuquery: no reply\n", 300},
		/* Modbus TCP, put on the line as it stands, where no unit takes it */
		{{}, {"-m", "tcp", "-t", "0.3"}, q03, "", 1, "rtuquery: no reply\n", 300},
	};
	for (auto &k : cases) {
		int port;
		pid_t gw = listener(&port, [&](int client) { relay(client, master, k.p); });
		ASSERT_GT(gw, 0);
		std::string dev = "127.0.0.1:" + std::to_string(port);
		SCOPED_TRACE(testing::PrintToString(k.opts) + " " + k.frame + " stale " + hex(k.p.stale));
		expect(query(argv(k.opts, dev, k.frame)), k.out, k.err, k.status, k.ms, k.ms + 400);
		end(gw);
		/*
		 * libmodbus turns a deaf ear for a while after a frame it did not
		 * take; and what the unit said after rtuquery had gone (its answer
		 * behind an echo) is no part of the next case: the line is emptied.
		 */
		usleep(k.status == 1 ? 600000 : 20000);
		pollfd left = {master, POLLIN, 0};
		for (char b[512]; poll(&left, 1, 0) > 0 && read(master, b, sizeof b) > 0;)
			;
	}
	end(server);
	close(master);
}

TEST(gateway, modbus_tcp_is_answered_behind_its_header)
{
	int port, gwport;
	pid_t server = tcpserver(&port);
	ASSERT_GT(server, 0);
	/* and a transparent gateway whose unit answers at once */
	pid_t rtu = listener(&gwport, [](int c) {
		if (get(c, 8).size() == 8)
			put(c, unhex("01 03 02 12 34 b5 33"));
	});
	/* and a gateway in Modbus TCP mode whose line fails: unit 02 is on no path it has, unit 01 is silent */
	int excport;
	pid_t exc = listener(&excport, [](int c) {
		std::string h = get(c, 12);
		if (h.size() == 12)
			put(c, h.substr(0, 4) + unhex("00 03") + h[6] + static_cast<char>(h[7] | 0x80) + (h[6] == 2 ? '\x0a' : '\x0b'));
		get(c, 1);
	});
	const std::string p = std::to_string(port), at = "127.0.0.1:" + p, failing = "127.0.0.1:" + std::to_string(excport);
	const struct {
		std::vector<std::string> opts;
		std::string dev, frame, out;
		int status;
		std::string err;
		int ms; /* at least */
	} cases[] = {
		{{"-m", "tcp"}, at, "01 03 00 00 00 02", "01 03 04 12 34 13 35\n", 0, ""},
		{{"-m", "tcp"}, "localhost:" + p, "01 03 00 00 00 01", "01 03 02 12 34\n", 0, ""},
		{{"-m", "tcp"}, at, "01 06 00 02 ab cd", "01 06 00 02 ab cd\n", 0, ""},
		{{"-m", "tcp"}, at, "01 03 00 02 00 01", "01 03 02 ab cd\n", 0, ""},
		{{"-m", "tcp"}, at, "01 03 00 7d 00 01", "01 83 02\n", 3, "rtuquery: exception 02: illegal data address\n"},
		{{"-m", "tcp"}, failing, "01 03 00 00 00 01", "01 83 0b\n", 3, "rtuquery: exception 0b: gateway target device failed to respond\n"},
		{{"-m", "tcp"}, failing, "02 03 00 00 00 01", "02 83 0a\n", 3, "rtuquery: exception 0a: gateway path unavailable\n"},
		/* unit 00 is asked as any other, and this server answers it as itself */
		{{"-m", "tcp"}, at, "00 03 00 00 00 01", "00 03 02 12 34\n", 0, ""},
		/* the wrong mode, named from either side (libmodbus waits 0.5 s for the rest of what it takes for a frame) */
		{{}, at, "01 03 00 00 00 01", "01 03 00 00 00 03 84 8a 01\n", 1, "rtuquery: " + at + " answers in Modbus TCP: try -m tcp\n", 500},
		{{"-m", "tcp"}, "127.0.0.1:" + std::to_string(gwport), "01 03 00 00 00 01", "01 03 02 12 34 b5 33\n", 1,
		 "rtuquery: 127.0.0.1:" + std::to_string(gwport) + " answers in RTU framing: leave out -m tcp\n"},
		/* HOST alone is HOST:502 */
		{{"-m", "tcp", "-t", "0.3"}, "127.0.0.1", "01 03 00 00 00 01", "", 1,
		 "rtuquery: cannot connect to 127.0.0.1:502: Connection refused\n"},
	};
	for (auto &k : cases) {
		SCOPED_TRACE(testing::PrintToString(k.opts) + " " + k.dev + " " + k.frame);
		expect(query(argv(k.opts, k.dev, k.frame)), k.out, k.err, k.status, k.ms, k.ms + 300);
	}
	end(rtu);
	end(exc);

	/* rtudump on a Modbus TCP server watches nothing: the server says nothing unasked, and rtudump asks nothing. */
	result r = run(TIMEOUT, {"--preserve-status", "-s", "INT", "0.5", RTUDUMP, at});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "rtudump: 0 frames, 0 bytes of noise\n");
	EXPECT_EQ(r.status, 128 + SIGINT);
	end(server);
}

/*
 * Every public function's answer, from the protocol's examples, handed over
 * a byte at a time and in random pieces, with more bytes after it; in RTU
 * framing and behind a Modbus TCP header that repeats the request's
 * transaction. rtuquery prints the answer whole, and only it.
 */
TEST(gateway, every_function_is_framed_across_segments)
{
	std::mt19937 rng(31);
	for (auto &x : protocol) {
		SCOPED_TRACE(x.name);
		std::string req(x.req.begin(), x.req.end()), resp(x.resp.begin(), x.resp.end());
		std::string pdu = resp.substr(0, resp.size() - 2), ask = hex(req.substr(0, req.size() - 2));
		ask.pop_back();
		int status = resp[1] & 0x80 ? 3 : 0;
		for (int tcp = 0; tcp < 2; tcp++) {
			for (int piece : {1, 0}) {
				int port;
				unsigned seed = rng();
				pid_t gw = listener(&port, [&](int c) {
					std::mt19937 r(seed);
					std::string answer = resp;
					if (tcp) {
						std::string h = get(c, 6);
						std::string got = get(c, h.size() == 6 ? static_cast<size_t>(h[5]) : 0);
						if (got != req.substr(0, req.size() - 2))
							return;
						answer = h.substr(0, 4) + std::string{0, static_cast<char>(pdu.size())} + pdu;
					} else if (get(c, req.size()) != req) {
						return;
					}
					answer += "\xff\x01";
					for (size_t at = 0; at < answer.size();) {
						size_t n = piece ? 1 : 1 + r() % 6;
						put(c, answer.substr(at, n));
						at += n;
						usleep(3000);
					}
					get(c, 1);
				});
				outcome o = query(argv(tcp ? std::vector<std::string>{"-m", "tcp"} : std::vector<std::string>{},
						       "127.0.0.1:" + std::to_string(port), ask));
				EXPECT_EQ(o.out, line(tcp ? pdu : resp)) << (tcp ? "Modbus TCP" : "RTU") << ", pieces of " << piece;
				EXPECT_EQ(o.status, status) << o.err;
				end(gw);
			}
		}
	}
}

/*
 * Gateways that fail or misbehave: each gives its message and status 1,
 * within -t and the gap that ends a reply, and never exit 0.
 */
TEST(gateway, every_failure_is_told_and_none_passes)
{
	const std::string q03 = "01 03 00 00 00 01";
	auto reading = [](size_t n, const std::string &then) {
		return [n, then](int c) {
			if (get(c, n).size() == n)
				put(c, then);
			usleep(800000);
		};
	};
	auto endless = [](bool first) {
		return [first](int c) {
			if (!first)
				get(c, 8);
			std::string noise(1024, '\x55');
			while (put(c, noise))
				;
		};
	};
	const struct {
		std::string name;
		std::function<void(int)> serve; /* none: nothing listens there */
		std::vector<std::string> opts;
		std::string err; /* a regular expression, @ for the gateway */
		int ms;          /* at most */
	} cases[] = {
		{"refused", nullptr, {}, "rtuquery: cannot connect to @: Connection refused\n", 100},
		{"reset", [](int c) {
			 get(c, 8);
			 linger l = {1, 0};
			 setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
		 }, {}, "rtuquery: cannot read @: Connection reset by peer\n", 100},
		{"closed", [](int c) { get(c, 8); }, {}, "rtuquery: @ closed the connection\n", 100},
		{"closed in Modbus TCP", [](int c) { get(c, 12); }, {"-m", "tcp"}, "rtuquery: @ closed the connection\n", 100},
		{"stale bytes alone", reading(8, unhex("ff ff 01")), {}, "rtuquery: reply cut short: 3 of 5 bytes\n", 700},
		{"endless bytes after the request", endless(false), {}, "rtuquery: bad check bytes\n", 100},
		/* busy, if the bytes never pause before the request; else not the answer */
		{"endless bytes", endless(true), {"-t", "0.3"}, "rtuquery: (the line is busy|bad check bytes)\n", 400},
		{"endless bytes in Modbus TCP", endless(false), {"-m", "tcp"}, "rtuquery: not a Modbus TCP reply: protocol 5555\n", 100},
		{"a length of 65535", reading(12, unhex("00 00 00 00 ff ff 01 03 02 12 34")), {"-m", "tcp"},
		 "rtuquery: not a Modbus TCP reply: length 65535\n", 700},
		{"half a header", reading(12, unhex("00 00 00 00")), {"-m", "tcp"}, "rtuquery: reply cut short: 4 of at least 9 bytes\n", 700},
		{"another protocol", reading(12, unhex("00 00 00 01 00 05 01 03 02 12 34")), {"-m", "tcp"},
		 "rtuquery: not a Modbus TCP reply: protocol 0001\n", 700},
		{"another transaction", reading(12, unhex("00 00 00 00 00 05 01 03 02 12 34")), {"-m", "tcp"},
		 "rtuquery: reply to transaction 0000, not [0-9a-f]{4}\n", 100},
		{"the header's length not the reply's", [](int c) {
			 std::string h = get(c, 12);
			 put(c, h.substr(0, 2) + unhex("00 00 00 07 01 03 02 12 34 56 78"));
			 get(c, 1);
		 }, {"-m", "tcp"}, "rtuquery: the header's length, 7, is not the reply's, 5\n", 100},
	};
	for (auto &k : cases) {
		SCOPED_TRACE(k.name);
		int port;
		pid_t gw = -1;
		if (k.serve) {
			gw = listener(&port, k.serve);
		} else {
			close(listening(&port));
		}
		std::string dev = "127.0.0.1:" + std::to_string(port), err = k.err;
		if (err.find('@') != std::string::npos)
			err.replace(err.find('@'), 1, dev);
		outcome o = query(argv(k.opts, dev, q03));
		EXPECT_TRUE(std::regex_match(o.err, std::regex(err))) << o.err;
		EXPECT_EQ(o.status, 1);
		EXPECT_LT(o.ms, k.ms + 300);
		end(gw);
	}

	/* A connection that is never taken: a listener whose backlog is full. */
	int port, s = listening(&port, 0), fill[4];
	sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	for (int &f : fill) {
		f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
		connect(f, reinterpret_cast<sockaddr *>(&a), sizeof a);
	}
	expect(query(argv({"-t", "0.3"}, "127.0.0.1:" + std::to_string(port), q03)), "",
	       "rtuquery: cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection timed out\n", 1, 300, 600);
	for (int f : fill)
		close(f);
	close(s);

	/* A name that is nowhere: the resolver asked to give up soon. */
	result r = run("/usr/bin/env", {"RES_OPTIONS=timeout:1 attempts:1", RTUQUERY, "nowhere.invalid:502", "01", "03", "00",
					"00", "00", "01"});
	EXPECT_EQ(r.err.rfind("rtuquery: cannot find nowhere.invalid: ", 0), 0u) << r.err;
	EXPECT_EQ(r.status, 1);
}

/*
 * A real transparent gateway: ser2net on one end of socat's null-modem,
 * libmodbus's RTU server on the other, taking two connections. rtuquery
 * gets the answers to writes that read as a Modbus TCP header too (two
 * registers or coils at address 0, 06 of 2 to register 0). rtudump on the
 * second connection gets the replies alone, as a gateway hands the line's
 * bytes to every client, and shows them as replies, values and all; bytes
 * of a reply begun before it connected may come first, as noise.
 */
TEST(gateway, ser2net_hands_on_answers_and_replies)
{
	char dir[] = "/tmp/ser2net-XXXXXX";
	ASSERT_TRUE(mkdtemp(dir));
	pid_t socat = nullmodem(dir), server = rtuserver(std::string(dir) + "/b");
	ASSERT_GT(server, 0);
	int port;
	close(listening(&port));
	const std::string conf = std::string(dir) + "/ser2net.yaml", pidfile = std::string(dir) + "/pid",
			  dev = "127.0.0.1:" + std::to_string(port);
	FILE *f = fopen(conf.c_str(), "w");
	fprintf(f, "connection: &gw\n  accepter: tcp,127.0.0.1,%d\n  connector: serialdev,%s/a,9600n81,local\n"
		   "  options:\n    max-connections: 2\n", port, dir);
	fclose(f);
	pid_t gw = fork();
	if (gw == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		dup2(null, 2);
		execl(SER2NET, SER2NET, "-n", "-u", "-c", conf.c_str(), "-P", pidfile.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	for (int i = 0; i < 500 && query(argv({"-t", "0.1"}, dev, "01 03 00 00 00 02")).status; i++)
		usleep(10000);
	int out[2];
	ASSERT_EQ(pipe(out), 0);
	pid_t dump = fork();
	if (dump == 0) {
		dup2(out[1], 1);
		dup2(open("/dev/null", O_WRONLY), 2);
		execl(TIMEOUT, TIMEOUT, "30", RTUDUMP, "-d", "u16", "-c", "5", dev.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	close(out[1]);
	/* a copy is a request to rtudump, as ever */
	const struct {
		std::string frame, answer, shown;
	} asked[] = {
		{"01 10 00 00 00 02 04 41 cc 00 00", "01 10 00 00 00 02 41 c8", "reply"},
		{"01 0f 00 00 00 02 01 03", "01 0f 00 00 00 02 d4 0a", "reply"},
		{"01 06 00 00 00 02", "01 06 00 00 00 02 08 0b = 2", "request"},
		{"01 03 00 00 00 02", "01 03 04 00 02 00 00 5b f3 = 2 0", "reply"},
		{"01 03 00 7d 00 01", "01 83 02 c0 f1", "exception"},
	};
	std::string shown;
	for (auto &a : asked)
		shown += std::string(shown.empty() ? "" : "|") + a.shown + " " + a.answer;
	int ws = 0;
	for (int i = 0; i < 100 && waitpid(dump, &ws, WNOHANG) == 0; i++) {
		for (auto &a : asked) {
			outcome o = query(argv({}, dev, a.frame));
			EXPECT_EQ(o.out, a.answer.substr(0, a.answer.find(" =")) + "\n");
			EXPECT_EQ(o.status, a.shown == "exception" ? 3 : 0) << o.err;
		}
	}
	std::string lines = slurp(fdopen(out[0], "r"));
	EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << lines;
	const std::string at = "\\d\\d:\\d\\d:\\d\\d\\.\\d{6} ";
	EXPECT_TRUE(std::regex_match(lines, std::regex("(" + at + "noise[0-9a-f ]+\n)?(" + at + "(" + shown + ")\n){5}"))) << lines;
	for (pid_t p : {gw, server, socat})
		end(p);
	run("/bin/rm", {"-rf", dir});
}

/*
 * Names, from a hosts file and a real DNS server, dnsmasq: in network and
 * mount namespaces of their own (as root), where loopback is the test's
 * alone and /etc/hosts and /etc/resolv.conf are its files. dnsmasq answers
 * names in dns.test itself, the family a name lacks with none and a name
 * it lacks with NXDOMAIN; refuses what it does not know of plant.test's,
 * as a router's DNS with no upstream for it does; and passes what it does
 * not know of drop.test and slow.test to a server that never answers. The
 * gateway listens on 127.0.0.1 and ::1.
 */
TEST(gateway, names_come_from_the_hosts_file_and_dns)
{
	const bool own = std::string(RESOLVER) == "own";
	const struct {
		std::string host;
		std::string err; /* none: the answer */
	} cases[] = {
		{"127.0.0.1", ""},
		{"gw.hosts.test", ""},
		{"GW", ""},
		{"six.hosts.test", ""},
		{"gw.dns.test", ""},
		{"alias.dns.test", ""},
		{"six.dns.test", ""},
		{"gone.dns.test", "rtuquery: cannot find gone.dns.test: Name or service not known"},
		{"slow.test", "rtuquery: cannot find slow.test: Temporary failure in name resolution"},
		/* one family refused, and the other's address taken at once */
		{"gw1.plant.test", ""},
		{"six.plant.test", ""},
		{"none.plant.test", own ? "rtuquery: cannot find none.plant.test: the name server refused the query"
					: "rtuquery: cannot find none.plant.test: Temporary failure in name resolution"},
		/* one family dropped: the other's address, within -t */
		{"gw.drop.test", ""},
	};
	int out[2];
	ASSERT_EQ(pipe(out), 0);
	pid_t pid = fork();
	if (pid == 0) {
		if (unshare(CLONE_NEWNS | CLONE_NEWNET))
			_exit(77);
		char dir[] = "/tmp/names-XXXXXX";
		ifreq lo = {};
		strcpy(lo.ifr_name, "lo");
		int s = socket(AF_INET, SOCK_DGRAM, 0);
		if (!mkdtemp(dir) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) || ioctl(s, SIOCGIFFLAGS, &lo))
			_exit(1);
		lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
		if (ioctl(s, SIOCSIFFLAGS, &lo))
			_exit(1);
		close(s);
		const std::string hosts = std::string(dir) + "/hosts", resolv = std::string(dir) + "/resolv.conf";
		FILE *f = fopen(hosts.c_str(), "w");
		fputs("# the test's own\n127.0.0.1\tlocalhost\n127.0.0.1 gw.hosts.test gw # a comment\n::1 six.hosts.test\n", f);
		fclose(f);
		f = fopen(resolv.c_str(), "w");
		fputs("search dns.test\nnameserver 127.0.0.1\n", f);
		fclose(f);
		if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) ||
		    mount(resolv.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr))
			_exit(1);
		/* where dnsmasq passes what it does not answer itself: a socket that is never read */
		int silent = socket(AF_INET, SOCK_DGRAM, 0), dns = socket(AF_INET, SOCK_DGRAM, 0);
		sockaddr_in a = {};
		a.sin_family = AF_INET;
		a.sin_port = htons(5300);
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		if (bind(silent, reinterpret_cast<sockaddr *>(&a), sizeof a))
			_exit(1);
		pid_t server = fork();
		if (server == 0) {
			int null = open("/dev/null", O_WRONLY);
			dup2(null, 1);
			dup2(null, 2);
			execl(DNSMASQ, DNSMASQ, "-k", "--conf-file=/dev/null", "--listen-address=127.0.0.1", "--bind-interfaces",
			      "--no-hosts", "--no-resolv", "--user=root", "--pid-file=", "--local=/dns.test/",
			      "--host-record=gw.dns.test,127.0.0.1", "--cname=alias.dns.test,gw.dns.test",
			      "--host-record=six.dns.test,::1", "--host-record=gw1.plant.test,127.0.0.1",
			      "--host-record=six.plant.test,::1", "--host-record=gw.drop.test,127.0.0.1",
			      "--server=/drop.test/127.0.0.1#5300", "--server=/slow.test/127.0.0.1#5300", static_cast<char *>(nullptr));
			_exit(127);
		}
		/* dnsmasq is there once 127.0.0.1:53 is taken */
		a.sin_port = htons(53);
		for (int i = 0; i < 500 && bind(dns, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0; i++) {
			close(dns);
			dns = socket(AF_INET, SOCK_DGRAM, 0);
			usleep(10000);
		}
		int port;
		pid_t gw = listener(&port, [](int c) {
			if (get(c, 8).size() == 8)
				put(c, unhex("01 03 02 12 34 b5 33"));
		}, true);
		std::string lines;
		for (auto &k : cases) {
			/* the C library's resolver, where it is linked, asked to give up as soon; it waits 3 s for a family dropped */
			result r = run("/usr/bin/env", {"RES_OPTIONS=timeout:1 attempts:1", RTUQUERY, "-t", k.host == "gw.drop.test" ? "5" : "0.5",
							k.host + ":" + std::to_string(port), "01", "03", "00", "00", "00", "01"});
			for (std::string *t : {&r.out, &r.err})
				t->erase(std::remove(t->begin(), t->end(), '\n'), t->end());
			lines += std::to_string(r.status) + "|" + r.out + "|" + r.err + "\n";
		}
		end(gw);
		end(server);
		if (write(out[1], lines.data(), lines.size()) != static_cast<ssize_t>(lines.size()))
			_exit(1);
		_exit(0);
	}
	close(out[1]);
	FILE *f = fdopen(out[0], "r");
	std::string got = slurp(f);
	int ws = 0;
	waitpid(pid, &ws, 0);
	if (WIFEXITED(ws) && WEXITSTATUS(ws) == 77)
		GTEST_SKIP() << "no namespaces of its own for the test (not root?)";
	ASSERT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << got;
	std::istringstream in(got);
	for (auto &k : cases) {
		std::string l;
		getline(in, l);
		EXPECT_EQ(l, k.err.empty() ? "0|01 03 02 12 34 b5 33|" : "1||" + k.err) << k.host;
	}
}
