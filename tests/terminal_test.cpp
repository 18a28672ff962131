/*
 * End to end on a terminal: examples/send-frame, with the built programs
 * first on PATH, writes a frame and its check bytes to a pseudo-terminal in
 * raw mode, and the other side reads exactly those bytes, in one read.
 */
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "run.h"

TEST(send_frame, terminal_gets_frame_and_check_bytes_in_one_read)
{
	built_programs_first();

	int fd;
	std::string tty;
	int master = rawpty(&fd, &tty);
	ASSERT_GE(master, 0);

	/* 0x00, 0x0A, 0x0D and 0xFF: what a cooked terminal or a careless script mangles */
	result r = run(SEND_FRAME, {tty, "11", "06", "00", "0a", "0D", "ff"});
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);

	char buf[64];
	ssize_t n = read(master, buf, sizeof buf);
	EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0),
		  std::string("\x11\x06\x00\x0a\x0d\xff\xef\x88", 8));
	close(fd);
	close(master);
}

TEST(usage_errors, are_refused_before_anything_is_sent)
{
	const std::string usage = "usage: send-frame device byte...\n";
	const std::string qusage =
		"usage: rtuquery [-e] [-r] [-b speed] [-f framing] [-m rtu|tcp] [-t seconds] [-d type] [-o order]\n"
		"                device|host:port byte|type:value...\n";
	std::vector<std::string> many = {SEND_FRAME, "/dev/null"};
	many.insert(many.end(), 101, "00");
	std::vector<std::string> most = {RTUQUERY, "/dev/null", "01", "2b"};
	most.insert(most.end(), 253, "00");
	auto t = [](const std::string &v) { return "rtuquery: -t takes 0.01 to 25 seconds, to the millisecond: '" + v + "'\n"; };
	const std::string notty = "rtuquery: not a terminal: /dev/null\n";

	const struct {
		std::vector<std::string> argv;
		int status;
		std::string err;
		bool nopath;
	} cases[] = {
		{{SEND_FRAME}, 2, usage},
		{{SEND_FRAME, "/dev/null"}, 2, usage},
		{{SEND_FRAME, "/dev/null", "01", "1234"}, 2, "send-frame: not a byte in hex: '1234'\n"},
		{{SEND_FRAME, "/dev/null", "zz"}, 2, "send-frame: not a byte in hex: 'zz'\n"},
		/* the device forgotten: no file named 01 is made */
		{{SEND_FRAME, "01", "03", "00"}, 2, "send-frame: no such device: 01\n"},
		{many, 1, "send-frame: crc: Too many arguments!\n"},
		{{SEND_FRAME, "/dev/full", "01"}, 1, "rawbyte: write error: No space left on device\n"},
		{{SEND_FRAME, "/dev/null", "01"}, 1,
		 "send-frame: crc not found on PATH (from a build: PATH=$PWD/build:$PATH)\n", true},
		{{RTUQUERY}, 2, qusage},
		{{RTUQUERY, "/dev/null", "01"}, 2, qusage},
		{{RTUQUERY, "-x", "/dev/null", "01", "03"}, 2, "rtuquery: unknown option -x\n" + qusage},
		{{RTUQUERY, "--frobnicate", "/dev/null", "01", "03"}, 2, "rtuquery: unknown option --frobnicate\n" + qusage},
		{{RTUQUERY, "--", "-t"}, 2, qusage},
		{{RTUQUERY, "/dev/null", "01", "03", "-t"}, 2, "rtuquery: not a byte in hex: '-t'\n"},
		{{RTUQUERY, "-t"}, 2, "rtuquery: -t needs a value\n" + qusage},
		{{RTUQUERY, "-t", "0", "/dev/null", "01", "03"}, 2, t("0")},
		{{RTUQUERY, "-t", "0.009", "/dev/null", "01", "03"}, 2, t("0.009")},
		{{RTUQUERY, "-t", "25.001", "/dev/null", "01", "03"}, 2, t("25.001")},
		{{RTUQUERY, "-t", "0.0105", "/dev/null", "01", "03"}, 2, t("0.0105")},
		{{RTUQUERY, "-t", "1s", "/dev/null", "01", "03"}, 2, t("1s")},
		{{RTUQUERY, "-t", ".", "/dev/null", "01", "03"}, 2, t(".")},
		{{RTUQUERY, "-t", "", "/dev/null", "01", "03"}, 2, t("")},
		{{RTUQUERY, "-t", "1.2.3", "/dev/null", "01", "03"}, 2, t("1.2.3")},
		/* any decimal that is a whole number of milliseconds */
		{{RTUQUERY, "-t", "0.0100", "/dev/null", "01", "03", "00", "00", "00", "01"}, 2, notty},
		{{RTUQUERY, "-t", "5.", "/dev/null", "01", "03", "00", "00", "00", "01"}, 2, notty},
		{{RTUQUERY, "-t", "25.000", "/dev/null", "01", "03", "00", "00", "00", "01"}, 2, notty},
		{{RTUQUERY, "-t", ".5", "/dev/null", "01", "03", "00", "00", "00", "01"}, 2, notty},
		{{RTUQUERY, "-t", "-1", "/dev/null", "01", "03"}, 2, t("-1")},
		{{RTUQUERY, "-b", "9601", "/dev/null", "01", "03"}, 2, "rtuquery: not a speed: 9601\n"},
		{{RTUQUERY, "-b", "0", "/dev/null", "01", "03"}, 2, "rtuquery: not a speed: 0\n"},
		{{RTUQUERY, "-b", "+9600", "/dev/null", "01", "03"}, 2, "rtuquery: not a speed: +9600\n"},
		{{RTUQUERY, "-f", "7E1", "/dev/null", "01", "03"}, 2, "rtuquery: not a framing: 7E1\n"},
		{{RTUQUERY, "-f", "8N", "/dev/null", "01", "03"}, 2, "rtuquery: not a framing: 8N\n"},
		/* the bytes, and the request's length, are checked before the device is looked at */
		{{RTUQUERY, "01", "03", "zz"}, 2, "rtuquery: not a byte in hex: 'zz'\n"},
		{{RTUQUERY, "01", "03", "123"}, 2, "rtuquery: not a byte in hex: '123'\n"},
		{{RTUQUERY, "01", "03", ""}, 2, "rtuquery: not a byte in hex: ''\n"},
		{{RTUQUERY, "01", "03", " 1"}, 2, "rtuquery: not a byte in hex: ' 1'\n"},
		{{RTUQUERY, "01", "03", "0x"}, 2, "rtuquery: not a byte in hex: '0x'\n"},
		{{RTUQUERY, "/dev/null", "01", "03"}, 2, "rtuquery: a request for function 03 has 6 bytes, not 2\n"},
		{{RTUQUERY, "/dev/null", "01", "03", "00", "00", "00", "01", "84"}, 2,
		 "rtuquery: a request for function 03 has 6 bytes, not 7\n"},
		{{RTUQUERY, "/dev/null", "01", "10", "00", "00", "00", "01"}, 2,
		 "rtuquery: a request for function 10 has at least 7 bytes, not 6\n"},
		{{RTUQUERY, "/dev/null", "01", "0F", "00", "00", "00", "09", "02", "ff"}, 2,
		 "rtuquery: a request for function 0f has 9 bytes, not 8\n"},
		{{RTUQUERY, "/dev/null", "01", "17", "00", "00", "00", "01", "00", "00", "00", "01", "02", "00"}, 2,
		 "rtuquery: a request for function 17 has 13 bytes, not 12\n"},
		{{RTUQUERY, "/dev/null", "01", "16", "00", "00", "00"}, 2, "rtuquery: a request for function 16 has 8 bytes, not 5\n"},
		/* a byte count left out, or not the quantity's */
		{{RTUQUERY, "/dev/null", "01", "10", "00", "00", "00", "02", "41", "cc", "00", "00"}, 2,
		 "rtuquery: byte count 41 for 2 registers: want 04\n"},
		{{RTUQUERY, "/dev/null", "01", "0f", "00", "00", "00", "0a", "01", "ff"}, 2, "rtuquery: byte count 01 for 10 coils: want 02\n"},
		{most, 2, "rtuquery: a request has at most 254 bytes, not 255\n"},
		{{RTUQUERY, "01", "2b", "0e"}, 2, "rtuquery: no such device: 01\n"},
		{{RTUQUERY, "/dev/null", "01", "03", "00", "00", "00", "01"}, 2, notty},
		{{RTUQUERY, "/tmp", "01", "03", "00", "00", "00", "01"}, 2, "rtuquery: cannot open /tmp: Is a directory\n"},
		/* a gateway's address, and what means nothing there, before anything is opened */
		{{RTUQUERY, "-b", "9600", "gw:502", "01", "03", "00", "00", "00", "01"}, 2,
		 "rtuquery: -b is not for a TCP connection: the gateway's own settings fix the line's speed and framing\n"},
		{{RTUQUERY, "-f", "8E1", "gw:502", "01", "03", "00", "00", "00", "01"}, 2,
		 "rtuquery: -f is not for a TCP connection: the gateway's own settings fix the line's speed and framing\n"},
		{{RTUQUERY, "-r", "[::1]:502", "01", "03", "00", "00", "00", "01"}, 2,
		 "rtuquery: -r is not for a TCP connection: the gateway drives its own line\n"},
		{{RTUQUERY, "-m", "tcp", "-e", "gw", "01", "03", "00", "00", "00", "01"}, 2,
		 "rtuquery: -e is not for Modbus TCP, where nothing echoes: leave it out\n"},
		{{RTUQUERY, "-m", "TCP", "gw", "01", "03"}, 2, "rtuquery: not a mode, rtu or tcp: TCP\n"},
		{{RTUQUERY, "-m", "tcp", "/dev/null", "01", "03"}, 2,
		 "rtuquery: Modbus TCP goes to HOST:PORT, not to a serial port: /dev/null\n"},
		{{RTUQUERY, "gw:", "01", "03"}, 2, "rtuquery: no port in gw:\n"},
		{{RTUQUERY, "-m", "tcp", "[::1]:", "01", "03"}, 2, "rtuquery: no port in [::1]:\n"},
		{{RTUQUERY, ":502", "01", "03"}, 2, "rtuquery: no host in :502\n"},
		{{RTUQUERY, "gw:0", "01", "03"}, 2, "rtuquery: not a port, 1 to 65535: '0'\n"},
		{{RTUQUERY, "gw:65536", "01", "03"}, 2, "rtuquery: not a port, 1 to 65535: '65536'\n"},
		{{RTUQUERY, "gw:50x", "01", "03"}, 2, "rtuquery: not a port, 1 to 65535: '50x'\n"},
		{{RTUQUERY, "127.0.0.1:4196:", "01", "03"}, 2, "rtuquery: not a port, 1 to 65535: '4196:'\n"},
		{{RTUQUERY, "fe80::1:502", "01", "03"}, 2,
		 "rtuquery: an IPv6 address goes in brackets, as in [fe80::1]:502: fe80::1:502\n"},
		{{RTUQUERY, "[fe80::1:502", "01", "03"}, 2, "rtuquery: not [IPv6 address]:PORT: [fe80::1:502\n"},
		/* values, and what -d reads, before the device is opened (not a terminal) */
		{{RTUQUERY, "-d", "f16", "/dev/null", "01", "03", "00", "00", "00", "02"}, 2,
		 "rtuquery: not a type: f16 (u16, s16, hex, u32, s32, f32, u64, s64, f64, text or bit)\n"},
		{{RTUQUERY, "-o", "abdc", "/dev/null", "01", "03", "00", "00", "00", "02"}, 2,
		 "rtuquery: not an order: abdc (abcd, cdab, badc or dcba)\n"},
		{{RTUQUERY, "-d", "f32", "/dev/null", "01", "03", "00", "10", "00", "03"}, 2,
		 "rtuquery: f32 takes 2 registers a value: 3 asked\n"},
		{{RTUQUERY, "-d", "f64", "/dev/null", "01", "04", "u16:16", "u16:6"}, 2, "rtuquery: f64 takes 4 registers a value: 6 asked\n"},
		{{RTUQUERY, "-d", "bit", "/dev/null", "01", "03", "00", "10", "00", "02"}, 2,
		 "rtuquery: bit is for coils and inputs (01, 02), not for registers (03)\n"},
		{{RTUQUERY, "-d", "u16", "/dev/null", "01", "02", "00", "10", "00", "02"}, 2,
		 "rtuquery: u16 is for registers (03, 04, 17), not for coils or inputs (02)\n"},
		{{RTUQUERY, "-d", "u16", "/dev/null", "01", "06", "00", "10", "00", "02"}, 2,
		 "rtuquery: -d reads the replies to 01, 02, 03, 04 and 17, not to 06\n"},
		{{RTUQUERY, "/dev/null", "01", "06", "u16:16", "s16:40000"}, 2, "rtuquery: not an s16, -32768 to 32767: 's16:40000'\n"},
		{{RTUQUERY, "/dev/null", "01", "06", "u16:16", "u16:-1"}, 2, "rtuquery: not a u16, 0 to 65535: 'u16:-1'\n"},
		{{RTUQUERY, "/dev/null", "01", "10", "00", "10", "00", "02", "04", "f32:1e39"}, 2,
		 "rtuquery: not an f32, a decimal of at most 3.4028235e+38 either way: 'f32:1e39'\n"},
		{{RTUQUERY, "/dev/null", "01", "10", "00", "10", "00", "02", "04", "u32:1.5"}, 2,
		 "rtuquery: not a u32, 0 to 4294967295: 'u32:1.5'\n"},
		{{RTUQUERY, "/dev/null", "01", "10", "00", "10", "00", "02", "04", "f32:abc"}, 2,
		 "rtuquery: not an f32, a decimal of at most 3.4028235e+38 either way: 'f32:abc'\n"},
		{{RTUQUERY, "/dev/null", "01", "06", "u16:16", "x16:5"}, 2,
		 "rtuquery: not a type of value, u16, s16, u32, s32, f32, u64, s64 or f64: 'x16:5'\n"},
		{{RTUQUERY, "/dev/null", "01", "06", "u16:16", "u16:"}, 2, "rtuquery: no value in 'u16:'\n"},
		/* the length is checked once the values are bytes */
		{{RTUQUERY, "/dev/null", "01", "10", "00", "10", "00", "01", "02", "u32:5"}, 2,
		 "rtuquery: a request for function 10 has 9 bytes, not 11\n"},
		{{RTUQUERY, "-o", "dcba", "/dev/null", "01", "10", "u16:16", "u16:4", "08", "f64:-0.5"}, 2, notty},
	};
	built_programs_first();
	for (auto &c : cases) {
		/* the script under dash and bash alike; a program once, as it is */
		std::vector<std::string> shells = {"/bin/dash", "/bin/bash"};
		if (c.argv[0] != SEND_FRAME)
			shells = {""};
		for (auto &shell : shells) {
			std::vector<std::string> args;
			/* a PATH where neither the built programs nor installed ones are */
			if (c.nopath)
				args.push_back("PATH=/nonexistent");
			if (!shell.empty())
				args.push_back(shell);
			args.insert(args.end(), c.argv.begin(), c.argv.end());
			result r = run("/usr/bin/env", args);
			EXPECT_EQ(r.status, c.status) << testing::PrintToString(args);
			EXPECT_EQ(r.err, c.err);
			EXPECT_EQ(r.out, "");
		}
	}
	EXPECT_NE(access("01", F_OK), 0);

	/* Help names the version, and --version only it; to standard output, as asked for. */
	for (const char *h : {"-h", "--help"}) {
		result r = run(RTUQUERY, {h, "/dev/null"});
		EXPECT_EQ(r.out.substr(0, qusage.size()), qusage);
		EXPECT_NE(r.out.find("\nrtuquery " VERSION "\n"), std::string::npos) << r.out;
		EXPECT_EQ(r.status, 0);
	}
	for (const char *p : {RTUQUERY, RTUDUMP}) {
		result r = run(p, {"--version"});
		EXPECT_EQ(r.out, std::string(strrchr(p, '/') + 1) + " " VERSION "\n");
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.status, 0);
	}
}

/* A closed standard descriptor is never taken for the device: a file given as one stays as it was. */
TEST(rtuquery, writes_nothing_to_a_file_given_as_the_device)
{
	char path[] = "/tmp/rtuquery-device-XXXXXX";
	int fd = mkstemp(path);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(write(fd, "as it was\n", 10), 10);
	close(fd);
	for (const char *closed : {"<&-", ">&-", "2>&-"}) {
		result r = run("/bin/sh", {"-c", std::string("exec \"$0\" \"$@\" ") + closed, RTUQUERY, path, "01", "03", "00",
					   "00", "00", "01"});
		EXPECT_EQ(r.status, 2) << closed;
		FILE *f = fopen(path, "r");
		ASSERT_TRUE(f);
		EXPECT_EQ(slurp(f), "as it was\n") << closed;
	}
	unlink(path);
}
