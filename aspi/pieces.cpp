// Long reads in pieces, the same way in every real layer.

#include "pieces.h"

#include <string.h>

#define READ_10 0x28
#define READ_12 0xa8
#define READ_CD 0xbe
#define MODE_SENSE_10 0x5a
#define MODE_PAGE_ERROR_RECOVERY 0x01

#define DTYPE_CDROM 5

// The block READ(10) moves on CD/DVD units that give another length.
#define CD_BLOCK 2048

// A read that may go in pieces, as its CDB gives it.
struct read_shape {
	int cdb_length;
	int count_at, count_bytes; // where the transfer length sits
	uint32_t lba, count;
	// READ CD: the bytes of a block for each sector type it may meet, CD-DA
	// to Mode 2 Form 2 (all alike where the CDB names one); 0 for READ(10)
	// and READ(12), whose blocks the unit gives.
	uint32_t sizes[5];
};

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

// Bytes of a sector of type t (1 CD-DA, 2 Mode 1, 3 Mode 2 formless,
// 4 Mode 2 Form 1, 5 Mode 2 Form 2) that READ CD's byte 9 selects of its
// main channel: sync 12, header 4, subheader 8 (Mode 2 forms only), user
// data and EDC/ECC by mode. A CD-DA sector is 2352 whatever part is asked.
static uint32_t main_channel(int t, uint8_t fields)
{
	static const uint16_t user[6] = {0, 2352, 2048, 2336, 2048, 2324};
	static const uint16_t edc_ecc[6] = {0, 0, 288, 0, 280, 4};
	uint32_t n = 0;

	if ((fields & 0xf8) == 0)
		return 0;
	if (t == 1)
		return 2352;
	if (fields & 0x80)
		n += 12;
	if (fields & 0x20)
		n += 4;
	if ((fields & 0x40) && t >= 4)
		n += 8;
	if (fields & 0x10)
		n += user[t];
	if (fields & 0x08)
		n += edc_ecc[t];
	return n;
}

// READ CD's bytes per block for each sector type the CDB admits; false for
// reserved values, or fields that select nothing.
static bool read_cd_sizes(const uint8_t *cdb, uint32_t sizes[5])
{
	static const uint16_t c2[4] = {0, 294, 296, 0};
	static const uint16_t subchannel[8] = {0, 96, 16, 0, 96, 0, 0, 0};
	int expected = cdb[1] >> 2 & 0x07, c2_field = cdb[9] >> 1 & 0x03, sub = cdb[10] & 0x07;
	uint32_t extra = (uint32_t)c2[c2_field] + subchannel[sub];
	bool any = false;

	if (expected > 5 || c2_field == 3 || (sub != 0 && subchannel[sub] == 0))
		return false;
	for (int t = 1; t <= 5; t++) {
		sizes[t - 1] = main_channel(expected != 0 ? expected : t, cdb[9]) + extra;
		any = any || sizes[t - 1] != 0;
	}
	return any;
}

// The shape of a read that may go in pieces to a unit of type type; false
// for any other command.
static bool shape(const uint8_t *cdb, int cdb_length, uint8_t type, struct read_shape *s)
{
	bool reads = transient_block_unit(type);

	switch (cdb[0]) {
	case READ_10:
		*s = {10, 7, 2, 0, 0, {0}};
		break;
	case READ_12:
		*s = {12, 6, 4, 0, 0, {0}};
		break;
	case READ_CD:
		*s = {12, 6, 3, 0, 0, {0}};
		reads = type == DTYPE_CDROM;
		break;
	default:
		return false;
	}
	if (!reads || cdb_length < s->cdb_length)
		return false;
	// Relative addressing (byte 1, bit 0) counts from a block the unit
	// keeps; a linked command (the control byte's bit 0) waits for the
	// next. Neither survives being cut in two.
	if ((cdb[1] & 0x01) || (cdb[s->cdb_length - 1] & 0x01))
		return false;
	s->lba = big_endian(cdb + 2, 4);
	s->count = big_endian(cdb + s->count_at, s->count_bytes);
	if (s->count == 0)
		return false;
	if (cdb[0] == READ_CD)
		return read_cd_sizes(cdb, s->sizes);
	// Blocks past the last address would wrap to block 0 in a later piece.
	// (READ CD's addresses are signed, from the lead-in on: they may.)
	return (uint64_t)s->lba + s->count <= 0x100000000ull;
}

