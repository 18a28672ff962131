/*
 * cli - what rtuquery and rtudump share at their front: how they say what
 * went wrong and end, how they read their options, -h, --help and
 * --version, their clock and their hex. One program a process; no heap.
 */
#ifndef CLI_H
#define CLI_H

/*
 * The program, as main sets it up before anything else: its name, which
 * every message begins with ("rtuquery: "); its usage line and help, each
 * ending in a newline; its version; undo, which puts back what the program
 * changed (a port's settings), called before anything is said and from a
 * signal handler; and last, what is said at every end, after any message
 * (a summary), also from a signal handler. undo and last may be null.
 */
struct program {
	const char *name, *usage, *help, *version;
	void (*undo)();
	void (*last)();
};
extern program me;

/*
 * Puts things back (undo), says "NAME: " and the message on standard
 * error, then last, and exits with status.
 */
[[noreturn]] void die(int status, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* A usage error, status 2: the message as die says it, or for null the usage line. */
[[noreturn]] void misuse(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/*
 * Reads the options of argv as getopt(3) does with letters (which stops at the
 * first argument that is not an option), calling take for each with its
 * letter and value (null for none). -h and --help print the usage and help
 * on standard output, --version the name and version, and exit 0; an
 * unknown option or one without its value is a usage error that names it.
 * Gives the index of the first argument after the options.
 */
int options(int argc, char *argv[], const char *letters, void (*take)(int opt, const char *arg));

/*
 * Calls undo and last, then ends the program by the signal, for SIGHUP,
 * SIGINT, SIGQUIT and SIGTERM, and with pipe for SIGPIPE, unless they are
 * ignored (a shell's background job stays deaf to ^C): so that a shell
 * loop knows it was interrupted and stops.
 */
void catchsignals(bool pipe);

/*
 * A descriptor just opened, moved above 2 if it is one of the standard
 * ones, which were closed then: a closed standard output or error is never
 * taken for a port, a connection or a file. The descriptor, close-on-exec,
 * or -1.
 */
int above(int low);

/* Microseconds on the monotonic clock, which never goes back. */
long long usnow();

/* The n bytes f in hex at p, two lowercase digits each, a space between: where the text ends. */
char *hexbytes(char *p, const unsigned char *f, int n);

#endif
