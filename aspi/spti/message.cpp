// The layer's lines on standard error, written through KERNEL32 alone.

#include <windows.h>

#include "message.h"

void say(const char *a, const char *b, const char *c, const char *d)
{
	const char *parts[] = {"wnaspi32: ", a, b, c, d};
	char line[4 * MAX_PATH];
	int n = 0;
	DWORD written;
	HANDLE err;

	for (const char *p : parts) {
		for (; p != NULL && *p && n < (int)sizeof line - 2; p++)
			line[n++] = *p;
	}
	line[n++] = '\r';
	line[n++] = '\n';
	err = GetStdHandle(STD_ERROR_HANDLE);
	if (err != NULL && err != INVALID_HANDLE_VALUE)
		WriteFile(err, line, (DWORD)n, &written, NULL);
}

void decimal(char *out, unsigned long value)
{
	char digits[16];
	int n = 0;

	do {
		digits[n++] = (char)('0' + value % 10);
		value /= 10;
	} while (value != 0);
	while (n > 0)
		*out++ = digits[--n];
	*out = 0;
}
