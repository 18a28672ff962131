/*
 * libFuzzer target: crc16 must agree with the table reference on every
 * input, leave a zero residue when the input is followed by its own check
 * bytes (low byte first), and read nothing for zero or negative counts.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crc16.h"
#include "reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	static char framed[4096 + 2];
	if (size > 4096)
		return 0;
	auto n = static_cast<std::int32_t>(size);

	/* Straight from the fuzzer's buffer, so a read past the end is caught. */
	std::uint32_t crc = crc16(reinterpret_cast<const char *>(data), n);
	if (crc != reference(data, size))
		abort();

	memcpy(framed, data, size);
	framed[size] = static_cast<char>(crc & 0xFF);
	framed[size + 1] = static_cast<char>(crc >> 8);
	if (crc16(framed, n + 2) != 0)
		abort();

	if (crc16(nullptr, 0) != 0xFFFF || crc16(nullptr, -n - 1) != 0xFFFF)
		abort();
	return 0;
}
