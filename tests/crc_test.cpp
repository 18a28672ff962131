#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>

#include <gtest/gtest.h>

#include "run.h"

static result crc(const std::vector<std::string> &args)
{
	return run(CRC, args);
}

TEST(crc, frames)
{
	const struct {
		std::vector<std::string> args;
		const char *want;
	} cases[] = {
		{{}, "ff ff\n"},
		{{"01", "03", "00", "00", "00", "01"}, "84 0a\n"},
		{{"31", "32", "33", "34", "35", "36", "37", "38", "39"}, "37 4b\n"},
		{{"00"}, "bf 40\n"},
		{{"FF"}, "ff 00\n"},
		{{"ff"}, "ff 00\n"},
		{{"1234"}, "3f 4d\n"}, /* only the first two digits count */
		{{"12"}, "3f 4d\n"},
		{{"A"}, "3f 47\n"},
		{{"a"}, "3f 47\n"},
		{{"0a"}, "3f 47\n"},
		{{" 1f"}, "fe 88\n"},
		{{"-1"}, "ff 00\n"}, /* the low 8 bits of -1 */
		{{"-a"}, "3f 06\n"},
		{{"+5"}, "7f 43\n"},
		{{""}, "bf 40\n"}, /* no hex number: the byte 0x00 */
		{{"zz"}, "bf 40\n"},
		{{"12", "zz"}, "0d 10\n"}, /* 0x00, not the neighbour's byte */
		{{"1\x80"}, "7e 80\n"}, /* bytes that are not text */
		{{"\xff"}, "bf 40\n"},
		{{"\xa0" "12"}, "bf 40\n"}, /* 0xA0 is not white space here */
	};
	for (auto &c : cases) {
		result r = crc(c.args);
		EXPECT_EQ(r.out, c.want) << testing::PrintToString(c.args);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.status, 0);
	}
}

TEST(crc, argument_limit)
{
	std::vector<std::string> args(100, "00");
	result r = crc(args);
	EXPECT_EQ(r.out, "01 f4\n");
	EXPECT_EQ(r.status, 0);

	args.push_back("00");
	r = crc(args);
	EXPECT_EQ(r.out, "Too many arguments!\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 1);
}

TEST(crc, frame_with_its_check_bytes_prints_zero)
{
	std::mt19937 rng(8);
	for (int n = 0; n <= 98; n += 7) {
		std::vector<std::string> args;
		char hex[3];
		for (int i = 0; i < n; i++) {
			snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(rng() & 0xFF));
			args.push_back(hex);
		}
		std::string check = crc(args).out;
		ASSERT_EQ(check.size(), 6u);
		args.push_back(check.substr(0, 2));
		args.push_back(check.substr(3, 2));
		EXPECT_EQ(crc(args).out, "00 00\n") << n << " bytes";
	}
}

TEST(crc, empty_argument_vector)
{
	result r = run(CRC, {}, -1, true);
	EXPECT_EQ(r.out, "ff ff\n");
	EXPECT_EQ(r.status, 0);
}

TEST(crc, write_error_is_reported)
{
	int full = open("/dev/full", O_WRONLY);
	ASSERT_GE(full, 0);
	std::string want = std::string("crc: write error: ") + strerror(ENOSPC) + "\n";
	for (auto &args : {std::vector<std::string>{"01"}, std::vector<std::string>(101, "00")}) {
		result r = run(CRC, args, full);
		EXPECT_EQ(r.err, want);
		EXPECT_EQ(r.status, 1);
	}
	close(full);
}
