/*
 * rtu - the rules of Modbus RTU frames on a serial line, apart from any port:
 * how long a request and a reply are, whether a request has the length its
 * function needs, whether a reply answers a request, and where the frames of
 * a bus begin and end. No I/O, no heap, no state: every function reads only
 * the n bytes it is given and writes only what it returns.
 *
 * A frame is the unit's address, the function code, the function's data and
 * two check bytes (CRC-16/MODBUS, low byte first), 256 bytes at most. Unit 00
 * is a broadcast, which no unit answers; an answer with the function's top
 * bit set is an exception, 5 bytes with its code in the third.
 */
#ifndef RTU_H
#define RTU_H

const int maxframe = 256; /* check bytes included */
const int least = 5;      /* unit, function, one byte, check bytes: the shortest answer */

/*
 * The length of a request (f, n bytes so far), check bytes included, as far
 * as its first bytes tell: 0 until they do, -1 for a function no rule gives
 * a length to. The length may be more than maxframe: no frame then.
 */
int requestlen(const unsigned char *f, int n);

/* The same for an answer: a reply, or an exception (5 bytes). */
int replylen(const unsigned char *f, int n);

/*
 * Whether the request req, n bytes without its check bytes, has the length
 * its function needs, for the functions whose answer is checked against it,
 * and a byte count that its quantity asks for (0f, 10, 17): 0, or 2 with
 * the reason in why (size bytes, always terminated), such as "a request for
 * function 03 has 6 bytes, not 2" or "byte count 08 for 2 registers: want 04".
 */
int checkrequest(const unsigned char *req, int n, char *why, int size);

/*
 * How many bytes a reply to req (reqlen bytes, check bytes included) is to
 * be read to, as far as its first n bytes f tell: its length, or while it
 * does not tell, 5, or 256 for a function no rule gives a length to, whose
 * reply ends at silence. While the bytes are those of req they are read on
 * to req's length, since an echo of the request begins as its answer may.
 */
int wanted(const unsigned char *req, int reqlen, const unsigned char *f, int n);

/* How many of the n bytes read are the reply: what follows it is not part of it. */
int replyend(const unsigned char *req, int reqlen, const unsigned char *f, int n);

/*
 * What a reply says of the request: status 0 when it is the answer (right
 * check bytes, the unit and function asked, and fitting the request), 3 an
 * exception, 1 anything else, with the reason in why; why is empty for 0.
 * The reply is f, n bytes as replyend cut them, 0 when nothing came. how
 * it came: on a line, after the request's echo had been read (-e), or as
 * a Modbus TCP response turned into a frame (mbap.h), whose copy of the
 * request no adapter made.
 */
struct verdict {
	int status;
	char why[128];
};
enum class via : unsigned char { line, echo, tcp };
verdict judge(const unsigned char *req, int reqlen, const unsigned char *f, int n, via how);

/*
 * For the bytes of a stream, which a gateway may have packed with others,
 * where no silence ends a frame: how many of the n bytes f are the reply
 * to req, once they tell: as many as wanted says, or for a function no
 * rule gives a length to, as far as its check bytes first come right (at
 * 4 bytes or more); 0 until then.
 */
int streamlen(const unsigned char *req, int reqlen, const unsigned char *f, int n);

/*
 * For the bytes of a stream:
 * where, in the n bytes f, the answer to req (a reply or an exception with
 * right check bytes, from the unit and to the function asked, that fits
 * the request, as judge says) begins after other bytes, at 1 or more; or 0
 * where none does, and f is to be judged from its first byte.
 */
int answerat(const unsigned char *req, int reqlen, const unsigned char *f, int n);

/*
 * Whether the n bytes f of a stream tell all there is to know of the reply
 * to req: they begin with a frame as long as streamlen says, with right
 * check bytes, or an answer begins after other bytes. Until then more is
 * read.
 */
bool settled(const unsigned char *req, int reqlen, const unsigned char *f, int n);

/*
 * Whether the n bytes f that came back after the request req (reqlen
 * bytes, check bytes included) was written to a serial line are the
 * adapter's echo of it, told by the wire's time. A unit begins an answer
 * only once the request's last byte has left the wire, which is reqlen
 * characters (chartus µs each) after it was written at the soonest
 * (writtenus), whatever the driver says of it: a USB adapter's says the
 * bytes have left once they are in the adapter. The first read brought
 * batch bytes at firstus, so the first of them began on the wire by
 * firstus less batch characters. A copy of the request, or its beginning,
 * whose first byte began before the request could have left is the echo;
 * one that began after, however soon, is an answer. An echo handed back
 * later than the request takes on the wire (a USB adapter's batch at a
 * high speed) cannot be told so. Times in µs on one clock.
 */
bool echoed(const unsigned char *req, int reqlen, const unsigned char *f, int n, long long writtenus, long long firstus,
	    int batch, long long chartus);

/* What came back of the request itself, n bytes f, for an adapter that echoes. */
verdict judgeecho(const unsigned char *req, int reqlen, const unsigned char *f, int n);

/*
 * What the bytes f (n of them) of a bus begin with. After a request that
 * awaits its answer, the last request seen (req, reqlen bytes; reqlen 0 for
 * none), a reply or exception may come, else a request; and a reply or
 * exception whose request was not seen (a gateway hands its other clients'
 * replies on, but not their requests), by the length its own bytes give it.
 * A frame is taken by its length and right check bytes: the one that ends
 * first where two fit, but an answer that fits its request before all, and
 * a request before a reply of the same length (a copy, as to 05 and 06).
 * What looks like a frame (an answer that fits, a reply whose byte count a
 * quantity asks for, a request within the protocol's bounds) is waited for
 * until its length or check bytes say otherwise; for anything else, a
 * complete frame further on wins. With end, no more bytes come (silence, or
 * the end of the input): what is unfinished is not a frame. Gives the kind
 * and the number of bytes to take off the front: a frame, or one byte of
 * noise; kind none (and len 0) until more bytes tell; and for a reply or an
 * exception, whether it answers req (asked) or its request was not seen.
 */
enum class kind : unsigned char { none, request, reply, exception, noise };
struct cut {
	kind what;
	int len;
	bool asked;
};
cut split(const unsigned char *f, int n, const unsigned char *req, int reqlen, bool end);

/*
 * The time of one character at baud and bits a character (start, data,
 * parity and stop bits), in microseconds; 0 for an unknown speed (baud 0).
 * silence: the 3.5 characters that end a frame, a fixed 1.75 ms above 19200
 * baud. gap: a pause inside a frame that cuts it short, 3 characters or
 * 0.1 s, whichever is longer, as a USB adapter may hold bytes back 16 ms.
 */
long long chartime(long baud, int bits);
long long silence(long baud, int bits);
long long gap(long baud, int bits);

#endif
