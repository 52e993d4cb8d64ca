// ASPI device access: binds the ASPI for Win32 library, picks the first
// CD-ROM unit and reads logical blocks from it. Every failure prints one
// "ERROR: " line on standard output and ends the process with status 1.
#ifndef WNASPI32_H
#define WNASPI32_H

#include <stdint.h>

void wnaspi32_init();
void wnaspi32_deinit();
int wnaspi32_is_cdrom(int a, int t);
void wnaspi32_issue_command(const uint8_t *cdb, int cdb_length, uint8_t *buffer,
                            uint32_t buffer_length);
void wnaspi32_read(int32_t lba, uint8_t *buffer, uint32_t buffer_length);

#endif
