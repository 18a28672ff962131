#include "value.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

/* The types by name, with how many registers a value takes; text takes all, bit none. */
static const struct {
	const char *name;
	unsigned char regs;
	bool given; /* may be given as TYPE:VALUE */
} types[] = {
	{"u16", 1, true}, {"s16", 1, true}, {"hex", 1, false}, {"u32", 2, true}, {"s32", 2, true}, {"f32", 2, true},
	{"u64", 4, true}, {"s64", 4, true}, {"f64", 4, true}, {"text", 0, false}, {"bit", 0, false},
};
static const char *const orders[] = {"abcd", "cdab", "badc", "dcba"};

vtype typearg(const char *s)
{
	for (unsigned i = 0; i < sizeof types / sizeof *types; i++) {
		if (strcmp(s, types[i].name) == 0)
			return static_cast<vtype>(i);
	}
	return vtype::none;
}

order orderarg(const char *s)
{
	for (unsigned i = 0; i < sizeof orders / sizeof *orders; i++) {
		if (strcmp(s, orders[i]) == 0)
			return static_cast<order>(i);
	}
	return order::none;
}

const char *typeword(vtype t)
{
	return types[static_cast<int>(t)].name;
}

int registers(vtype t)
{
	return t == vtype::none ? 0 : types[static_cast<int>(t)].regs;
}

/*
 * Where byte i of a value of n bytes stands on the line, in the order o:
 * the words in reverse (cdab, dcba), each word's bytes swapped (badc, dcba).
 */
static int place(int i, int n, order o) // NOLINT(bugprone-easily-swappable-parameters): a byte, then how many
{
	int word = i / 2, half = i % 2;
	if (o == order::cdab || o == order::dcba)
		word = n / 2 - 1 - word;
	if (o == order::badc || o == order::dcba)
		half = 1 - half;
	return word * 2 + half;
}

/* The n bytes of a value from the line, high byte first. */
static std::uint64_t gather(const unsigned char *b, int n, order o)
{
	std::uint64_t v = 0;
	for (int i = 0; i < n; i++)
		v = v << 8 | b[place(i, n, o)];
	return v;
}

static void scatter(std::uint64_t v, int n, order o, unsigned char *b)
{
	for (int i = n - 1; i >= 0; i--, v >>= 8)
		b[place(i, n, o)] = static_cast<unsigned char>(v & 0xFF);
}

static char *put(char *p, const char *s)
{
	while (*s)
		*p++ = *s++;
	return p;
}

char *decimal(char *p, unsigned long long v)
{
	char d[24];
	int k = 0;
	do
		d[k++] = static_cast<char>('0' + v % 10);
	while (v /= 10);
	while (k)
		*p++ = d[--k];
	return p;
}

static char *signedtext(char *p, std::int64_t v)
{
	if (v < 0)
		*p++ = '-';
	return decimal(p, v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v));
}

/*
 * The number d.ddde±x at e moved by one in its last digit, up (dir 1) or
 * down: whether it still has as many digits.
 */
static bool nudge(char *e, int dir)
{
	char *last = strchr(e, 'e') - 1;
	for (char *c = last; c >= e; c--) {
		if (*c == '.')
			continue;
		if (dir > 0 ? *c < '9' : *c > '0') {
			*c = static_cast<char>(*c + dir);
			return *e != '0';
		}
		*c = dir > 0 ? '0' : '9';
	}
	return false;
}

/*
 * A float in the fewest significant digits that read back as the same
 * value, as the C library writes and reads them; in fixed or exponent
 * form, whichever is shorter, fixed where they are as long.
 */
