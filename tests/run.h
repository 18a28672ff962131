/* Starts a built program as a real process and collects what it did. */
#ifndef RUN_H
#define RUN_H

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

struct result {
	std::string out, err;
	int status; /* exit status, or 128 + the signal that ended it */
};

inline std::string slurp(FILE *f)
{
	std::string s;
	char b[65536];
	rewind(f);
	for (size_t n; (n = fread(b, 1, sizeof b, f)) > 0;)
		s.append(b, n);
	fclose(f);
	return s;
}

/*
 * args are argv[1] onwards; noname leaves out argv[0] as well, so that the
 * program starts with an empty argument vector. With outfd >= 0, standard
 * output goes there instead of being collected.
 */
inline result run(const std::string &prog, const std::vector<std::string> &args,
		  int outfd = -1, bool noname = false)
{
	std::vector<char *> argv;
	if (!noname)
		argv.push_back(const_cast<char *>(prog.c_str()));
	for (auto &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);

	FILE *out = tmpfile(), *err = tmpfile();
	pid_t pid = fork();
	if (pid == 0) {
		dup2(outfd >= 0 ? outfd : fileno(out), 1);
		dup2(fileno(err), 2);
		execve(prog.c_str(), argv.data(), environ);
		_exit(127);
	}
	int ws = 0;
	waitpid(pid, &ws, 0);
	int status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
	return {slurp(out), slurp(err), status};
}

/* Bytes in hex, each followed by a space. */
inline std::string hex(const std::string &s)
{
	std::string h;
	char b[4];
	for (unsigned char c : s) {
		snprintf(b, sizeof b, "%02x ", c);
		h += b;
	}
	return h;
}

/* args, and after them the bytes of a frame given as hex, "01 03 00 ...", one argument each. */
inline std::vector<std::string> withbytes(std::vector<std::string> args, const std::string &frame)
{
	for (size_t i = 0; i < frame.size(); i += 3)
		args.push_back(frame.substr(i, 2));
	return args;
}

/* The examples call crc and rawbyte from PATH: the built ones come first. */
inline void built_programs_first()
{
	std::string path = std::string(BINDIRS) + ":" + getenv("PATH");
	setenv("PATH", path.c_str(), 1);
}

/*
 * Opens a pseudo-terminal pair with the terminal side in raw mode, so that
 * bytes pass unchanged. Returns the other side, or -1.
 */
inline int rawpty(int *tty, std::string *name)
{
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	if (master < 0 || grantpt(master) || unlockpt(master))
		return -1;
	*name = ptsname(master);
	*tty = open(name->c_str(), O_RDWR | O_NOCTTY);
	termios t;
	if (*tty < 0 || tcgetattr(*tty, &t))
		return -1;
	cfmakeraw(&t);
	return tcsetattr(*tty, TCSANOW, &t) ? -1 : master;
}

/* The kernel's termios2, which carries the speed whole, also one outside the table of terminal speeds. */
struct termios2 {
	tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
	cc_t c_line, c_cc[19];
	speed_t c_ispeed, c_ospeed;
};

/* A port's settings, all of them, as bytes to compare. */
inline std::string whole(int fd)
{
	termios2 t = {};
	return ioctl(fd, TCGETS2, &t) ? "" : std::string(reinterpret_cast<char *>(&t), sizeof t);
}

#endif
