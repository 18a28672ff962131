/*
 * Values in registers: known values from the IEEE 754 formats and the four
 * orders, in both directions, and floats over random bits against the C++
 * library's shortest form (std::to_chars), which is made another way.
 */
#include <charconv>
#include <cstdint>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "run.h"
#include "value.h"

static std::string show(vtype t, order o, const std::string &wire)
{
	char b[64];
	char *p = showvalue(b, t, o, reinterpret_cast<const unsigned char *>(wire.data()));
	return std::string(b, static_cast<size_t>(p - b));
}

static std::string bytes(const std::string &h)
{
	std::string b;
	for (size_t i = 0; i + 1 < h.size(); i += 3)
		b += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
	return b;
}

/* The wire's bytes, in hex, for each order; the value's text; and TYPE:VALUE, where it may be given so. */
TEST(value, known_values_in_every_order)
{
	const struct {
		vtype t;
		std::string abcd, cdab, badc, dcba, text, arg;
	} cases[] = {
		{vtype::u32, "aa bb cc dd", "cc dd aa bb", "bb aa dd cc", "dd cc bb aa", "2864434397", "u32:2864434397"},
		{vtype::s32, "ff ff ff fe", "ff fe ff ff", "ff ff fe ff", "fe ff ff ff", "-2", "s32:-2"},
		{vtype::s32, "80 00 00 00", "00 00 80 00", "00 80 00 00", "00 00 00 80", "-2147483648", "s32:-2147483648"},
		{vtype::f32, "41 cc 00 00", "00 00 41 cc", "cc 41 00 00", "00 00 cc 41", "25.5", "f32:25.5"},
		{vtype::f32, "c0 20 00 00", "00 00 c0 20", "20 c0 00 00", "00 00 20 c0", "-2.5", "f32:-2.5"},
		{vtype::f32, "3d cc cc cd", "cc cd 3d cc", "cc 3d cd cc", "cd cc cc 3d", "0.1", "f32:0.1"},
		{vtype::f32, "b4 86 37 bd", "37 bd b4 86", "86 b4 bd 37", "bd 37 86 b4", "-2.5e-07", "f32:-2.5e-7"},
		{vtype::f32, "7f 7f ff ff", "ff ff 7f 7f", "7f 7f ff ff", "ff ff 7f 7f", "3.4028235e+38", "f32:3.4028235e38"},
		{vtype::f32, "00 00 00 01", "00 01 00 00", "00 00 01 00", "01 00 00 00", "1e-45", "f32:1e-45"},
		{vtype::f32, "80 00 00 00", "00 00 80 00", "00 80 00 00", "00 00 00 80", "-0", "f32:-0"},
		{vtype::f32, "00 00 00 00", "00 00 00 00", "00 00 00 00", "00 00 00 00", "0", "f32:0"},
		{vtype::f32, "7f 80 00 00", "00 00 7f 80", "80 7f 00 00", "00 00 80 7f", "inf", ""},
		{vtype::f32, "ff 80 00 00", "00 00 ff 80", "80 ff 00 00", "00 00 80 ff", "-inf", ""},
		{vtype::f32, "ff c0 00 01", "00 01 ff c0", "c0 ff 01 00", "01 00 c0 ff", "nan", ""},
		{vtype::f32, "47 c3 50 00", "50 00 47 c3", "c3 47 00 50", "00 50 c3 47", "1e+05", "f32:100000"},
		{vtype::f32, "42 c8 00 00", "00 00 42 c8", "c8 42 00 00", "00 00 c8 42", "100", "f32:100"},
		/* an integer past its shortest digits, whole */
		{vtype::f32, "d0 56 45 06", "45 06 d0 56", "56 d0 06 45", "06 45 56 d0", "-14379390976", "f32:-14379390976"},
		{vtype::f64, "3f f0 00 00 00 00 00 00", "00 00 00 00 00 00 3f f0", "f0 3f 00 00 00 00 00 00",
		 "00 00 00 00 00 00 f0 3f", "1", "f64:1"},
		{vtype::f64, "3f b9 99 99 99 99 99 9a", "99 9a 99 99 99 99 3f b9", "b9 3f 99 99 99 99 9a 99",
		 "9a 99 99 99 99 99 b9 3f", "0.1", "f64:0.1"},
		/* 0.1 as an f32, widened: the digits of the f64 */
		{vtype::f64, "3f b9 99 99 a0 00 00 00", "00 00 a0 00 99 99 3f b9", "b9 3f 99 99 00 a0 00 00",
		 "00 00 00 a0 99 99 b9 3f", "0.10000000149011612", "f64:0.10000000149011612"},
		{vtype::f64, "7f ef ff ff ff ff ff ff", "ff ff ff ff ff ff 7f ef", "ef 7f ff ff ff ff ff ff",
		 "ff ff ff ff ff ff ef 7f", "1.7976931348623157e+308", "f64:1.7976931348623157e308"},
		{vtype::f64, "00 00 00 00 00 00 00 01", "00 01 00 00 00 00 00 00", "00 00 00 00 00 00 01 00",
		 "01 00 00 00 00 00 00 00", "5e-324", "f64:4.9e-324"},
		{vtype::u64, "00 11 22 33 44 55 66 77", "66 77 44 55 22 33 00 11", "11 00 33 22 55 44 77 66",
		 "77 66 55 44 33 22 11 00", "4822678189205111", "u64:4822678189205111"},
		{vtype::u64, "ff ff ff ff ff ff ff ff", "ff ff ff ff ff ff ff ff", "ff ff ff ff ff ff ff ff",
		 "ff ff ff ff ff ff ff ff", "18446744073709551615", "u64:18446744073709551615"},
		{vtype::s64, "80 00 00 00 00 00 00 00", "00 00 00 00 00 00 80 00", "00 80 00 00 00 00 00 00",
		 "00 00 00 00 00 00 00 80", "-9223372036854775808", "s64:-9223372036854775808"},
		/* one register goes as Modbus sends it, whatever the order */
		{vtype::u16, "9c 41", "9c 41", "9c 41", "9c 41", "40001", "u16:40001"},
		{vtype::s16, "ff d8", "ff d8", "ff d8", "ff d8", "-40", "s16:-40"},
		{vtype::hex, "00 ab", "00 ab", "00 ab", "00 ab", "00ab", ""},
	};
	const order orders[] = {order::abcd, order::cdab, order::badc, order::dcba};
	for (auto &c : cases) {
		SCOPED_TRACE(c.text);
		const std::string wires[] = {c.abcd, c.cdab, c.badc, c.dcba};
		for (int k = 0; k < 4; k++) {
			EXPECT_EQ(show(c.t, orders[k], bytes(wires[k] + " ")), c.text) << wires[k];
			if (c.arg.empty())
				continue;
			unsigned char out[8];
			char why[160];
			int n = valuearg(c.arg.c_str(), orders[k], out, why, sizeof why);
			EXPECT_EQ(hex(std::string(reinterpret_cast<char *>(out), n > 0 ? static_cast<size_t>(n) : 0)),
				  wires[k] + " ")
				<< why;
		}
	}
}

