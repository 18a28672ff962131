/*
 * dns - what the programs read and write to find a gateway by its name,
 * where no system resolver is linked in (the static programs): the lines
 * of the hosts file and of resolv.conf, a DNS query for a name's IPv4 or
 * IPv6 addresses, and the answer to it. No I/O, no heap, no state: every
 * function reads only the n bytes it is given and writes only what it is
 * told it may.
 */
#ifndef DNS_H
#define DNS_H

/* An address as the socket calls take it: family AF_INET (4 bytes) or AF_INET6 (16), and an IPv6 scope. */
struct ipaddr {
	int family;
	unsigned char bytes[16];
	unsigned scope;
};

/* The address s (n bytes) in numbers, IPv4 or IPv6, the latter with a scope as %NUMBER: 1 with it in a; else 0. */
int ipaddress(const char *s, int n, ipaddr *a);

/*
 * The address of a hosts-file line (n bytes, without its newline) when one
 * of its names is host, in either case: 1 with it in a; 0 for another
 * host, a comment, a blank or a line that is not one.
 */
int hostsline(const char *l, int n, const char *host, ipaddr *a);

/* The name server a resolv.conf line (n bytes) names, "nameserver ADDRESS": 1 with it in a; else 0. */
int serverline(const char *l, int n, ipaddr *a);

/*
 * Puts at q (512 bytes) a query with the id for the addresses of host of
 * family AF_INET (an A record) or AF_INET6 (AAAA), recursion desired: its
 * length; or 0 for a host that is not a name (a label empty or over 63
 * bytes, over 253 in all).
 */
int dnsquery(const char *host, int family, unsigned char *q, unsigned id);

/*
 * Reads the answer r (n bytes) to the query q (qn bytes, as dnsquery made
 * it): the addresses of the query's family it gives, up to most, into a
 * (CNAMEs followed by the server, their records in the same answer): how
 * many, 0 for none. Or what else it says: dnsnoname, the name does not
 * exist (NXDOMAIN); dnsother, it is no answer to q (another id or
 * question, a response cut short), to be waited on; or that the server
 * will not answer q: dnsfailed (SERVFAIL), dnsnotimp (NOTIMP), dnsrefused
 * (REFUSED).
 */
enum { dnsnoname = -1, dnsother = -2, dnsfailed = -3, dnsnotimp = -4, dnsrefused = -5 };
int dnsanswer(const unsigned char *q, int qn, const unsigned char *r, int n, ipaddr *a, int most);

#endif