static char *floattext(char *p, double v, bool single)
{
	if (std::isnan(v))
		return put(p, "nan");
	if (std::isinf(v))
		return put(p, v < 0 ? "-inf" : "inf");
	if (std::signbit(v))
		*p++ = '-';
	v = std::fabs(v);
	if (v == 0) {
		*p++ = '0';
		return p;
	}
	/*
	 * The nearest number of so many digits, or where it reads back as
	 * another value (beside a power of two, whose gap below is half the
	 * one above), the next of so many digits on the value's other side.
	 */
	char e[40];
	auto same = [&] { return single ? strtof(e, nullptr) == static_cast<float>(v) : strtod(e, nullptr) == v; };
	for (int digits = 1; digits <= 17; digits++) {
		snprintf(e, sizeof e, "%.*e", digits - 1, v); // NOLINT(cert-err33-c): fits
		if (same() || (nudge(e, strtod(e, nullptr) < v ? 1 : -1) && same()))
			break;
	}
	/* d.ddde±x: the digits without the point or the zeros at their end, and the exponent */
	char d[20] = "0";
	int n = 0;
	const char *x = e;
	for (; *x && *x != 'e' && n < 18; x++)
		if (*x != '.')
			d[n++] = *x;
	while (n > 1 && d[n - 1] == '0')
		n--;
	n = n ? n : 1;
	int exp = *x ? static_cast<int>(strtol(x + 1, nullptr, 10)) : 0;

	/* Fixed is the shorter form only between these exponents, where it fits. */
	char fixed[64], sci[32], *f = fixed, *s = sci;
	*s++ = d[0];
	if (n > 1) {
		*s++ = '.';
		for (int i = 1; i < n; i++)
			*s++ = d[i];
	}
	*s++ = 'e';
	*s++ = exp < 0 ? '-' : '+';
	if (exp > -10 && exp < 10)
		*s++ = '0';
	s = decimal(s, static_cast<std::uint64_t>(exp < 0 ? -exp : exp));
	if (exp < -20 || exp > 24) {
		f = fixed + sizeof fixed; /* longer than any exponent form */
	} else if (exp < 0) {
		f = put(f, "0.");
		for (int i = exp + 1; i < 0; i++)
			*f++ = '0';
		for (int i = 0; i < n; i++)
			*f++ = d[i];
	} else if (exp >= n) {
		/* An integer longer than its digits: all of it, as exactly as it is. */
		f += snprintf(fixed, sizeof fixed, "%.0f", v); // NOLINT(cert-err33-c): 25 digits at most
	} else {
		for (int i = 0; i <= exp || i < n; i++) {
			if (i == exp + 1)
				*f++ = '.';
			*f++ = i < n ? d[i] : '0';
		}
	}
	const char *best = f - fixed <= s - sci ? fixed : sci, *end = best == fixed ? f : s;
	memcpy(p, best, static_cast<size_t>(end - best));
	return p + (end - best);
}

char *showvalue(char *p, vtype t, order o, const unsigned char *b)
{
	static const char digits[] = "0123456789abcdef";
	std::uint64_t v = gather(b, 2 * registers(t), o);
	std::uint32_t bits32 = static_cast<std::uint32_t>(v);
	float f;
	double d;
	switch (t) {
	case vtype::u16: return decimal(p, static_cast<unsigned>(b[0] << 8 | b[1]));
	case vtype::s16: return signedtext(p, static_cast<std::int16_t>(b[0] << 8 | b[1]));
	case vtype::hex:
		for (int i = 0; i < 2; i++) {
			*p++ = digits[b[i] >> 4];
			*p++ = digits[b[i] & 15];
		}
		return p;
	case vtype::u32:
	case vtype::u64: return decimal(p, v);
	case vtype::s32: return signedtext(p, static_cast<std::int32_t>(bits32));
	case vtype::s64: return signedtext(p, static_cast<std::int64_t>(v));
	case vtype::f32:
		memcpy(&f, &bits32, sizeof f);
		return floattext(p, f, true);
	case vtype::f64:
		memcpy(&d, &v, sizeof d);
		return floattext(p, d, false);
	default: return p;
	}
}

