// Long reads in pieces, the same way in every real layer.

#include "pieces.h"

#include <string.h>

#define READ_10 0x28
#define READ_12 0xa8
#define READ_CD 0xbe

// Where a read's transfer length sits in its CDB, and how long the CDB is.
struct read_layout {
	int cdb_length;
	int count_at;
	int count_bytes;
};

static bool layout(uint8_t operation, struct read_layout *l)
{
	switch (operation) {
	case READ_10:
		*l = {10, 7, 2};
		return true;
	case READ_12:
		*l = {12, 6, 4};
		return true;
	case READ_CD:
		*l = {12, 6, 3};
		return true;
	}
	return false;
}

static uint32_t big_endian(const uint8_t *p, int bytes)
{
	uint32_t value = 0;

	for (int i = 0; i < bytes; i++)
		value = value << 8 | p[i];
	return value;
}

static void put_big_endian(uint8_t *p, int bytes, uint32_t value)
{
	for (int i = bytes - 1; i >= 0; i--, value >>= 8)
		p[i] = (uint8_t)value;
}

uint32_t pieces_block(const uint8_t *cdb, int cdb_length, uint32_t length)
{
	struct read_layout l;
	uint32_t count;

	if (!layout(cdb[0], &l) || cdb_length < l.cdb_length)
		return 0;
	// Relative addressing (byte 1, bit 0) counts from a block the unit
	// keeps; a linked command (the control byte's bit 0) waits for the
	// next. Neither survives being cut in two.
	if ((cdb[1] & 0x01) || (cdb[l.cdb_length - 1] & 0x01))
		return 0;
	count = big_endian(cdb + l.count_at, l.count_bytes);
	if (count == 0 || length % count != 0)
		return 0;
	return length / count;
}

bool pieces_fit(const uint8_t *cdb, int cdb_length, uint32_t length, uint32_t max)
{
	uint32_t block;

	if (length <= max)
		return true;
	block = pieces_block(cdb, cdb_length, length);
	// READ(10) and READ(12) go in the unit's own blocks, which pieces_run
	// learns and checks against max.
	return block != 0 && (block <= max || cdb[0] != READ_CD);
}

// The length of the unit's logical blocks, which READ(10) and READ(12)
// move, from READ CAPACITY(10); 0 where the unit did not say, outcome then
// telling why. A caller's buffer longer than its read (a whole 64 KiB for
// 16 blocks, say) divides into larger blocks than the unit's: pieces of
// those would leave each piece's bytes apart from the last's.
static uint32_t unit_block(const struct transient_limits *limits, struct transient_unit *unit,
                           transient_send_fn send, void *context, struct transient_outcome *outcome)
{
	uint8_t cdb[10] = {SCSI_READ_CAPACITY_10}, data[8] = {0};
	struct transient_command capacity = {cdb, 10, data, 8, TRANSIENT_DATA_IN, NULL, false};

	transient_run(limits, unit, send, context, &capacity, outcome);
	if (!transient_data_valid(outcome))
		return 0;
	return big_endian(data + 4, 4);
}

bool pieces_run(const struct transient_limits *limits, struct transient_unit *unit,
                transient_send_fn send, void *context, const struct transient_command *command,
                uint32_t max, uint8_t *kept, struct transient_outcome *outcome)
{
	struct transient_command piece = *command;
	struct read_layout l;
	uint8_t cdb[16];
	uint32_t block = 0, per_piece, lba, total, done, moved = 0;
	bool recovered = false;
	int kept_length = 0;

	piece.continues = false;
	if (command->length > max && command->direction == TRANSIENT_DATA_IN &&
	    command->caller != NULL)
		block = pieces_block(command->cdb, command->cdb_length, command->length);
	if (block == 0 || !layout(command->cdb[0], &l) ||
	    (block > max && command->cdb[0] == READ_CD)) {
		transient_run(limits, unit, send, context, &piece, outcome);
		if (!transient_data_valid(outcome))
			outcome->residual = command->length;
		return true;
	}
	if (command->cdb[0] != READ_CD) {
		uint32_t own = unit_block(limits, unit, send, context, outcome);

		if (own == 0 && !transient_data_valid(outcome)) {
			outcome->residual = command->length;
			return true;
		}
		// A buffer too short for the read, or a unit without a length
		// that serves: nothing of the read is sent.
		if (own == 0 || own > block || own > max)
			return false;
		block = own;
	}

	memcpy(cdb, command->cdb, (size_t)command->cdb_length);
	piece.cdb = cdb;
	per_piece = max / block;
	lba = big_endian(cdb + 2, 4);
	total = big_endian(cdb + l.count_at, l.count_bytes);
	for (done = 0; done < total; done += per_piece) {
		uint32_t count = total - done < per_piece ? total - done : per_piece;

		put_big_endian(cdb + 2, 4, lba + done);
		put_big_endian(cdb + l.count_at, l.count_bytes, count);
		piece.length = count * block;
		piece.caller = command->caller + done * block;
		transient_run(limits, unit, send, context, &piece, outcome);
		if (!transient_data_valid(outcome)) {
			outcome->residual = command->length - moved;
			return true;
		}
		if (outcome->status != SCSI_GOOD) {
			// RECOVERED ERROR: the caller hears of it at the end, as a
			// unit tells it after a whole transfer.
			recovered = true;
			kept_length = outcome->sense_length < PIECES_SENSE_MAX
			                  ? outcome->sense_length
			                  : PIECES_SENSE_MAX;
			memcpy(kept, outcome->sense, (size_t)kept_length);
		}
		// What the transport says a piece did not move counts against
		// the caller's residual; the next piece goes at its own place.
		moved += piece.length -
		         (outcome->residual < piece.length ? outcome->residual : piece.length);
		piece.continues = true;
	}
	outcome->residual = command->length - moved;
	if (recovered) {
		outcome->status = SCSI_CHECK_CONDITION;
		outcome->sense = kept;
		outcome->sense_length = kept_length;
	}
	return true;
}
