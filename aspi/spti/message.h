// The layer's lines on standard error.
#ifndef ASPISPTI_MESSAGE_H
#define ASPISPTI_MESSAGE_H

// Writes "wnaspi32: " and up to four parts (NULL for none) as one line.
void say(const char *a, const char *b, const char *c, const char *d);

// value in decimal digits, ended by a NUL; out holds 11 characters.
void decimal(char *out, unsigned long value);

#endif