char *showtext(char *p, const unsigned char *b, int n)
{
	static const char digits[] = "0123456789abcdef";
	while (n > 0 && b[n - 1] == 0)
		n--;
	for (int i = 0; i < n; i++) {
		if (b[i] == '\\') {
			p = put(p, "\\\\");
		} else if (b[i] >= 0x20 && b[i] <= 0x7e) {
			*p++ = static_cast<char>(b[i]);
		} else {
			p = put(p, "\\x");
			*p++ = digits[b[i] >> 4];
			*p++ = digits[b[i] & 15];
		}
	}
	return p;
}

/* The limits of an integer type, as messages give them. */
static const struct {
	std::uint64_t most; /* of the magnitude of a positive value */
	std::uint64_t least; /* of the magnitude of a negative one */
	const char *range;
} limits[] = {
	{65535, 0, "0 to 65535"}, {32767, 32768, "-32768 to 32767"}, {0, 0, ""},
	{4294967295U, 0, "0 to 4294967295"}, {2147483647, 2147483648U, "-2147483648 to 2147483647"}, {0, 0, ""},
	{UINT64_MAX, 0, "0 to 18446744073709551615"}, {INT64_MAX, static_cast<std::uint64_t>(INT64_MAX) + 1, "-9223372036854775808 to 9223372036854775807"},
};

int valuearg(const char *arg, order o, unsigned char *out, char *why, int size)
{
	const char *colon = strchr(arg, ':');
	if (!colon)
		return 0;
	char name[8] = "";
	size_t k = static_cast<size_t>(colon - arg);
	if (k < sizeof name)
		memcpy(name, arg, k);
	vtype t = k < sizeof name ? typearg(name) : vtype::none;
	const char *v = colon + 1;
	if (t == vtype::none || !types[static_cast<int>(t)].given) {
		snprintf(why, static_cast<size_t>(size), "not a type of value, u16, s16, u32, s32, f32, u64, s64 or f64: '%s'", arg); // NOLINT(cert-err33-c): cut short at worst
		return -1;
	}
	if (!*v) {
		snprintf(why, static_cast<size_t>(size), "no value in '%s'", arg); // NOLINT(cert-err33-c)
		return -1;
	}
	const int n = 2 * registers(t);
	std::uint64_t bits = 0;
	if (t == vtype::f32 || t == vtype::f64) {
		/* A decimal: no hex, no names such as inf or nan. */
		char *end = nullptr;
		float f = 0;
		double d = 0;
		bool decimal = strspn(v, "0123456789+-.eE") == strlen(v);
		if (decimal && t == vtype::f32)
			f = strtof(v, &end);
		if (decimal && t == vtype::f64)
			d = strtod(v, &end);
		if (!decimal || !end || *end || end == v || std::isinf(t == vtype::f32 ? f : d)) {
			snprintf(why, static_cast<size_t>(size), // NOLINT(cert-err33-c)
				 t == vtype::f32 ? "not an f32, a decimal of at most 3.4028235e+38 either way: '%s'"
						 : "not an f64, a decimal of at most 1.7976931348623157e+308 either way: '%s'",
				 arg);
			return -1;
		}
		std::uint32_t b32;
		memcpy(&b32, &f, sizeof b32);
		if (t == vtype::f32)
			bits = b32;
		else
			memcpy(&bits, &d, sizeof bits);
	} else {
		const auto &l = limits[static_cast<int>(t)];
		const char *d = v + (*v == '-' || *v == '+');
		bool negative = *v == '-', ok = *d && strspn(d, "0123456789") == strlen(d);
		std::uint64_t m = 0;
		for (; ok && *d; d++) {
			unsigned digit = static_cast<unsigned>(*d - '0');
			ok = m <= (UINT64_MAX - digit) / 10;
			m = m * 10 + digit;
		}
		if (!ok || (negative ? m > l.least : m > l.most)) {
			snprintf(why, static_cast<size_t>(size), "not %s %s, %s: '%s'", name[0] == 'u' ? "a" : "an", name, l.range, arg); // NOLINT(cert-err33-c)
			return -1;
		}
		bits = negative ? 0 - m : m;
	}
	/* A register goes as Modbus sends it; the order is for values of more than one. */
	scatter(bits, n, n == 2 ? order::abcd : o, out);
	return n;
}

