#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include "run.h"

/* rawbyte under strace. LeakSanitizer, in a sanitizer build, cannot run under ptrace. */
static result traced(const char *log, const char *expr, const std::vector<std::string> &args,
		     int outfd = -1)
{
	std::vector<std::string> a = {"-o", log, "-e", expr, "-E", "ASAN_OPTIONS=detect_leaks=0", RAWBYTE};
	a.insert(a.end(), args.begin(), args.end());
	return run(STRACE, a, outfd);
}

TEST(rawbyte, one_byte_per_argument)
{
	const struct {
		const char *arg;
		unsigned char want;
	} cases[] = {
		{"0", 0x00}, {"10", 0x0a}, {"13", 0x0d}, {"65", 0x41}, {"255", 0xff},
		{"007", 0x07},
		/* clamped, never wrapped */
		{"256", 0xff}, {"1000", 0xff}, {"-1", 0x00}, {"-300", 0x00},
		{"4294967296", 0xff}, {"4294967297", 0xff}, {"99999999999", 0xff},
		{"-4294967295", 0x00}, {"-99999999999", 0x00},
		{"99999999999999999999999999", 0xff}, {"-99999999999999999999999999", 0x00},
		/* decimal digits after optional white space and sign; the rest is ignored */
		{"  7", 0x07}, {"\t\n12", 0x0c}, {"+7", 0x07}, {"12abc", 0x0c},
		{"1e3", 0x01}, {"0x10", 0x00}, {"abc", 0x00}, {"", 0x00},
		{"+", 0x00}, {"-", 0x00}, {"- 5", 0x00},
		/* bytes that are not text */
		{"12\x80", 0x0c}, {"\xff", 0x00}, {"\xa0" "5", 0x00}, {"\xc3\xa9", 0x00},
	};
	std::vector<std::string> args;
	std::string want;
	for (auto &c : cases) {
		args.push_back(c.arg);
		want += static_cast<char>(c.want);
	}
	result r = run(RAWBYTE, args);
	EXPECT_EQ(hex(r.out), hex(want));
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

TEST(rawbyte, frames)
{
	const struct {
		std::vector<std::string> args;
		std::string want;
		bool noname;
	} cases[] = {
		{{"1", "3", "0", "0", "0", "1", "132", "10"},
		 std::string("\x01\x03\x00\x00\x00\x01\x84\x0a", 8), false},
		{{}, "", false},
		{{}, "", true}, /* not even a program name */
	};
	for (auto &c : cases) {
		result r = run(RAWBYTE, c.args, -1, c.noname);
		EXPECT_EQ(hex(r.out), hex(c.want));
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.status, 0);
	}
}

TEST(rawbyte, large_run)
{
	std::vector<std::string> args;
	std::string want;
	for (int i = 0; i < 100000; i++) {
		args.push_back(std::to_string(i % 256));
		want += static_cast<char>(i % 256);
	}
	result r = run(RAWBYTE, args);
	EXPECT_EQ(r.out.size(), want.size());
	EXPECT_TRUE(r.out == want);
	EXPECT_EQ(r.status, 0);
}

TEST(rawbyte, write_error_is_reported)
{
	int full = open("/dev/full", O_WRONLY);
	ASSERT_GE(full, 0);
	result r = run(RAWBYTE, {"1", "2"}, full);
	close(full);
	EXPECT_EQ(r.err, std::string("rawbyte: write error: ") + strerror(ENOSPC) + "\n");
	EXPECT_EQ(r.status, 1);
}

/*
 * The first failure ends the run under its own name, and nothing follows it
 * onto the line: not the rest of a frame larger than the buffer, and not
 * strtol's ERANGE from the out-of-range number after the failed write. A
 * device that is no terminal has nothing to drain, whatever it answers.
 */
