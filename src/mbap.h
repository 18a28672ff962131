/*
 * mbap - Modbus TCP's frames, apart from any connection. A request or a
 * response is the unit, the function and its data, behind a header of 6
 * bytes (the MBAP header, whose 7th byte is the unit): a transaction
 * number, which a response repeats; the protocol, 0 for Modbus; and the
 * length of what follows, unit included, 2 to 254. There are no check
 * bytes: TCP's own checks stand in for them. No I/O, no heap, no state:
 * every function reads only the n bytes it is given.
 */
#ifndef MBAP_H
#define MBAP_H

#include "rtu.h"

const int head = 6;                   /* the header before the unit */
const int mbapmax = head + maxframe - 2; /* a request of 254 bytes and its header */

/*
 * Puts the header of transaction tid (0 to 65535) and the request req (n
 * bytes, the unit, the function and its data; 1 to 254) at adu, which has
 * room for n + 6 bytes: gives that length.
 */
int mbapwrap(const unsigned char *req, int n, unsigned tid, unsigned char *adu);

/*
 * How many bytes a response is to be read to, as far as its first n bytes
 * f tell: its header's 6 and its length; while the header has not come,
 * 6; where it is no Modbus TCP header (not protocol 0, or a length outside
 * 2 to 254), as far as an RTU frame answering rtu (the request as it
 * would go on a serial line, rtulen bytes with its check bytes) would go,
 * so that one is read whole and can be named.
 */
int mbapwanted(const unsigned char *rtu, int rtulen, const unsigned char *f, int n);

/*
 * What the response f (n bytes, as mbapwanted read them) says of the
 * request adu (header included), whose RTU form is rtu (rtulen bytes):
 * judge's verdict (rtu.h) on the response as an RTU frame, check bytes
 * aside, once its header is checked: nothing (no reply), a response cut
 * short, an RTU frame with right check bytes (status 1: the gateway name
 * answers in RTU framing), a header that is not Modbus TCP's or is another
 * transaction's, a length in the header that is not the reply's. And the
 * bytes to print: count of them from from, the unit and what follows it,
 * or all where the header is not Modbus TCP's.
 */
struct response {
	verdict v;
	int from, count;
};
response mbapjudge(const unsigned char *adu, const unsigned char *rtu, int rtulen, const unsigned char *f, int n,
		   const char *name);

/*
 * Whether f (n bytes) read from a gateway that the RTU request req was
 * sent to is a Modbus TCP response to it: a gateway in Modbus TCP mode
 * reads the request's first two bytes as a transaction number and answers
 * with them, protocol 0 and a length that the bytes after it fill.
 */
bool mbapanswer(const unsigned char *req, const unsigned char *f, int n);

#endif
