/*
 * port - a serial port as rtuquery and rtudump hold it: opened above the
 * standard descriptors, kept from other programs with flock(2), raw at the
 * speed and framing asked for, and put back as it was found, its speed
 * whole (also one outside the table of terminal speeds), on every way out.
 * One port a program.
 */
#ifndef PORT_H
#define PORT_H

/* -b's speed: its baud rate when it is one a Linux terminal has, else 0. */
long speedarg(const char *s);

/* -f's framing, 8N1, 8E1, 8O1 or 8N2 in either case: its number, else -1. */
int framingarg(const char *s);
const char *framingname(int framing);

/*
 * Opens dev with open(2)'s flags, above 2, and refuses what is not a
 * terminal; holds it with flock(LOCK_EX), waiting at most ms for another
 * program that holds it; makes it raw: every byte passes unchanged, none is
 * echoed, answered or turned into a signal, and the modem lines are
 * ignored. The speed (-b's, or null to keep the port's) and framing (from
 * framingarg, -1 to keep it) are set and read back, since a driver takes
 * what it can and says nothing of the rest. Last it asks the driver to hand
 * bytes over at once (a USB adapter holds them up to 16 ms), which may be
 * refused. The descriptor; or -1, with the exit status in status (2 a
 * usage error or settings the port does not take, 1 a failure or a port in
 * use) and the reason in why (size bytes), such as "/dev/ttyUSB0 does not
 * take 8E1".
 */
int holdport(const char *dev, int flags, long long ms, const char *speed, int framing, int *status, char *why,
	     int size);

/* The kernel's RS-485 mode, RTS on while sending and off after: 0, or -1 where there is none. */
int rs485port();

/*
 * What the port is set to: its baud rate (0 unknown) and the bits of a
 * character; and whether it is a pseudo-terminal, which has no wire, so
 * that bytes take no time on it at any speed.
 */
void portline(long *baud, int *bits, bool *pty);

/* Puts back everything changed, in the reverse order; safe in a signal handler. */
void restoreport();

#endif