// Commands whose CDB bounds what they may bring in: READ CAPACITY(10)'s
// eight bytes, and the allocation length of the commands that carry one,
// where SPC and MMC put it (big-endian). A bound of 0 counts as none: SCSI-2
// units answer REQUEST SENSE's 0 with four bytes.
bool pieces_bound(const uint8_t *cdb, int cdb_length, uint32_t *bound)
{
	static const struct {
		uint8_t operation, cdb_length, at, bytes;
	} fields[] = {
	    {0x03, 6, 4, 1},  // REQUEST SENSE
	    {0x12, 6, 3, 2},  // INQUIRY
	    {0x1a, 6, 4, 1},  // MODE SENSE(6)
	    {0x42, 10, 7, 2}, // READ SUB-CHANNEL
	    {0x43, 10, 7, 2}, // READ TOC/PMA/ATIP
	    {0x46, 10, 7, 2}, // GET CONFIGURATION
	    {0x4a, 10, 7, 2}, // GET EVENT STATUS NOTIFICATION
	    {0x51, 10, 7, 2}, // READ DISC INFORMATION
	    {0x52, 10, 7, 2}, // READ TRACK INFORMATION
	    {0x5a, 10, 7, 2}, // MODE SENSE(10)
	    {0x5c, 10, 7, 2}, // READ BUFFER CAPACITY
	    {0xa0, 12, 6, 4}, // REPORT LUNS
	};

	if (cdb[0] == SCSI_READ_CAPACITY_10 && cdb_length >= 10) {
		*bound = 8;
		return true;
	}
	for (const auto &f : fields) {
		if (f.operation == cdb[0] && cdb_length >= f.cdb_length) {
			*bound = big_endian(cdb + f.at, f.bytes);
			return *bound != 0;
		}
	}
	return false;
}

bool pieces_fit(const uint8_t *cdb, int cdb_length, uint32_t length, uint32_t max, uint8_t type)
{
	struct read_shape s;
	uint32_t bound;

	return length <= max || (pieces_bound(cdb, cdb_length, &bound) && bound <= max) ||
	       shape(cdb, cdb_length, type, &s);
}

// The block length in READ(10)'s block descriptor of MODE SENSE(10); 0
// where the unit gives none.
static uint32_t descriptor_block(const struct transient_limits *limits, struct transient_unit *unit,
                                 transient_send_fn send, void *context)
{
	// DBD clear, the read-write error recovery page every CD/DVD unit
	// has: the header, then the block descriptor.
	uint8_t cdb[10] = {MODE_SENSE_10, 0, MODE_PAGE_ERROR_RECOVERY, 0, 0, 0, 0, 0, 16, 0};
	uint8_t data[16] = {0};
	struct transient_command sense = {cdb, 10, data, 16, TRANSIENT_DATA_IN, NULL, false};
	struct transient_outcome outcome;

	transient_run(limits, unit, send, context, &sense, &outcome);
	if (!transient_data_valid(&outcome) || big_endian(data + 6, 2) < 8)
		return 0;
	return big_endian(data + 13, 3);
}

// The length of the unit's logical blocks, which READ(10) and READ(12)
// move, from READ CAPACITY(10); 0 where the unit did not say, outcome then
// telling why, or gave a length that serves no read.
static uint32_t unit_block(const struct transient_limits *limits, struct transient_unit *unit,
                           transient_send_fn send, void *context, struct transient_outcome *outcome)
{
	uint8_t cdb[10] = {SCSI_READ_CAPACITY_10}, data[8] = {0};
	struct transient_command capacity = {cdb, 10, data, 8, TRANSIENT_DATA_IN, NULL, false};
	uint32_t block;

	transient_run(limits, unit, send, context, &capacity, outcome);
	if (!transient_data_valid(outcome))
		return 0;
	block = big_endian(data + 4, 4);
	if (unit->type != DTYPE_CDROM)
		return block;
	// CD/DVD drives answer the raw sector's length, or none, while READ
	// moves 2048 bytes a block, as Linux's CD driver takes them; but a
	// drive set to raw blocks by MODE SELECT answers the same, and moves
	// them: its block descriptor tells which.
	if (block == 2340 || block == 2352) {
		block = descriptor_block(limits, unit, send, context);
		return block != 0 ? block : CD_BLOCK;
	}
	return block == 0 ? CD_BLOCK : block;
}

