/*
 * libFuzzer target for values: TYPE:VALUE as a request takes it, and the
 * values of any reply or frame shown. The first byte picks a type and an
 * order; the rest is an argument, and the bytes of a frame. Nothing may
 * crash or read past the bytes given (each gets a copy of exactly those,
 * for AddressSanitizer); a value taken, shown and taken again is the same
 * bytes; what is shown stays within the lengths value.h gives.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 1)
		return 0;
	const vtype t = static_cast<vtype>(data[0] % static_cast<unsigned>(vtype::none));
	const order o = static_cast<order>(data[0] / 16 % 4);
	std::string arg(reinterpret_cast<const char *>(data) + 1, size - 1);
	arg = arg.substr(0, arg.find('\0'));

	unsigned char b[8];
	char why[160];
	int n = valuearg(arg.c_str(), o, b, why, sizeof why);
	if (n != -1 && n != 0 && n != 2 && n != 4 && n != 8)
		abort();
	if (n > 0) {
		/* shown as its own type, and taken again */
		const char *colon = strchr(arg.c_str(), ':');
		std::string name = arg.substr(0, static_cast<size_t>(colon - arg.c_str()));
		char shown[64];
		char *end = showvalue(shown, typearg(name.c_str()), o, b);
		if (end - shown > 32)
			abort();
		std::string again = name + ":" + std::string(shown, static_cast<size_t>(end - shown));
		unsigned char c[8];
		if (valuearg(again.c_str(), o, c, why, sizeof why) != n || memcmp(b, c, static_cast<size_t>(n)) != 0)
			abort();
	}

	/* The bytes as a request and its reply, and as a frame on a bus. */
	const size_t len = size - 1;
	unsigned char *f = static_cast<unsigned char *>(malloc(len ? len : 1));
	memcpy(f, data + 1, len);
	static char out[20000];
	if (len >= 6 && readable(t, f, 6, why, sizeof why) == 0) {
		unsigned char req[6];
		memcpy(req, f, 6);
		char *end = showreply(out, t, o, f + 6, static_cast<int>(len - 6), req);
		int count = len > 8 ? f[8] : 0;
		if (end - out > (t == vtype::bit ? 8 * 8 * count : t == vtype::text ? 10 + 4 * count : 20 * (count / 2 + 1)))
			abort();
	}
	char *end = showframe(out, t, o, f, static_cast<int>(len), data[0] & 1);
	if (end - out > 3 + 32 * (static_cast<long>(len) / 2 + 1) + 4 * static_cast<long>(len))
		abort();
	free(f);
	return 0;
}
