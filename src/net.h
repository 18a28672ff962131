/*
 * net - a TCP connection to a serial-to-Ethernet gateway, or to a Modbus
 * TCP device, as rtuquery and rtudump make one: the address read from the
 * command line, the name looked up, the connection made within a time.
 */
#ifndef NET_H
#define NET_H

/* Where a connection goes: a host, as given, and a port number in decimal. */
struct endpoint {
	char host[256], port[6];
};

/*
 * Reads s as HOST:PORT, HOST being a name, an IPv4 address or an IPv6
 * address in brackets ([fe80::1%eth0]:502), or as HOST alone when defport
 * (a port number in decimal) is not null, which it then stands for. Puts
 * HOST, without brackets, and PORT in e: 0. Or 2, with the reason in why
 * (size bytes), such as "no port in gw:": no host, no port where one is
 * needed, a port that is not 1 to 65535 ("not a port, 1 to 65535:
 * '4196:'"), an IPv6 address without brackets, a host too long.
 */
int hostport(const char *s, const char *defport, endpoint *e, char *why, int size); // NOLINT(bugprone-easily-swappable-parameters): the address, then what stands in for its port

/*
 * Looks e's host up and connects to its port at the first of its
 * addresses that takes the connection, all within ms milliseconds. Linked
 * statically, the look-up reads the hosts file, then asks the DNS servers
 * of resolv.conf, within the same time, and takes one family's addresses
 * 50 ms after the other's came if they have not; linked dynamically, it is
 * the C library's, with whatever the system adds, in its own time. The
 * descriptor, above 2, non-blocking, close-on-exec, and sending each write
 * at once; or -1, with the reason in why (size bytes): "cannot find HOST:
 * ..." (no address, and why: "the name server refused the query") or
 * "cannot connect to NAME: ..." (NAME as messages name the line), said
 * only of a connection tried, as the first address always is.
 */
int dial(const endpoint &e, const char *name, long long ms, char *why, int size);

#endif
