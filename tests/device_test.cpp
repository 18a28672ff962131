/*
 * The round trip with a real device: examples/query against a Modbus RTU
 * server (libmodbus: unit 1, 9600 8N1) on one end of a virtual null-modem,
 * two pseudo-terminals joined by socat. The user's end is set up with the
 * README's stty line, as a user's /dev/ttyUSB0 would be.
 */
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sys/prctl.h>

#include <gtest/gtest.h>
#include <modbus.h>

#include "run.h"

/* The server; it ends with the test process. */
static pid_t device(const std::string &path)
{
	int ready[2];
	if (pipe(ready))
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		modbus_t *ctx = modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1);
		modbus_mapping_t *map = modbus_mapping_new(0, 0, 4, 0);
		if (!ctx || !map || modbus_set_slave(ctx, 1) || modbus_connect(ctx))
			_exit(1);
		map->tab_registers[0] = 0x1234;
		map->tab_registers[1] = 0x5678;
		if (write(ready[1], "", 1) != 1)
			_exit(1);
		uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
		for (;;) {
			int n = modbus_receive(ctx, req);
			if (n > 0)
				modbus_reply(ctx, req, n, map);
		}
	}
	close(ready[1]);
	char c;
	bool up = read(ready[0], &c, 1) == 1;
	close(ready[0]);
	return up ? pid : -1;
}

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

class device_test : public testing::Test {
protected:
	std::string dir, user;
	pid_t relay = -1, server = -1;

	void SetUp() override
	{
		char d[] = "/tmp/null-modem-XXXXXX";
		ASSERT_TRUE(mkdtemp(d));
		dir = d;
		user = dir + "/user";
		std::string link = dir + "/device";
		relay = fork();
		if (relay == 0) {
			prctl(PR_SET_PDEATHSIG, SIGKILL);
			execlp(SOCAT, SOCAT, ("pty,link=" + link).c_str(), ("pty,link=" + user).c_str(),
			       static_cast<char *>(nullptr));
			_exit(127);
		}
		for (int i = 0; i < 200 && (access(link.c_str(), F_OK) || access(user.c_str(), F_OK)); i++)
			usleep(10000);
		ASSERT_EQ(run("/bin/sh", {"-c", readme_stty(user)}).status, 0);
		server = device(link);
		ASSERT_GT(server, 0);
		built_programs_first();
	}

	void TearDown() override
	{
		for (pid_t p : {server, relay}) {
			if (p > 0) {
				kill(p, SIGKILL);
				waitpid(p, nullptr, 0);
			}
		}
		run("/bin/rm", {"-rf", dir});
	}
};

TEST_F(device_test, query_round_trips)
{
	const struct {
		std::vector<std::string> frame;
		const char *out;
		int status;
		const char *err;
		double most, least; /* seconds */
	} cases[] = {
		{{"01", "03", "00", "00", "00", "01"}, "01 03 02 12 34 b5 33\n", 0, "", 0.6, 0},
		{{"01", "03", "00", "00", "00", "02"}, "01 03 04 12 34 56 78 81 07\n", 0, "", 0.6, 0},
		{{"01", "06", "00", "01", "ab", "cd"}, "01 06 00 01 ab cd 66 af\n", 0, "", 0.6, 0},
		{{"01", "03", "00", "01", "00", "01"}, "01 03 02 ab cd 06 e1\n", 0, "", 0.6, 0},
		/* beyond its four registers */
		{{"01", "03", "00", "04", "00", "01"}, "01 83 02 c0 f1\n", 3,
		 "query: exception 02: illegal data address\n", 0.6, 0},
		/* a broadcast is not answered, but carried out */
		{{"00", "06", "00", "02", "00", "07"}, "", 0, "", 0.6, 0.1},
		{{"01", "03", "00", "02", "00", "01"}, "01 03 02 00 07 f9 86\n", 0, "", 0.6, 0},
		/* wrong check bytes inside: the device drops the frame (last, as it may unsettle it) */
		{{"01", "03", "00", "00", "00", "01", "84", "0b"}, "", 1, "query: no reply\n", 2.0, 0.9},
	};
	std::string before = settings(user);
	for (auto &c : cases) {
		std::vector<std::string> args = {user};
		args.insert(args.end(), c.frame.begin(), c.frame.end());
		auto t0 = std::chrono::steady_clock::now();
		result r = run(QUERY, args);
		std::chrono::duration<double> t = std::chrono::steady_clock::now() - t0;
		EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.frame);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.status, c.status);
		EXPECT_LT(t.count(), c.most);
		EXPECT_GE(t.count(), c.least);
	}
	EXPECT_EQ(settings(user), before) << "the port's settings are not as they were found";
}

