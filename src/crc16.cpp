#include "crc16.h"

/*
 * The reflected form: the bytes go in least significant bit first, so the
 * register shifts right instead of left and the polynomial is bit-reversed.
 * The bit that falls out at the bottom is the one that would have overflowed
 * at the top of the textbook register; when it is 1, the polynomial is
 * subtracted (XORed). Working bit by bit keeps the routine free of tables.
 */
std::uint32_t crc16(const char *buf, std::int32_t len)
{
	static const std::uint32_t magic = 0xA001; /* 0x8005 reflected */
	std::uint32_t crc = 0xFFFF;

	for (std::int32_t i = 0; i < len; i++) {
		crc ^= static_cast<unsigned char>(buf[i]);
		for (int bit = 0; bit < 8; bit++) {
			std::uint32_t out = crc & 1;
			crc >>= 1;
			if (out)
				crc ^= magic;
		}
	}
	return crc;
}