TEST(value, what_is_no_value)
{
	const struct {
		const char *arg;
		const char *why;
	} cases[] = {
		{"s16:40000", "not an s16, -32768 to 32767: 's16:40000'"},
		{"s16:-32769", "not an s16, -32768 to 32767: 's16:-32769'"},
		{"u16:-1", "not a u16, 0 to 65535: 'u16:-1'"},
		{"u16:65536", "not a u16, 0 to 65535: 'u16:65536'"},
		{"u32:1.5", "not a u32, 0 to 4294967295: 'u32:1.5'"},
		{"u64:18446744073709551616", "not a u64, 0 to 18446744073709551615: 'u64:18446744073709551616'"},
		{"s64:9223372036854775808", "not an s64, -9223372036854775808 to 9223372036854775807: 's64:9223372036854775808'"},
		{"u16: 5", "not a u16, 0 to 65535: 'u16: 5'"},
		{"u16:0x10", "not a u16, 0 to 65535: 'u16:0x10'"},
		{"f32:1e39", "not an f32, a decimal of at most 3.4028235e+38 either way: 'f32:1e39'"},
		{"f32:-3.5e38", "not an f32, a decimal of at most 3.4028235e+38 either way: 'f32:-3.5e38'"},
		{"f32:abc", "not an f32, a decimal of at most 3.4028235e+38 either way: 'f32:abc'"},
		{"f32:inf", "not an f32, a decimal of at most 3.4028235e+38 either way: 'f32:inf'"},
		{"f32:nan", "not an f32, a decimal of at most 3.4028235e+38 either way: 'f32:nan'"},
		{"f32:0x1p3", "not an f32, a decimal of at most 3.4028235e+38 either way: 'f32:0x1p3'"},
		{"f32:1.5.5", "not an f32, a decimal of at most 3.4028235e+38 either way: 'f32:1.5.5'"},
		{"f64:1e309", "not an f64, a decimal of at most 1.7976931348623157e+308 either way: 'f64:1e309'"},
		{"u16:", "no value in 'u16:'"},
		{"x16:5", "not a type of value, u16, s16, u32, s32, f32, u64, s64 or f64: 'x16:5'"},
		{"hex:00ab", "not a type of value, u16, s16, u32, s32, f32, u64, s64 or f64: 'hex:00ab'"},
		{"f32-25.5:", "not a type of value, u16, s16, u32, s32, f32, u64, s64 or f64: 'f32-25.5:'"},
	};
	for (auto &c : cases) {
		unsigned char out[8];
		char why[160];
		EXPECT_EQ(valuearg(c.arg, order::abcd, out, why, sizeof why), -1) << c.arg;
		EXPECT_STREQ(why, c.why);
	}
	/* The nearest value of the type, however small; and no colon, no value. */
	unsigned char out[8];
	char why[160];
	EXPECT_EQ(valuearg("f32:1e-50", order::abcd, out, why, sizeof why), 4);
	EXPECT_EQ(hex(std::string(reinterpret_cast<char *>(out), 4)), "00 00 00 00 ");
	EXPECT_EQ(valuearg("f32:1e-40", order::abcd, out, why, sizeof why), 4);
	EXPECT_EQ(hex(std::string(reinterpret_cast<char *>(out), 4)), "00 01 16 c2 ");
	EXPECT_EQ(valuearg("0a", order::abcd, out, why, sizeof why), 0);
}

