/*
 * End to end on a terminal: examples/send-frame, with the built programs
 * first on PATH, writes a frame and its check bytes to a pseudo-terminal in
 * raw mode, and the other side reads exactly those bytes, in one read.
 */
#include <cstdlib>

#include <gtest/gtest.h>

#include "run.h"

static void built_programs_first()
{
	std::string path = std::string(BINDIRS) + ":" + getenv("PATH");
	setenv("PATH", path.c_str(), 1);
}

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
	const struct {
		std::vector<std::string> args;
		int status;
		const char *err;
	} cases[] = {
		{{}, 2, "usage: send-frame device byte...\n"},
		{{"/dev/null"}, 2, "usage: send-frame device byte...\n"},
		{{"/dev/null", "01", "1234"}, 2, "send-frame: not a byte in hex: '1234'\n"},
		{{"/dev/null", "zz"}, 2, "send-frame: not a byte in hex: 'zz'\n"},
		{std::vector<std::string>(102, "00"), 1, "send-frame: crc: Too many arguments!\n"},
		{{"/dev/full", "01"}, 1, "rawbyte: write error: No space left on device\n"},
	};
	built_programs_first();
	for (auto &c : cases) {
		result r = run(SEND_FRAME, c.args);
		EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.out, "");
	}
}
