/*
 * rawbyte - write each decimal argument, clamped into 0..255, as one raw byte.
 *
 * Nothing is written before, between or after the bytes, and nothing is
 * said on success: standard output is the data.
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
	/*
	 * A terminal's line buffering would flush at every 0x0A and split
	 * a frame across two writes; fully buffered, it leaves in one.
	 */
	setvbuf(stdout, nullptr, _IOFBF, 0); // NOLINT(cert-err33-c): on failure the bytes still go out, maybe in two writes

	for (int i = 1; i < argc; i++) {
		/* atoi's rule, but strtol saturates where atoi is undefined. */
		long val = strtol(argv[i], nullptr, 10);
		if (val > 255)
			val = 255;
		if (val < 0)
			val = 0;
		putchar(static_cast<int>(val));
	}

	/* Bytes that never arrived are a failure, not a success. */
	if (fflush(stdout) == EOF || ferror(stdout)) {
		fprintf(stderr, "rawbyte: write error: %s\n", strerror(errno)); // NOLINT(cert-err33-c): the status still tells
		return 1;
	}
	return 0;
}
