/*
 * End to end on a terminal: examples/send-frame, with the built programs
 * first on PATH, writes a frame and its check bytes to a pseudo-terminal in
 * raw mode, and the other side reads exactly those bytes, in one read.
 */
#include <cstdlib>

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

TEST(send_frame, refuses_what_it_cannot_send)
{
	const std::string usage = "usage: send-frame device byte...\n";
	const std::string qusage = "usage: query [-e] [-t seconds] device byte...\n";
	std::vector<std::string> many = {SEND_FRAME, "/dev/null"};
	many.insert(many.end(), 101, "00");

	/* query through a link finds send-frame beside the script; a lone copy does not */
	char d[] = "/tmp/query-XXXXXX";
	ASSERT_TRUE(mkdtemp(d));
	const std::string link = std::string(d) + "/link", copy = std::string(d) + "/query";
	ASSERT_EQ(symlink(QUERY, link.c_str()), 0);
	ASSERT_EQ(run("/bin/cp", {QUERY, copy}).status, 0);
	auto t = [](const std::string &v) { return "query: -t takes 0.1 to 25 seconds, in tenths: '" + v + "'\n"; };

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
		{{QUERY}, 2, qusage},
		{{QUERY, "/dev/null", "01"}, 2, qusage},
		{{QUERY, "-x", "/dev/null", "01", "03"}, 2, qusage},
		{{QUERY, "/dev/null", "01", "03", "-t"}, 2, "query: not a byte in hex: '-t'\n"},
		{{QUERY, "-t"}, 2, qusage},
		{{QUERY, "-t", "0", "/dev/null", "01", "03"}, 2, t("0")},
		{{QUERY, "-t", "25.1", "/dev/null", "01", "03"}, 2, t("25.1")},
		{{QUERY, "-t", ".5", "/dev/null", "01", "03"}, 2, t(".5")},
		{{QUERY, "-t", "1s", "/dev/null", "01", "03"}, 2, t("1s")},
		/* the bytes are checked before the device is looked at */
		{{QUERY, "01", "03", "zz"}, 2, "query: not a byte in hex: 'zz'\n"},
		{{QUERY, "01", "03", "00"}, 2, "query: no such device: 01\n"},
		{{QUERY, "/dev/null", "01", "03"}, 2, "query: not a terminal: /dev/null\n"},
		{{QUERY, "/tmp", "01", "03"}, 2, "query: cannot open: /tmp\n"},
		{{link, "/dev/null", "01", "03"}, 2, "query: not a terminal: /dev/null\n"},
		{{copy, "/dev/null", "01", "03"}, 1, "query: send-frame is neither beside query nor on PATH\n"},
	};
	built_programs_first();
	for (auto &c : cases) {
		/* under dash and bash, the same */
		for (const char *shell : {"/bin/dash", "/bin/bash"}) {
			std::vector<std::string> args = {shell};
			if (c.nopath)
				args.insert(args.begin(), "PATH=/usr/bin:/bin");
			args.insert(args.end(), c.argv.begin(), c.argv.end());
			result r = run("/usr/bin/env", args);
			EXPECT_EQ(r.status, c.status) << testing::PrintToString(args);
			EXPECT_EQ(r.err, c.err);
			EXPECT_EQ(r.out, "");
		}
	}
	EXPECT_NE(access("01", F_OK), 0);
	run("/bin/rm", {"-rf", d});
}
