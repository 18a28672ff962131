#include <climits>
#include <cstdint>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "crc16.h"
#include "reference.h"

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
		ASSERT_EQ(r, reference(reinterpret_cast<const unsigned char *>(s.data()), s.size())) << "length " << len;
		s += static_cast<char>(r & 0xFF);
		s += static_cast<char>(r >> 8);
		ASSERT_EQ(crc(s), 0u) << "length " << len;
	}
}