/* Hex as query prints it, to raw bytes. */
static std::string bytes(const std::string &hex)
{
	std::string b;
	for (size_t i = 0; i + 1 < hex.size(); i += 3)
		b += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
	return b;
}

/*
 * A device and its adapter played on a pseudo-terminal: the responder reads
 * the request, hands it back if the adapter echoes, waits, and sends what it
 * is given. Under dash and bash alike, query takes only the answer to its
 * request, and leaves the port as it found it, even a cooked one.
 */
TEST(query, takes_only_the_answer_to_its_request)
{
	const std::string r03 = "01 03 02 12 34 b5 33", q03 = "01 03 00 00 00 01";
	const std::string copy = "query: the reply is a copy of the request: the adapter echoes; use -e\n";
	const struct {
		std::vector<std::string> opts;
		std::string frame;
		bool echo;
		int wait; /* ms */
		std::string reply, out;
		int status;
		std::string err;
		std::string how; /* "cooked" port, stdout "full" */
	} cases[] = {
		{{}, q03, false, 0, r03, r03 + "\n", 0, "", "cooked"},
		{{"-e"}, q03, true, 300, r03, r03 + "\n", 0, ""},
		{{}, q03, true, 10, r03, q03 + " 84 0a\n", 1, copy},
		{{"-e"}, q03, false, 300, r03, "", 1, "query: no echo\n"},
		{{}, q03, false, 0, "01 03 02 12 34 b5 34", "01 03 02 12 34 b5 34\n", 1, "query: bad check bytes\n"},
		{{}, q03, false, 0, "02 03 02 12 34 f1 33", "02 03 02 12 34 f1 33\n", 1,
		 "query: reply from unit 02, not 01\n"},
		{{}, q03, false, 0, "01 04 02 12 34 b4 47", "01 04 02 12 34 b4 47\n", 1,
		 "query: reply to function 04, not 03\n"},
		/* late, to an earlier write */
		{{}, "01 06 00 02 00 0b", false, 0, "01 06 00 01 00 0a 58 0d", "01 06 00 01 00 0a 58 0d\n", 1,
		 "query: reply does not match the request\n"},
		{{}, q03, false, 0, "01 03 02 12", "01 03 02 12\n", 1, "query: reply cut short: 4 of 7 bytes\n"},
		{{}, q03, false, 0, "01 83 0c 41 35", "01 83 0c 41 35\n", 3, "query: exception 0c\n"},
		/* what follows the frame is not part of it */
		{{}, q03, false, 0, r03 + " 01 03", r03 + "\n", 0, ""},
		{{"-t", "0.3"}, q03, false, 0, "", "", 1, "query: no reply\n"},
		{{}, q03, false, 0, r03, "", 1, "query: cannot print the reply\n", "full"},
	};
	built_programs_first();
	for (const char *shell : {"/bin/dash", "/bin/bash"}) {
		for (auto &c : cases) {
			SCOPED_TRACE(std::string(shell) + " " + c.frame + " -> " + c.reply);
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
			std::string before = settings(name);
			std::string req = bytes(c.frame + " 00 00");
			pid_t pid = fork();
			if (pid == 0) {
				std::string got(req.size(), '\0');
				for (size_t n = 0; n < got.size();) {
					ssize_t k = read(master, &got[n], got.size() - n);
					if (k <= 0)
						_exit(1);
					n += static_cast<size_t>(k);
				}
				if (c.echo && write(master, got.data(), got.size()) < 0)
					_exit(1);
				usleep(static_cast<useconds_t>(c.wait) * 1000);
				std::string r = bytes(c.reply);
				_exit(write(master, r.data(), r.size()) == static_cast<ssize_t>(r.size()) ? 0 : 1);
			}
			std::vector<std::string> args = {QUERY};
			args.insert(args.end(), c.opts.begin(), c.opts.end());
			args.push_back(name);
			for (size_t i = 0; i < c.frame.size(); i += 3)
				args.push_back(c.frame.substr(i, 2));
			int full = c.how == "full" ? open("/dev/full", O_WRONLY) : -1;
			auto t0 = std::chrono::steady_clock::now();
			result r = run(shell, args, full);
			std::chrono::duration<double> t = std::chrono::steady_clock::now() - t0;
			kill(pid, SIGKILL);
			waitpid(pid, nullptr, 0);
			EXPECT_EQ(r.out, c.out);
			EXPECT_EQ(r.err, c.err);
			EXPECT_EQ(r.status, c.status);
			/* -t bounds the wait; an answer costs no wait for silence after it */
			EXPECT_LT(t.count(), c.status == 1 && c.reply.empty() ? 0.8 : 0.6 + c.wait / 1000.0);
			EXPECT_EQ(settings(name), before) << "the port's settings are not as they were found";
			if (full >= 0)
				close(full);
			close(tty);
			close(master);
		}
	}
}
