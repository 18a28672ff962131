#include <cerrno>
#include <csignal>
#include <cstring>

#include <gtest/gtest.h>

#include "run.h"

/*
 * A reader that has gone must not pass for a delivery: with SIGPIPE at its
 * default the program dies of it; with SIGPIPE ignored it reports EPIPE.
 */
TEST(faults, pipe_without_reader)
{
	const struct {
		const char *prog;
		std::vector<std::string> args;
		std::string msg;
	} cases[] = {
		{RAWBYTE, {"1", "2"}, "rawbyte: write error: "},
		{CRC, {"01"}, "crc: write error: "},
	};
	for (auto &c : cases) {
		for (bool ignored : {false, true}) {
			int fds[2];
			ASSERT_EQ(pipe(fds), 0);
			close(fds[0]);
			signal(SIGPIPE, ignored ? SIG_IGN : SIG_DFL);
			result r = run(c.prog, c.args, fds[1]);
			signal(SIGPIPE, SIG_DFL);
			close(fds[1]);
			if (ignored) {
				EXPECT_EQ(r.status, 1) << c.prog;
				EXPECT_EQ(r.err, c.msg + strerror(EPIPE) + "\n");
			} else {
				EXPECT_EQ(r.status, 128 + SIGPIPE) << c.prog;
			}
		}
	}
}

TEST(faults, rawbyte_near_the_argument_size_limit)
{
	/* The kernel counts every string with its NUL and its pointer, environment included. */
	size_t room = static_cast<size_t>(sysconf(_SC_ARG_MAX));
	for (char **e = environ; *e; e++)
		room -= strlen(*e) + 1 + sizeof(char *);
	room -= sizeof RAWBYTE + 3 * sizeof(char *) + 4096;
	size_t n = room / (sizeof "200" + sizeof(char *));

	result r = run(RAWBYTE, std::vector<std::string>(n, "200"));
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out.size(), n);
	EXPECT_TRUE(r.out == std::string(n, '\xc8'));
}