// The pieces of one read: the blocks one piece asks for, and the least and
// most bytes a block may bring in.
struct sizing {
	uint32_t per_piece, least, most;
};

// How a read of shape s into length bytes goes in pieces of at most max
// bytes; false where it cannot go so. READ CD's blocks may differ in size
// within the read (a data track beside an audio one, Form 2 sectors among
// Form 1): where the transport's residual is exact, every piece is sized
// for the largest block and the next goes after what came; otherwise the
// sizes whose read the buffer holds must agree, or where one piece's bytes
// end is not known.
static bool size_pieces(const struct read_shape *s, uint32_t block, uint32_t length, uint32_t max,
                        bool exact_residual, struct sizing *z)
{
	uint32_t held = 0;

	z->least = z->most = block;
	if (block == 0) {
		for (uint32_t size : s->sizes) {
			if (size == 0)
				continue;
			if (z->least == 0 || size < z->least)
				z->least = size;
			if (size > z->most)
				z->most = size;
			if ((uint64_t)size * s->count > length)
				continue;
			if (held != 0 && held != size && !exact_residual)
				return false;
			held = size;
		}
		if (!exact_residual)
			z->least = z->most = held;
	} else if ((uint64_t)block * s->count > length) {
		return false;
	}
	if (held == 0 && block == 0)
		return false;
	if (z->most == 0 || z->most > max)
		return false;
	z->per_piece = max / z->most;
	return true;
}

enum pieces_result pieces_run(const struct transient_limits *limits, struct transient_unit *unit,
                              transient_send_fn send, void *context,
                              const struct transient_command *command, uint32_t max,
                              bool exact_residual, uint8_t *kept, struct transient_outcome *outcome)
{
	struct transient_command piece = *command;
	struct read_shape s;
	struct sizing z;
	uint8_t cdb[16];
	uint32_t block = 0, done = 0, moved = 0, bound;
	bool recovered = false;
	int kept_length = 0;

	piece.continues = false;
	if (command->direction == TRANSIENT_DATA_IN && command->caller != NULL &&
	    pieces_bound(command->cdb, command->cdb_length, &bound) && bound < piece.length)
		piece.length = bound;
	if (piece.length <= max || command->direction != TRANSIENT_DATA_IN ||
	    command->caller == NULL || !shape(command->cdb, command->cdb_length, unit->type, &s)) {
		transient_run(limits, unit, send, context, &piece, outcome);
		if (transient_data_valid(outcome))
			moved = piece.length - (outcome->residual < piece.length ? outcome->residual
			                                                         : piece.length);
		outcome->residual = command->length - moved;
		return PIECES_SENT;
	}
	if (command->cdb[0] != READ_CD) {
		block = unit_block(limits, unit, send, context, outcome);
		if (block == 0 && !transient_data_valid(outcome)) {
			outcome->residual = command->length;
			return PIECES_SENT;
		}
		if (block == 0)
			return PIECES_REFUSED;
	}
	if (!size_pieces(&s, block, command->length, max, exact_residual, &z))
		return PIECES_REFUSED;

	memcpy(cdb, command->cdb, (size_t)command->cdb_length);
	piece.cdb = cdb;
	while (done < s.count) {
		uint32_t count = s.count - done < z.per_piece ? s.count - done : z.per_piece;
		uint32_t room = command->length - moved, got;

		// Blocks the rest of the buffer cannot hold: one command would
		// overrun it here.
		if ((uint64_t)count * z.least > room)
			break;
		put_big_endian(cdb + 2, 4, s.lba + done);
		put_big_endian(cdb + s.count_at, s.count_bytes, count);
		piece.length = count * z.most < room ? count * z.most : room;
		piece.caller = command->caller + moved;
		transient_run(limits, unit, send, context, &piece, outcome);
		if (!transient_data_valid(outcome)) {
			outcome->residual = command->length - moved;
			return PIECES_SENT;
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
		got = piece.length -
		      (outcome->residual < piece.length ? outcome->residual : piece.length);
		moved += got;
		done += count;
		piece.continues = true;
		// Fewer bytes than the blocks asked for can be: where the next
		// piece's blocks would go is not known.
		if ((uint64_t)count * z.least > got)
			break;
	}
	outcome->residual = command->length - moved;
	if (recovered) {
		outcome->status = SCSI_CHECK_CONDITION;
		outcome->sense = kept;
		outcome->sense_length = kept_length;
	}
	return done < s.count ? PIECES_SHORT : PIECES_SENT;
}
