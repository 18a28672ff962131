/*
 * rawbyte - write each decimal argument, clamped into 0..255, as one raw byte.
 *
 * Nothing is written before, between or after the bytes, and nothing is
 * said on success: standard output is the data. Exit status 0 means every
 * byte was written and, on a terminal, transmitted.
 */
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <termios.h>
#include <unistd.h>

/*
 * The stream's buffer, ours rather than the C library's: nothing comes from
 * the heap, and its size does not depend on the device. A frame up to this
 * size leaves in one write, also to a terminal, whose line buffering would
 * otherwise flush at every 0x0A.
 */
static char buf[65536];

[[noreturn]] static void fail()
{
	fprintf(stderr, "rawbyte: write error: %s\n", strerror(errno)); // NOLINT(cert-err33-c): the status still tells
	/* Whatever is left in the buffer must not follow the failure onto the line. */
	_exit(1);
}

int main(int argc, char *argv[])
{
	setvbuf(stdout, buf, _IOFBF, sizeof buf); // NOLINT(cert-err33-c): cannot fail before the first output

	for (int i = 1; i < argc; i++) {
		/* atoi's rule, but strtol saturates where atoi is undefined. */
		long val = strtol(argv[i], nullptr, 10);
		if (val > 255)
			val = 255;
		if (val < 0)
			val = 0;
		if (putchar(static_cast<int>(val)) == EOF)
			fail();
	}
	if (fflush(stdout) == EOF)
		fail();

	/*
	 * The kernel waits for a terminal's queue to drain only at its last
	 * close, and the shell usually keeps the port open: wait here, so that
	 * a pause after rawbyte is silence on the line. Only a terminal has such
	 * a queue. Other devices answer the drain call as their drivers please
	 * (/dev/urandom: EINVAL), so ask first rather than read their errors.
	 */
	if (isatty(fileno(stdout))) {
		/*
		 * Unlike a write, the drain stops a background process on its own
		 * terminal whatever tostop says, unless SIGTTOU is held off. Nothing
		 * after the drain can raise SIGTTOU, so it is not let through again.
		 */
		sigset_t ttou;
		sigemptyset(&ttou);
		sigaddset(&ttou, SIGTTOU);
		sigprocmask(SIG_BLOCK, &ttou, nullptr);
		int r;
		while ((r = tcdrain(fileno(stdout))) == -1 && errno == EINTR)
			;
		if (r == -1)
			fail();
	}

	/* Some errors only show at close. */
	if (fclose(stdout) == EOF)
		fail();
	return 0;
}