static unsigned word(const unsigned char *b)
{
	return static_cast<unsigned>(b[0] << 8 | b[1]);
}

static bool bitfunction(unsigned fc)
{
	return fc == 0x01 || fc == 0x02;
}

static bool regfunction(unsigned fc)
{
	return fc == 0x03 || fc == 0x04 || fc == 0x17;
}

int readable(vtype t, const unsigned char *req, int n, char *why, int size)
{
	const unsigned fc = n >= 2 ? req[1] : 0, asked = n >= 6 ? word(req + 4) : 0;
	const unsigned regs = static_cast<unsigned>(registers(t));
	const size_t s = static_cast<size_t>(size);
	*why = '\0';
	if (!bitfunction(fc) && !regfunction(fc))
		snprintf(why, s, "-d reads the replies to 01, 02, 03, 04 and 17, not to %02x", fc); // NOLINT(cert-err33-c): cut short at worst
	else if (t == vtype::bit && regfunction(fc))
		snprintf(why, s, "bit is for coils and inputs (01, 02), not for registers (%02x)", fc); // NOLINT(cert-err33-c)
	else if (t != vtype::bit && bitfunction(fc))
		snprintf(why, s, "%s is for registers (03, 04, 17), not for coils or inputs (%02x)", typeword(t), fc); // NOLINT(cert-err33-c)
	else if (regs > 1 && asked % regs)
		snprintf(why, s, "%s takes %u registers a value: %u asked", typeword(t), regs, asked); // NOLINT(cert-err33-c)
	return *why ? 2 : 0;
}

char *showreply(char *p, vtype t, order o, const unsigned char *f, int n, const unsigned char *req)
{
	const unsigned first = word(req + 2), asked = word(req + 4);
	const int count = n >= 3 ? f[2] : 0;
	if (n < 3 + count)
		return p;
	if (t == vtype::bit) {
		for (unsigned i = 0; i < asked && i / 8 < static_cast<unsigned>(count); i++) {
			p = decimal(p, first + i);
			*p++ = ' ';
			*p++ = static_cast<char>('0' + (f[3 + i / 8] >> (i % 8) & 1));
			*p++ = '\n';
		}
		return p;
	}
	if (t == vtype::text) {
		p = decimal(p, first);
		*p++ = ' ';
		p = showtext(p, f + 3, count);
		*p++ = '\n';
		return p;
	}
	const int size = 2 * registers(t);
	for (int at = 0; at + size <= count; at += size) {
		p = decimal(p, first + static_cast<unsigned>(at / 2));
		*p++ = ' ';
		p = showvalue(p, t, o, f + 3 + at);
		*p++ = '\n';
	}
	return p;
}

char *showframe(char *p, vtype t, order o, const unsigned char *f, int n, bool answer)
{
	const unsigned fc = n >= 2 ? f[1] : 0;
	int from = 0, count = 0;
	if (answer && regfunction(fc) && n >= 5) {
		from = 3;
		count = f[2];
	} else if (!answer && fc == 0x06 && n >= 8) {
		from = 4;
		count = 2;
	} else if (!answer && fc == 0x10 && n >= 9) {
		from = 7;
		count = f[6];
	}
	if (t == vtype::bit || t == vtype::none)
		return p;
	const int size = 2 * registers(t);
	if (!count || from + count > n - 2 || (size && count % size))
		return p;
	p = put(p, " =");
	if (t == vtype::text) {
		*p++ = ' ';
		return showtext(p, f + from, count);
	}
	for (int at = 0; at < count; at += size) {
		*p++ = ' ';
		p = showvalue(p, t, o, f + from + at);
	}
	return p;
}
