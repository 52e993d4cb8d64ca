// sysgrab: copies logical blocks 0-15 of the first CD-ROM drive, 2048 bytes
// each, into a file, through the ASPI for Win32 layer.

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "wnaspi32.h"

#define BLOCK_SIZE 2048
#define BLOCK_COUNT 16
#define FIRST_LBA 0
#define IMAGE_SIZE (BLOCK_SIZE * BLOCK_COUNT)

static const char usage[] = "SYSGRAB.EXE 0.001 -- to be used with KAVOR 0.070 MS-DOS port\n"
                            " extracts the lower 16 sectors from a cdrom in 2048-byte mode.\n"
                            " the first cdrom drive found is used. requires wnaspi32.\n"
                            "\n"
                            " usage: sysgrab.exe [output file]\n"
                            " example: sysgrab.exe gamedisc.bin\n";

// The image file, open from the start of the run to its end, and its name.
static FILE *out;
static const char *out_name;

// A failed run leaves the file empty, a failed write or close too: what
// part of the image reached the file is cut off. Once the stream is
// closed, opening the file again for writing empties it.
static void write_failed(bool closed)
{
	FILE *again;

	if (closed || ftruncate(fileno(out), 0) != 0) {
		again = fopen(out_name, "wb");
		if (again != NULL)
			fclose(again);
	}
	printf("ERROR: could not write output file\n");
	exit(1);
}

// Reads the sixteen blocks into one buffer and writes it out in one piece,
// so a run that fails part way leaves the file empty. Bytes no read
// delivers stay 0xFF.
static void wnaspi32_extract()
{
	static uint8_t buff[IMAGE_SIZE];
	int n;

	memset(buff, 0xff, sizeof buff);
	for (n = 0; n < BLOCK_COUNT; n++)
		wnaspi32_read(FIRST_LBA + n, buff + n * BLOCK_SIZE, BLOCK_SIZE);
	if (fwrite(buff, 1, sizeof buff, out) != sizeof buff)
		write_failed(false);
}

int main(int argc, char *argv[])
{
	if (argc != 2) {
		fputs(usage, stdout);
		return 0;
	}
	printf("SYSGRAB.EXE 0.001\n");
#ifdef SIGXFSZ
	// A write past the file size limit then fails as any failed write
	// does, rather than killing the program half-way through it.
	signal(SIGXFSZ, SIG_IGN);
#endif

	// Created, or truncated, before the drive is looked for.
	out_name = argv[1];
	out = fopen(out_name, "wb");
	if (out == NULL) {
		printf("ERROR: could not open output file\n");
		exit(1);
	}
	// Unbuffered: the image goes out in one write, and after a failed one
	// no buffer is left for the exit to write into the file.
	setvbuf(out, NULL, _IONBF, 0);

	printf("initializing wnaspi32\n");
	wnaspi32_init();
	printf("extracting ...\n");
	wnaspi32_extract();
	printf("deinitializing wnaspi32\n");
	wnaspi32_deinit();

	if (fclose(out) != 0)
		write_failed(true);
	printf("extraction complete\n");
	return 0;
}