TEST(rawbyte, first_failure_ends_the_run)
{
	int tty;
	std::string name;
	int master = rawpty(&tty, &name);
	ASSERT_GE(master, 0);
	int urandom = open("/dev/urandom", O_WRONLY);
	ASSERT_GE(urandom, 0);
	std::vector<std::string> big(70000, "1");
	big.insert(big.end(), {"99999999999999999999", "7"});
	const struct {
		int fd;
		const char *expr;
		std::vector<std::string> args;
		int status;
		const char *wrote; /* what the one write(2) returned */
	} cases[] = {
		{-1, "inject=write:error=EIO:when=1", big, 1, "-1 EIO"},
		/* a port that hung up after the write: the drain (ioctl 2, after the terminal check) fails */
		{tty, "inject=ioctl:error=EIO:when=2", {"1", "2"}, 1, "2"},
		/* it answers terminal calls with EINVAL */
		{urandom, "trace=write", {"1", "2", "3"}, 0, "3"},
	};
	char trace[] = "/tmp/rawbyte-trace-XXXXXX";
	close(mkstemp(trace));
	for (auto &c : cases) {
		result r = traced(trace, c.expr, c.args, c.fd);
		EXPECT_EQ(r.status, c.status) << c.expr;
		EXPECT_EQ(r.err, c.status ? std::string("rawbyte: write error: ") + strerror(EIO) + "\n" : "");
		EXPECT_EQ(r.out, "");
		std::string s = slurp(fopen(trace, "r"));
		std::regex one(std::string("(^|\n)write\\(1, [^\n]*\\) += ") + c.wrote + "[ \n]");
		EXPECT_TRUE(std::regex_search(s, one)) << s.substr(0, 2000);
		EXPECT_EQ(s.find("write(1,"), s.rfind("write(1,")) << s.substr(0, 2000);
	}
	unlink(trace);
	close(urandom);
	close(tty);
	close(master);
}

/*
 * What the kernel sees: a frame of several KiB, 0x0A inside, sent to a
 * terminal, is one write(2), and the drain follows it.
 */
TEST(rawbyte, frame_to_terminal_is_one_write_then_drained)
{
	int tty;
	std::string name;
	int master = rawpty(&tty, &name);
	ASSERT_GE(master, 0);

	std::vector<std::string> args;
	std::string want;
	for (int i = 0; i < 5000; i++) {
		args.push_back(std::to_string(i % 256));
		want += static_cast<char>(i % 256);
	}
	char trace[] = "/tmp/rawbyte-trace-XXXXXX";
	close(mkstemp(trace));
	result r = traced(trace, "trace=write,ioctl", args, tty);
	EXPECT_EQ(r.status, 0);

	std::string got;
	char buf[4096];
	for (ssize_t n; got.size() < want.size() && (n = read(master, buf, sizeof buf)) > 0;)
		got.append(buf, static_cast<size_t>(n));
	EXPECT_TRUE(got == want) << hex(got.substr(0, 16));

	std::string s = slurp(fopen(trace, "r"));
	unlink(trace);
	size_t writes = 0;
	for (size_t p = 0; (p = s.find("write(1,", p)) != std::string::npos; p++)
		writes++;
	EXPECT_EQ(writes, 1u) << s;
	EXPECT_TRUE(std::regex_search(s, std::regex("\\) = 5000\n(ioctl\\(1, TCGETS.*\n)?ioctl\\(1, TCSBRK, 1\\) += 0\n"))) << s;
	close(tty);
	close(master);
}

/*
 * In the background on its own terminal, with tostop off, rawbyte writes as
 * any program does, and waiting for the bytes to leave does not stop it.
 */
TEST(rawbyte, background_on_its_terminal_is_not_stopped)
{
	int tty;
	std::string name;
	int master = rawpty(&tty, &name);
	ASSERT_GE(master, 0);
	termios t;
	ASSERT_EQ(tcgetattr(tty, &t), 0);
	t.c_lflag &= ~static_cast<tcflag_t>(TOSTOP);
	ASSERT_EQ(tcsetattr(tty, TCSANOW, &t), 0);

	pid_t leader = fork();
	if (leader == 0) {
		/* A session on the pty, its leader's group in the foreground. */
		if (setsid() < 0 || ioctl(tty, TIOCSCTTY, 0))
			_exit(101);
		pid_t bg = fork();
		if (bg == 0) {
			setpgid(0, 0);
			dup2(tty, 1);
			execl(RAWBYTE, RAWBYTE, "65", "66", "10", static_cast<char *>(nullptr));
			_exit(127);
		}
		int ws;
		waitpid(bg, &ws, WUNTRACED);
		if (WIFSTOPPED(ws)) {
			kill(bg, SIGKILL);
			_exit(100);
		}
		_exit(WIFEXITED(ws) ? WEXITSTATUS(ws) : 102);
	}
	int ws = 0;
	waitpid(leader, &ws, 0);
	EXPECT_EQ(WEXITSTATUS(ws), 0) << "100: stopped, 101: no session";
	char buf[16];
	ssize_t n = read(master, buf, sizeof buf);
	EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "AB\n");
	close(tty);
	close(master);
}
