/*
 * libFuzzer target for what the programs read to reach a gateway: the
 * HOST:PORT argument, lines of the hosts file and of resolv.conf, and a DNS
 * answer to a query for a name. The input is split at its first two zero
 * bytes into a name, a line and an answer. Nothing may crash or read past
 * the bytes given (each gets a copy of exactly those, for
 * AddressSanitizer); an address read comes from the bytes given, and from
 * an answer built to the query, exactly the addresses of its records of the
 * type asked for; a port taken is 1 to 65535.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>

#include "dns.h"
#include "net.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	std::string in(reinterpret_cast<const char *>(data), size);
	size_t z1 = in.find('\0'), z2 = z1 == std::string::npos ? z1 : in.find('\0', z1 + 1);
	if (z2 == std::string::npos)
		return 0;
	std::string name = in.substr(0, z1), line = in.substr(z1 + 1, z2 - z1 - 1), answer = in.substr(z2 + 1);

	endpoint e;
	char why[160];
	if (hostport(name.c_str(), in.size() % 2 ? "502" : nullptr, &e, why, sizeof why) == 0) {
		long port = strtol(e.port, nullptr, 10);
		if (!e.host[0] || port < 1 || port > 65535)
			abort();
	}

	char *l = static_cast<char *>(malloc(line.size() ? line.size() : 1));
	memcpy(l, line.data(), line.size());
	ipaddr a;
	if (hostsline(l, static_cast<int>(line.size()), name.c_str(), &a) && a.family != AF_INET && a.family != AF_INET6)
		abort();
	if (serverline(l, static_cast<int>(line.size()), &a) && a.family != AF_INET && a.family != AF_INET6)
		abort();
	free(l);

	/*
	 * The answer, to a query for the name. Half the time it is made an
	 * answer to it, with records built from the bytes: each byte says
	 * whether a record is of the type asked for or a CNAME, and whether its
	 * data is as long as an address, and the next bytes are its data.
	 */
	unsigned char q[512];
	const int family = in.size() % 3 ? AF_INET : AF_INET6, type = family == AF_INET ? 1 : 28;
	int qn = dnsquery(name.c_str(), family, q, 0x1234);
	if (qn < 0 || qn > 512)
		abort();
	std::string want; /* the addresses the answer made gives, one after another */
	bool made = qn && size % 2;
	if (made) {
		std::string a(reinterpret_cast<char *>(q), static_cast<size_t>(qn)), data = answer;
		a[2] = static_cast<char>(a[2] | 0x80);
		const size_t asize = family == AF_INET ? 4 : 16;
		int records = 0;
		for (size_t at = 0; at < data.size() && records < 255; records++) {
			unsigned char b = static_cast<unsigned char>(data[at++]);
			size_t len = b & 2 ? asize : b % 20;
			std::string d = data.substr(at, len);
			a += std::string{'\xc0', '\x0c', 0, static_cast<char>(b & 1 ? type : 5), 0, 1, 0, 0, 0, 60, 0,
					 static_cast<char>(len)} + d;
			at += len;
			if (b & 1 && len == asize && d.size() == len && want.size() < 8 * asize)
				want += d;
		}
		a[7] = static_cast<char>(records);
		answer = a;
	}
	unsigned char *r = static_cast<unsigned char *>(malloc(answer.size() ? answer.size() : 1));
	memcpy(r, answer.data(), answer.size());
	ipaddr found[8];
	int n = qn ? dnsanswer(q, qn, r, static_cast<int>(answer.size()), found, 8) : 0;
	if (n < dnsrefused || n > 8)
		abort();
	std::string got;
	for (int i = 0; i < n; i++) {
		size_t len = found[i].family == AF_INET ? 4 : 16;
		if (found[i].family != family || answer.find(std::string(reinterpret_cast<char *>(found[i].bytes), len)) == std::string::npos)
			abort();
		got.append(reinterpret_cast<char *>(found[i].bytes), len);
	}
	if (made && got != want)
		abort();
	free(r);
	return 0;
}
