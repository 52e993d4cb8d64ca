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
// would have put it, or the request is refused and nothing is sent, or it
// ends as a failure where the pieces came short. A command whose CDB
// bounds what it brings in goes whatever the caller's buffer.
#ifndef ASPI_PIECES_H
#define ASPI_PIECES_H

#include "transient.h"

#include <stdint.h>

// The most sense data kept from one piece.
#define PIECES_SENSE_MAX 255

// Whether a data-in command's CDB bounds what it may bring in (READ
// CAPACITY(10): 8 bytes; INQUIRY, REQUEST SENSE, MODE SENSE, READ TOC and
// the others that carry an allocation length other than 0), and the bound.
// A unit moves no more than that whatever buffer the caller gives, so such
// a command goes with the smaller of the two.
bool pieces_bound(const uint8_t *cdb, int cdb_length, uint32_t *bound);

// Whether a command bringing length bytes in may be sent through a unit of
// peripheral device type type that takes at most max bytes at once: in one
// piece (its CDB's bound within max, see pieces_bound()), or as a read that
// may go in pieces. That is a READ(10) or READ(12) to a direct-access,
// write-once, CD/DVD or optical unit whose blocks stay below 2^32, or a READ
// CD to a CD/DVD unit with fields that select data; of its CDB's full
// length, without relative addressing or a linked command, and a transfer
// length other than 0.
bool pieces_fit(const uint8_t *cdb, int cdb_length, uint32_t length, uint32_t max, uint8_t type);

// How pieces_run() ended.
enum pieces_result {
	PIECES_REFUSED, // nothing of the read sent
	PIECES_SENT,    // outcome is the request's, as one command's
	PIECES_SHORT,   // a read in pieces ended before its last block
};

// Runs command as transient_run() does where it fits in max bytes (a data
// in command bounded by its CDB goes with that length where it is less).
// A data in read longer than that that pieces_fit() lets through goes in
// pieces of whole blocks, each within max, through command->data and the
// caller's buffer right after the bytes that came before it, from the
// first block on, so that the caller gets what one command would give.
//
// The bytes of a block: READ(10) and READ(12) move the unit's own, from
// READ CAPACITY(10) sent first. A CD/DVD unit's 0 stands for 2048; its
// 2340 or 2352 too, unless MODE SENSE(10), sent next, gives a block
// descriptor, whose length then counts (a drive set to raw blocks by MODE
// SELECT moves them). READ CD's follow from its CDB: the expected sector
// type, the fields of byte 9 and the subchannel of byte 10; where the
// sector type leaves them to the disc they may differ from block to block.
// Where the transport's residual is exact (exact_residual), each piece is
// sized for the largest, capped at what is left of the caller's buffer;
// otherwise the sizes whose read the caller's buffer holds must agree, or
// the request is refused.
//
// The first piece has transient states ridden out as any command; on a
// later piece UNIT ATTENTION and NOT READY end the request (its bytes
// would come from another disc, or from a drive that went away meanwhile),
// BUSY and ABORTED COMMAND are ridden out. A piece that ends in RECOVERED
// ERROR goes on to the next; any other end but GOOD ends the request with
// that outcome. outcome describes the request: the piece that ended it, or
// the last RECOVERED ERROR of pieces that all counted (its sense copied
// into kept, PIECES_SENSE_MAX bytes); its residual is the bytes of
// command->length that did not reach the caller's buffer.
//
// PIECES_SHORT where a piece before the last brought fewer bytes than its
// blocks may have, or the caller's buffer has no room left for the next
// piece's blocks: nothing is sent after it, and the bytes that came stay.
// PIECES_REFUSED, nothing of the read sent, where the caller's buffer is
// too short for the read, no block length serves, a block is over max, or
// the block length cannot be known; where READ CAPACITY does not end GOOD
// the request ends with its outcome.
enum pieces_result pieces_run(const struct transient_limits *limits, struct transient_unit *unit,
                              transient_send_fn send, void *context,
                              const struct transient_command *command, uint32_t max,
                              bool exact_residual, uint8_t *kept,
                              struct transient_outcome *outcome);

#endif
