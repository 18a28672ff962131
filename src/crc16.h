/*
 * crc16 - the CRC-16/MODBUS check of a run of bytes.
 *
 *   polynomial   x^16 + x^15 + x^2 + 1 (0x8005), used reflected as 0xA001
 *   initial      0xFFFF
 *   reflected    in and out (bytes enter least significant bit first)
 *   final XOR    none
 *   check        crc16("123456789", 9) == 0x4B37
 *
 * Each byte counts as its value 0..255, whatever the signedness of char.
 * A count of zero or less reads nothing and gives the initial 0xFFFF.
 * The CRC comes back in the low 16 bits; the upper 16 bits are zero.
 *
 * The routine does not order the two check bytes: the caller does. A Modbus
 * serial frame carries them low byte first, then high byte, and a frame
 * followed by its check bytes in that order has a CRC of 0.
 */
#ifndef CRC16_H
#define CRC16_H

#include <cstdint>

std::uint32_t crc16(const char *buf, std::int32_t len);

#endif
