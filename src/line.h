/*
 * line - what rtuquery and rtudump talk on, one line a program, whichever
 * kind it is: a serial port (a path), a TCP connection to a gateway
 * (HOST:PORT), or, for rtudump, a recording on standard input (-). What
 * differs between them lives behind this, in port.h and net.h: a port is
 * locked, set up and put back, and its speed gives the silence a request
 * waits for, a character's time and the gap that cuts a frame short; a
 * connection has no settings, and there a gateway's timer and the network
 * decide when bytes come. Errors that leave the program nothing to do end
 * it, through die (cli.h), with the line put back.
 */
#ifndef LINE_H
#define LINE_H

enum class linekind : unsigned char { port, tcp, recording };

/*
 * Takes the device argument dev: anything with a / is a serial port, and
 * so is a word with no colon, which is looked for as a path, as always;
 * otherwise HOST:PORT (net.h), where tcp (Modbus TCP) lets HOST alone stand
 * for HOST:502 and takes any word for a host, and refuses a path. recording
 * lets - stand for standard input. A usage error ends the program with
 * status 2 before anything is opened. Gives the kind.
 */
linekind lineaddress(const char *dev, bool tcp, bool recording);

/* -b's speed and -f's framing (port.h), as given: a usage error for what is not one. */
const char *linespeed(const char *arg);
int lineframing(const char *arg);

/*
 * Refuses, as a usage error, the settings given that mean nothing on the
 * line: on a connection, a speed (-b), a framing (-f) or RS-485 mode (-r),
 * which the gateway's own settings fix. A recording takes and ignores them.
 */
void linetakes(bool speed, bool framing, bool rs485);

/* The line as messages name it: the path, HOST:PORT, or "standard input". */
const char *linename();

/*
 * Opens the line: a port to read only with readonly (else to read and
 * write), held from other programs for at most ms milliseconds, at the
 * speed and framing asked for (port.h's holdport), in RS-485 mode with
 * rs485; a connection made within ms. Ends the program where it cannot.
 */
void lineopen(bool readonly, long long ms, const char *speed, int framing, bool rs485);

/*
 * The times of the line, in µs: the silence a request waits for (3.5
 * characters on a port; none on a connection, where the gateway keeps to
 * it), one character (0 where not known), and the gap inside a frame that
 * cuts it short (3 characters or 0.1 s on a port, whichever is longer;
 * 0.5 s on a connection, where a gateway's timer and the network hold
 * bytes back). wire: whether bytes take their characters' time on the line,
 * as on a serial port, so that time tells an adapter's echo from an answer;
 * not on a pseudo-terminal, which has no wire and no adapter, nor on a
 * connection.
 */
struct linetimes {
	long long quietus, charus, gapus;
	bool wire;
};
linetimes linetiming();

/* Drops the bytes already waiting. */
void lineflush();

/* Whether bytes come before the deadline (µs on usnow's clock; -1 for none). */
bool lineawait(long long deadline);

/*
 * Reads up to most bytes into b: how many; 0 when none are waiting; -1
 * when the line has ended, at its end or by a failure (a port pulled, a
 * connection reset), which lineended tells.
 */
int lineread(unsigned char *b, int most);

/* After lineread has said the line ended: whether a gateway closed the connection, having said all it will. */
bool lineclosed();

/*
 * After lineread has said the line ended: on a port or a connection, ends
 * the program with why ("cannot read DEVICE: end of file", "cannot read
 * DEVICE: Input/output error", "HOST:PORT closed the connection"); on a
 * recording, its end returns and a failure ends the program.
 */
void lineended();

/*
 * Sends the n bytes b, all of them, and on a port waits until the driver
 * says the last has left: when the first was handed to the line, in µs on
 * usnow's clock.
 */
long long linesend(const unsigned char *b, int n);

/* Puts back what was changed on a port; safe in a signal handler. */
void lineundo();

#endif
