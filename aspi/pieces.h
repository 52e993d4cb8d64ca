// Reads longer than one transfer may be, sent in pieces by the layers over
// real transports (sg, spti) alike.
//
// A system takes a limited number of bytes in one pass-through command
// (128 KiB for an ATAPI drive, 64 KiB for most USB ones), while ASPI
// programs size their reads without asking: a whole megabyte at a time is
// common. A READ(10), READ(12) or READ CD that brings in more than a unit
// takes at once goes as consecutive reads of whole blocks, each within the
// limit, one after the other while the unit is held, and is answered as
// the one command the caller sent: every block lands where that command
// would have put it, or the request is refused and nothing is sent.
#ifndef ASPI_PIECES_H
#define ASPI_PIECES_H

#include "transient.h"

#include <stdint.h>

// The most sense data kept from one piece.
#define PIECES_SENSE_MAX 255

// Whether a command bringing length bytes in may be sent through a unit of
// peripheral device type type that takes at most max bytes at once: in one
// piece, or as a read that may go in pieces. That is a READ(10) or READ(12)
// to a direct-access, write-once, CD/DVD or optical unit whose blocks stay
// below 2^32, or a READ CD to a CD/DVD unit with fields that select data;
// of its CDB's full length, without relative addressing or a linked
// command, and a transfer length other than 0.
bool pieces_fit(const uint8_t *cdb, int cdb_length, uint32_t length, uint32_t max, uint8_t type);

// Runs command as transient_run() does where it fits in max bytes. A data
// in read longer than that that pieces_fit() lets through goes in pieces
// of as many whole blocks as max holds, each through command->data and
// the caller's buffer at the place the one command would have put it, from
// the first block on.
//
// The bytes of a block: READ(10) and READ(12) move the unit's own, from
// READ CAPACITY(10) sent first (a CD/DVD unit's 0, 2340 or 2352 stand for
// 2048, as those units answer while they read 2048). READ CD's follow from
// its CDB: the expected sector type, the fields of byte 9 and the
// subchannel of byte 10. Where the sector type leaves them to the disc,
// the sizes whose read the caller's buffer holds decide where they agree;
// otherwise, where the transport's residual is exact (exact_residual), the
// bytes the first piece moved; otherwise the request is refused.
//
// The first piece has transient states ridden out as any command; on a
// later piece UNIT ATTENTION and NOT READY end the request (its bytes
// would come from another disc, or from a drive that went away meanwhile),
// BUSY and ABORTED COMMAND are ridden out. A piece that ends in RECOVERED
// ERROR goes on to the next; any other end but GOOD ends the request, and
// so does a piece before the last that moved less than it asked: nothing
// is sent after it. outcome describes the request: the piece that ended
// it, or the last RECOVERED ERROR of pieces that all counted (its sense
// copied into kept, PIECES_SENSE_MAX bytes); its residual is the bytes of
// command->length that did not reach the caller's buffer.
//
// Returns false, nothing of the read sent, where the caller's buffer is
// too short for the read, no block length serves, a block is over max, or
// the block length cannot be known; where READ CAPACITY does not end GOOD
// the request ends with its outcome.
bool pieces_run(const struct transient_limits *limits, struct transient_unit *unit,
                transient_send_fn send, void *context, const struct transient_command *command,
                uint32_t max, bool exact_residual, uint8_t *kept,
                struct transient_outcome *outcome);

#endif
