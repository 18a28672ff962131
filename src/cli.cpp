#include "cli.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

program me;

static void say(const char *fmt, va_list ap)
{
	fputs(me.name, stderr); // NOLINT(cert-err33-c): the status still tells
	fputs(": ", stderr);    // NOLINT(cert-err33-c)
	vfprintf(stderr, fmt, ap); // NOLINT(cert-err33-c,clang-analyzer-valist.Uninitialized): started by the caller
	fputc('\n', stderr);    // NOLINT(cert-err33-c)
}

void die(int status, const char *fmt, ...) // NOLINT(cert-dcl50-cpp): printf's own form
{
	if (me.undo)
		me.undo();
	va_list ap;
	va_start(ap, fmt);
	say(fmt, ap);
	va_end(ap);
	fflush(stderr); // NOLINT(cert-err33-c): the status still tells
	if (me.last)
		me.last();
	_exit(status);
}

void misuse(const char *fmt, ...) // NOLINT(cert-dcl50-cpp): printf's own form
{
	va_list ap;
	va_start(ap, fmt);
	if (fmt)
		say(fmt, ap);
	else
		fputs(me.usage, stderr); // NOLINT(cert-err33-c): the status still tells
	va_end(ap);
	fflush(stderr); // NOLINT(cert-err33-c)
	_exit(2);
}

/* An option that is not one, or lacks its value: what was wrong, then how it goes. */
[[noreturn]] static void wrong(const char *fmt, const char *what)
{
	fprintf(stderr, "%s: ", me.name); // NOLINT(cert-err33-c): the status still tells
	fprintf(stderr, fmt, what);       // NOLINT(cert-err33-c)
	fputc('\n', stderr);              // NOLINT(cert-err33-c)
	misuse(nullptr);
}

[[noreturn]] static void print(std::initializer_list<const char *> text)
{
	for (const char *s : text)
		fputs(s, stdout); // NOLINT(cert-err33-c): a failure shows at the flush
	if (fflush(stdout) == EOF || fclose(stdout) == EOF)
		die(1, "write error: %s", strerror(errno));
	_exit(0);
}

int options(int argc, char *argv[], const char *letters, void (*take)(int opt, const char *arg))
{
	char all[32] = "+:h";
	snprintf(all + 3, sizeof all - 3, "%s", letters); // NOLINT(cert-err33-c): the programs' few letters fit
	opterr = 0;
	for (int c; (c = getopt(argc, argv, all)) != -1;) {
		const char *arg = argv[optind < argc ? optind : argc - 1];
		/* getopt reads --help as the letters -, h, e...: the whole word is looked at first. */
		bool word = c == '?' && optopt == '-';
		if (c == 'h' || (word && strcmp(arg, "--help") == 0))
			print({me.usage, me.help});
		if (word && strcmp(arg, "--version") == 0)
			print({me.name, " ", me.version, "\n"});
		char letter[3] = {'-', static_cast<char>(optopt), '\0'};
		if (word)
			wrong("unknown option %s", arg);
		if (c == '?')
			wrong("unknown option %s", letter);
		if (c == ':')
			wrong("%s needs a value", letter);
		take(c, optarg);
	}
	return optind;
}

static void caught(int sig)
{
	if (me.undo)
		me.undo();
	if (me.last)
		me.last();
	/* Raised while the handler holds it off, and taken at its default once let through. */
	struct sigaction dfl = {};
	dfl.sa_handler = SIG_DFL;
	sigaction(sig, &dfl, nullptr);
	raise(sig); // NOLINT(cert-err33-c): should it fail, the exit below still tells
	sigset_t s;
	sigemptyset(&s);
	sigaddset(&s, sig);
	sigprocmask(SIG_UNBLOCK, &s, nullptr);
	_exit(128 + sig);
}

void catchsignals(bool pipe)
{
	static const int signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE};
	struct sigaction sa = {};
	sa.sa_handler = caught;
	sigfillset(&sa.sa_mask);
	for (int sig : signals) {
		struct sigaction old = {};
		sigaction(sig, nullptr, &old);
		if (old.sa_handler != SIG_IGN && (pipe || sig != SIGPIPE))
			sigaction(sig, &sa, nullptr);
	}
}

int above(int low)
{
	if (low < 0 || low > 2)
		return low;
	int high = fcntl(low, F_DUPFD_CLOEXEC, 3);
	close(low);
	return high;
}

long long usnow()
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

char *hexbytes(char *p, const unsigned char *f, int n)
{
	static const char digits[] = "0123456789abcdef";
	for (int i = 0; i < n; i++) {
		if (i)
			*p++ = ' ';
		*p++ = digits[f[i] >> 4];
		*p++ = digits[f[i] & 15];
	}
	return p;
}
