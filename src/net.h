/*
 * net - a TCP connection to a serial-to-Ethernet gateway, or to a Modbus
 * TCP device, as rtuquery and rtudump make one: the address read from the
 * command line, the name looked up, the connection made within a time.
 */
#ifndef NET_H
#define NET_H

/*
 * Reads s as HOST:PORT, HOST being a name, an IPv4 address or an IPv6
 * address in brackets ([fe80::1%eth0]:502), or as HOST alone when defport
 * (a port number in decimal) is not null, which it then stands for. Puts
 * HOST, without brackets, in host (hostsize bytes) and PORT in port (at
 * least 6 bytes): 0. Or 2, with the reason in why (size bytes), such as
 * "no port in gw:": no host, no port where one is needed, a port that is
 * not 1 to 65535, an IPv6 address without brackets, a host too long.
 */
int hostport(const char *s, const char *defport, char *host, int hostsize, char *port, char *why, int size);

/*
 * Looks host up (the hosts file, DNS, as the C library does) and connects
 * to port at the first of its addresses that takes the connection, all
 * within ms milliseconds (the look-up itself is bounded by the resolver's
 * own times). The descriptor, above 2, non-blocking, close-on-exec, and
 * sending each write at once; or -1, with the reason in why (size bytes):
 * "cannot find HOST: ..." or "cannot connect to NAME: ..." (NAME as
 * messages name the line).
 */
int dial(const char *host, const char *port, const char *name, long long ms, char *why, int size);

#endif
