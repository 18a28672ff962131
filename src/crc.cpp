/*
 * crc - print the CRC-16/MODBUS check bytes of a frame given in hex.
 *
 * Every argument is one byte, so the CRC always covers as many bytes as
 * there are arguments. The check bytes are printed low byte first, the
 * order in which they follow the frame on the wire.
 */
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "crc16.h"

static const int maxargs = 100; /* frame buffer size and argument limit */

int main(int argc, char *argv[])
{
	char buf[maxargs];
	int status = 0;

	if (argc > maxargs + 1) {
		puts("Too many arguments!");
		status = 1;
	} else {
		for (int k = 1; k < argc; k++) {
			/* Text with no hex number in it stands for 0x00. */
			unsigned int val = 0;
			sscanf(argv[k], "%02x", &val); // NOLINT(cert-err33-c,cert-err34-c): no number leaves val at 0
			buf[k - 1] = static_cast<char>(val & 0xFF);
		}
		/* With an empty argument vector the count is -1: no bytes. */
		std::uint32_t crc = crc16(buf, argc - 1);
		printf("%02x %02x\n", crc & 0xFF, crc >> 8);
	}

	/* Output that never arrived is a failure, not a success. */
	if (fflush(stdout) == EOF || ferror(stdout)) {
		fprintf(stderr, "crc: write error: %s\n", strerror(errno)); // NOLINT(cert-err33-c): the status still tells
		return 1;
	}
	return status;
}
