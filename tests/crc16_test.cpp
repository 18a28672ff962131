#include <climits>
#include <cstdint>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "crc16.h"

/*
 * An independent reference: the textbook MSB-first table CRC over the
 * normal-form polynomial 0x8005, with input bytes and the result
 * bit-reversed by hand instead of shifting right.
 */
static unsigned reflect(unsigned v, int bits)
{
	unsigned r = 0;
	for (int i = 0; i < bits; i++)
		r |= ((v >> i) & 1u) << (bits - 1 - i);
	return r;
}

static std::uint32_t reference(const std::string &s)
{
	static std::uint16_t table[256];
	for (unsigned n = 0; n < 256; n++) {
		unsigned r = n << 8;
		for (int b = 0; b < 8; b++)
			r = (r & 0x8000) ? (r << 1) ^ 0x8005 : r << 1;
		table[n] = static_cast<std::uint16_t>(r);
	}
	unsigned r = 0xFFFF;
	for (unsigned char c : s)
		r = ((r << 8) ^ table[((r >> 8) ^ reflect(c, 8)) & 0xFF]) & 0xFFFF;
	return reflect(r, 16);
}

static std::uint32_t crc(const std::string &s)
{
	return crc16(s.data(), static_cast<std::int32_t>(s.size()));
}

TEST(crc16, catalogue)
{
	const struct {
		std::string in;
		std::uint32_t want;
	} cases[] = {
		{"", 0xFFFF},
		{"123456789", 0x4B37},
		{std::string(1, '\0'), 0x40BF},
		{"\xFF", 0x00FF}, /* a byte with its top bit set counts as 255 */
		{std::string("\x01\x03\x00\x00\x00\x01", 6), 0x0A84},
	};
	for (auto &c : cases)
		EXPECT_EQ(crc(c.in), c.want) << testing::PrintToString(c.in);
}

TEST(crc16, nonpositive_count_reads_nothing)
{
	for (std::int32_t n : {0, -1, -100, INT32_MIN})
		EXPECT_EQ(crc16(nullptr, n), 0xFFFFu) << n;
}

TEST(crc16, matches_reference_and_leaves_zero_residue)
{
	std::mt19937 rng(20261208);
	for (int len = 0; len < 600; len++) {
		std::string s(static_cast<size_t>(len), '\0');
		for (auto &c : s)
			c = static_cast<char>(rng());
		std::uint32_t r = crc(s);
		ASSERT_EQ(r, reference(s)) << "length " << len;
		s += static_cast<char>(r & 0xFF);
		s += static_cast<char>(r >> 8);
		ASSERT_EQ(crc(s), 0u) << "length " << len;
	}
}
