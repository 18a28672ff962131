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
#include <unistd.h>

#include "crc16.h"

static const int maxargs = 100; /* frame buffer size and argument limit */

/*
 * The stream's buffer, ours so that nothing comes from the heap. The line
 * leaves in one write only from a buffer of at least 128 bytes: through a
 * smaller one, glibc writes each piece of printf's output straight away.
 */
static char out[128];

int main(int argc, char *argv[])
{
	char buf[maxargs];
	int status = 0;

	setvbuf(stdout, out, _IOFBF, sizeof out); // NOLINT(cert-err33-c): cannot fail before the first output
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

	/* Output that never arrived is a failure, not a success; some errors only show at close. */
	if (fflush(stdout) == EOF || fclose(stdout) == EOF) {
		fprintf(stderr, "crc: write error: %s\n", strerror(errno)); // NOLINT(cert-err33-c): the status still tells
		_exit(1); /* and the line is not tried again on the way out */
	}
	return status;
}
