/*
 * What must hold whatever the arguments: the programs are started with
 * random argument vectors, from a seed that is printed when a check fails
 * and can be given back through PROPERTY_SEED.
 */
#include <cstdlib>
#include <random>
#include <regex>

#include <gtest/gtest.h>

#include "crc16.h"
#include "run.h"

static unsigned seed()
{
	const char *s = getenv("PROPERTY_SEED");
	return s ? static_cast<unsigned>(strtoul(s, nullptr, 10)) : std::random_device{}();
}

/* Random bytes 1..255, half of them drawn from what the conversions look at. */
static std::string noise(std::mt19937 &rng)
{
	static const char near[] = " \t\n\v+-0123456789abcdefABCDEFxz";
	std::string a(rng() % 9, '\0');
	for (auto &c : a)
		c = rng() % 2 ? near[rng() % (sizeof near - 1)] : static_cast<char>(1 + rng() % 255);
	return a;
}

TEST(property, crc_prints_one_line_of_check_bytes)
{
	unsigned s = seed();
	SCOPED_TRACE("PROPERTY_SEED=" + std::to_string(s));
	std::mt19937 rng(s);
	const std::regex line("[0-9a-f]{2} [0-9a-f]{2}\n");

	for (int i = 0; i < 300; i++) {
		bool hex = i % 3 == 0; /* well-formed two-digit bytes, either case */
		std::vector<std::string> args(rng() % 101);
		std::string frame;
		for (auto &a : args) {
			if (!hex) {
				a = noise(rng);
				continue;
			}
			unsigned v = rng() % 256;
			char b[3];
			snprintf(b, sizeof b, rng() % 2 ? "%02x" : "%02X", v);
			a = b;
			frame += static_cast<char>(v);
		}
		result r = run(CRC, args);
		ASSERT_EQ(r.status, 0) << testing::PrintToString(args);
		ASSERT_TRUE(std::regex_match(r.out, line)) << r.out;
		ASSERT_EQ(r.err, "");
		if (hex) {
			frame += static_cast<char>(std::stoul(r.out.substr(0, 2), nullptr, 16));
			frame += static_cast<char>(std::stoul(r.out.substr(3, 2), nullptr, 16));
			ASSERT_EQ(crc16(frame.data(), static_cast<std::int32_t>(frame.size())), 0u)
				<< testing::PrintToString(args) << " printed " << r.out;
		}
	}
}

TEST(property, rawbyte_writes_one_byte_per_argument)
{
	unsigned s = seed();
	SCOPED_TRACE("PROPERTY_SEED=" + std::to_string(s));
	std::mt19937 rng(s);

	for (int i = 0; i < 300; i++) {
		std::vector<std::string> args(rng() % 300);
		for (auto &a : args)
			a = noise(rng);
		result r = run(RAWBYTE, args);
		ASSERT_EQ(r.status, 0) << testing::PrintToString(args);
		ASSERT_EQ(r.out.size(), args.size()) << testing::PrintToString(args);
		ASSERT_EQ(r.err, "");
	}
}
