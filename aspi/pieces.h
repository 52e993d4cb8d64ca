// Reads longer than one transfer may be, sent in pieces by the layers over
// real transports (sg, spti) alike.
//
// A system takes a limited number of bytes in one pass-through command
// (128 KiB for an ATAPI drive, 64 KiB for most USB ones), while ASPI
// programs size their reads without asking: a whole megabyte at a time is
// common. A READ(10), READ(12) or READ CD that brings in more than a unit
// takes at once goes as consecutive reads of whole blocks, each within the
// limit, one after the other while the unit is held, and is answered as
// the one command the caller sent.
#ifndef ASPI_PIECES_H
#define ASPI_PIECES_H

#include "transient.h"

#include <stdint.h>

// The most sense data kept from one piece.
#define PIECES_SENSE_MAX 255

// The block size of a read that may go in pieces: READ(10), READ(12) or
// READ CD of a CDB at least that command's length, without relative
// addressing or a linked command, whose length divides by its transfer
// length exactly; 0 for any other command or length.
uint32_t pieces_block(const uint8_t *cdb, int cdb_length, uint32_t length);

// Whether a command bringing length bytes in may be sent through a unit
// that takes at most max bytes at once: in one piece, or in several whole
// blocks of pieces_block() each (for READ(10) and READ(12), of the unit's
// own blocks, which pieces_run() checks).
bool pieces_fit(const uint8_t *cdb, int cdb_length, uint32_t length, uint32_t max);

// Runs command as transient_run() does where it fits in max bytes. A data
// in read longer than that goes in pieces of as many whole blocks as max
// holds, each through command->data and the caller's buffer at its own
// place, from the first block on. The first piece has transient states
// ridden out as any command; on a later piece UNIT ATTENTION and NOT READY
// end the request (its bytes would come from another disc, or from a drive
// that went away meanwhile), BUSY and ABORTED COMMAND are ridden out.
// A piece that ends in RECOVERED ERROR goes on to the next; any other end
// but GOOD ends the request, nothing is sent after it. outcome describes
// the request: the piece that ended it, or the last RECOVERED ERROR of
// pieces that all counted (its sense copied into kept, PIECES_SENSE_MAX
// bytes); its residual is the bytes of command->length that did not reach
// the caller's buffer.
// READ(10) and READ(12) go in pieces of the unit's own block length, which
// READ CAPACITY(10) gives first: the request ends with its outcome where it
// does not end GOOD, and false is returned, nothing of the read sent, where
// the caller's buffer is too short for the read, the unit gives no length,
// or its block is over max.
bool pieces_run(const struct transient_limits *limits, struct transient_unit *unit,
                transient_send_fn send, void *context, const struct transient_command *command,
                uint32_t max, uint8_t *kept, struct transient_outcome *outcome);

#endif
