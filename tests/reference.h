/*
 * An independent CRC-16/MODBUS to check crc16 against: the textbook
 * MSB-first table CRC over the normal-form polynomial 0x8005, with the input
 * bytes and the result bit-reversed by hand instead of shifting right.
 */
#ifndef REFERENCE_H
#define REFERENCE_H

#include <cstddef>
#include <cstdint>

inline unsigned reflect(unsigned v, int bits)
{
	unsigned r = 0;
	for (int i = 0; i < bits; i++)
		r |= ((v >> i) & 1u) << (bits - 1 - i);
	return r;
}

inline std::uint32_t reference(const unsigned char *p, std::size_t n)
{
	static std::uint16_t table[256];
	static bool built;
	for (unsigned b = 0; !built && b < 256; b++) {
		unsigned r = b << 8;
		for (int k = 0; k < 8; k++)
			r = (r & 0x8000) ? (r << 1) ^ 0x8005 : r << 1;
		table[b] = static_cast<std::uint16_t>(r);
	}
	built = true;

	unsigned r = 0xFFFF;
	for (std::size_t i = 0; i < n; i++)
		r = ((r << 8) ^ table[((r >> 8) ^ reflect(p[i], 8)) & 0xFF]) & 0xFFFF;
	return reflect(r, 16);
}

#endif