/* Any bits of a float, shown, are the C++ library's shortest form; and read back, the same bits. */
TEST(value, floats_in_the_fewest_digits)
{
	std::mt19937_64 rng(32);
	for (int i = 0; i < 20000; i++) {
		std::uint64_t r = rng();
		/* half of them from the ends of the range and around the integers */
		if (i % 2)
			r &= 0x80000000ffffffffull | (rng() % 2 ? 0x7ff0000000000000ull : 0x4030000000000000ull);
		bool single = i % 3 == 0;
		std::uint32_t r32 = static_cast<std::uint32_t>(r >> 32);
		float f;
		double d;
		memcpy(&f, &r32, 4);
		memcpy(&d, &r, 8);
		if (single ? f != f : d != d)
			continue;
		char want[64];
		auto end = single ? std::to_chars(want, want + sizeof want, f).ptr : std::to_chars(want, want + sizeof want, d).ptr;
		unsigned char wire[8];
		for (int k = 0; k < 8; k++)
			wire[k] = static_cast<unsigned char>((single ? std::uint64_t{r32} << 32 : r) >> (56 - 8 * k));
		std::string got = show(single ? vtype::f32 : vtype::f64, order::abcd, std::string(reinterpret_cast<char *>(wire), 8));
		ASSERT_EQ(got, std::string(want, end)) << std::hex << r;
		if (single ? std::isinf(f) : std::isinf(d))
			continue;
		unsigned char back[8];
		char why[160];
		std::string arg = (single ? "f32:" : "f64:") + got;
		ASSERT_EQ(valuearg(arg.c_str(), order::abcd, back, why, sizeof why), single ? 4 : 8) << why;
		ASSERT_EQ(memcmp(back, wire, single ? 4 : 8), 0) << arg;
	}
}

TEST(value, text_and_what_a_request_reads)
{
	const std::string t = std::string("AB\\ \x01\x7f\x80", 7) + std::string(3, '\0');
	char b[64];
	char *p = showtext(b, reinterpret_cast<const unsigned char *>(t.data()), static_cast<int>(t.size()));
	EXPECT_EQ(std::string(b, static_cast<size_t>(p - b)), "AB\\\\ \\x01\\x7f\\x80");

	const struct {
		vtype t;
		std::string req;
		const char *why;
	} cases[] = {
		{vtype::f32, "01 03 00 10 00 04", ""},
		{vtype::f32, "01 03 00 10 00 03", "f32 takes 2 registers a value: 3 asked"},
		{vtype::f64, "01 04 00 10 00 06", "f64 takes 4 registers a value: 6 asked"},
		{vtype::text, "01 03 00 10 00 03", ""},
		{vtype::bit, "01 01 00 10 00 03", ""},
		{vtype::bit, "01 03 00 10 00 03", "bit is for coils and inputs (01, 02), not for registers (03)"},
		{vtype::u16, "01 02 00 10 00 03", "u16 is for registers (03, 04, 17), not for coils or inputs (02)"},
		{vtype::u16, "01 06 00 10 00 03", "-d reads the replies to 01, 02, 03, 04 and 17, not to 06"},
		{vtype::u32, "01 17 00 10 00 02 00 20 00 01 02 00 00", ""},
		{vtype::u32, "01 17 00 10 00 01 00 20 00 01 02 00 00", "u32 takes 2 registers a value: 1 asked"},
	};
	for (auto &c : cases) {
		std::string req = bytes(c.req + " ");
		char why[160];
		int r = readable(c.t, reinterpret_cast<const unsigned char *>(req.data()), static_cast<int>(req.size()), why, sizeof why);
		EXPECT_EQ(r, *c.why ? 2 : 0) << c.req;
		EXPECT_STREQ(why, c.why);
	}
}
