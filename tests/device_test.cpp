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
		/* wrong check bytes inside: the device drops the frame (last, as it may unsettle it) */
		{{"01", "03", "00", "00", "00", "01", "84", "0b"}, "", 1, "query: no reply\n", 2.0, 0.9},
	};
	auto settings = [&] { return run("/bin/sh", {"-c", "stty -g <\"$0\"", user}).out; };
	std::string before = settings();
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
	EXPECT_EQ(settings(), before) << "the port's settings are not as they were found";
}

/* A device that answers with a damaged reply: query prints it and refuses it. */
TEST(query, bad_check_bytes)
{
	int tty;
	std::string name;
	int master = rawpty(&tty, &name);
	ASSERT_GE(master, 0);
	built_programs_first();
	pid_t pid = fork();
	if (pid == 0) {
		char req[8];
		for (size_t got = 0; got < sizeof req;) {
			ssize_t n = read(master, req + got, sizeof req - got);
			if (n <= 0)
				_exit(1);
			got += static_cast<size_t>(n);
		}
		_exit(write(master, "\x01\x03\x02\x12\x34\xb5\x34", 7) == 7 ? 0 : 1);
	}
	result r = run(QUERY, {name, "01", "03", "00", "00", "00", "01"});
	waitpid(pid, nullptr, 0);
	EXPECT_EQ(r.out, "01 03 02 12 34 b5 34\n");
	EXPECT_EQ(r.err, "query: bad check bytes\n");
	EXPECT_EQ(r.status, 1);
	close(tty);
	close(master);
}
