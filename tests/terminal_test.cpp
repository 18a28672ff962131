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
	std::vector<std::string> many = {SEND_FRAME, "/dev/null"};
	many.insert(many.end(), 101, "00");
	const struct {
		std::vector<std::string> argv;
		int status;
		std::string err;
	} cases[] = {
		{{SEND_FRAME}, 2, usage},
		{{SEND_FRAME, "/dev/null"}, 2, usage},
		{{SEND_FRAME, "/dev/null", "01", "1234"}, 2, "send-frame: not a byte in hex: '1234'\n"},
		{{SEND_FRAME, "/dev/null", "zz"}, 2, "send-frame: not a byte in hex: 'zz'\n"},
		/* the device forgotten: no file named 01 is made */
		{{SEND_FRAME, "01", "03", "00"}, 2, "send-frame: no such device: 01\n"},
		{many, 1, "send-frame: crc: Too many arguments!\n"},
		{{SEND_FRAME, "/dev/full", "01"}, 1, "rawbyte: write error: No space left on device\n"},
		{{"/usr/bin/env", "PATH=/usr/bin:/bin", SEND_FRAME, "/dev/null", "01"}, 1,
		 "send-frame: crc not found on PATH (from a build: PATH=$PWD/build:$PATH)\n"},
		{{QUERY}, 2, "usage: query device byte...\n"},
		{{QUERY, "01", "03", "00"}, 2, "query: no such device: 01\n"},
	};
	built_programs_first();
	for (auto &c : cases) {
		std::vector<std::string> args(c.argv.begin() + 1, c.argv.end());
		result r = run(c.argv[0], args);
		EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.argv);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.out, "");
	}
	EXPECT_NE(access("01", F_OK), 0);
}
