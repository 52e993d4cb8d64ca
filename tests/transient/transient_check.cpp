// Checks the shared rule for transient drive states against scripted
// outcomes: what it sends, how often, and what it hands back; then what both
// real layers do alike with request records (srb.cpp): which are refused, in
// what order, and what a finished one gets. Prints one line per failed check
// and "N passed, N failed".

#include "pieces.h"
#include "srb.h"
#include "transient.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// What the scripted unit answers, try by try; the last answer repeats.
struct script {
	// "good", "gone", "busy", "full" (TASK SET FULL), or sense
	// "KEY/ASC/ASCQ" in hex, deferred where it starts with "~"
	const char *answers[8];
	int count;
	int sent;      // tries so far
	char log[256]; // what was sent: C for the command, R for READ CAPACITY,
	               // S for START STOP UNIT
	uint8_t sense[18];
};

static int passed, failed;
// Sense in descriptor format (72h, 73h) rather than fixed (70h, 71h).
static bool descriptor;

static void check(bool ok, const char *name, const char *what)
{
	if (ok) {
		passed++;
	} else {
		failed++;
		printf("FAIL %s: %s\n", name, what);
	}
}

static void send(void *context, const struct transient_command *c, struct transient_outcome *o)
{
	struct script *s = (struct script *)context;
	const char *answer;
	unsigned key, asc, ascq;
	bool capacity = c->cdb[0] == 0x25, start = c->cdb[0] == 0x1b;

	// READ CAPACITY(10): ten bytes, eight coming in. START STOP UNIT:
	// IMMED and START, no data.
	if (capacity &&
	    (c->cdb_length != 10 || c->length != 8 || c->direction != TRANSIENT_DATA_IN))
		strcat(s->log, "?");
	if (start && (c->cdb_length != 6 || c->cdb[1] != 1 || c->cdb[4] != 1 ||
	              c->direction != TRANSIENT_DATA_NONE))
		strcat(s->log, "?");
	strcat(s->log, capacity ? "R" : start ? "S" : "C");
	// The rule's own commands always succeed; the script is the command's.
	answer =
	    capacity || start ? "good" : s->answers[s->sent < s->count ? s->sent : s->count - 1];
	if (!capacity && !start)
		s->sent++;
	// Each try of the command moves one byte of its own, at a place of its
	// own, as a unit that misreports how much it moved may: the last try's
	// and no others must reach the caller.
	if (!capacity && !start && c->length > 8)
		c->data[s->sent] = (uint8_t)(0xd0 + s->sent);
	o->reached = strcmp(answer, "gone") != 0;
	o->status = strcmp(answer, "busy") == 0   ? SCSI_BUSY
	            : strcmp(answer, "full") == 0 ? SCSI_TASK_SET_FULL
	                                          : SCSI_GOOD;
	o->sense = s->sense;
	o->sense_length = 0;
	if (sscanf(answer + (answer[0] == '~'), "%x/%x/%x", &key, &asc, &ascq) == 3) {
		// The bits around the key and ASC set: the VALID bit, FILEMARK,
		// EOM and ILI, and the bytes beside.
		memset(s->sense, 0xff, sizeof s->sense);
		s->sense[0] = (uint8_t)(0xf0 | (answer[0] == '~') | (descriptor ? 2 : 0));
		s->sense[descriptor ? 1 : 2] = (uint8_t)(0xe0 | key);
		s->sense[descriptor ? 2 : 12] = (uint8_t)asc;
		s->sense[descriptor ? 3 : 13] = (uint8_t)ascq;
		s->sense[7] = descriptor ? 0 : 10;
		o->status = SCSI_CHECK_CONDITION;
		o->sense_length = descriptor ? 8 : 18;
	}
}

// The unit answers first, then (where given) then from the next try on.
static void answer(struct script *s, const char *first, const char *then = NULL)
{
	s->answers[0] = first;
	s->answers[1] = then;
	s->count = then != NULL ? 2 : 1;
}

// Runs the rule on one scripted unit; the log of what was sent.
// caller, where given, is the caller's 2048-byte buffer.
static const struct transient_limits quick = {8, 3, 200, 10};

static const char *run(struct script *s, struct transient_unit *unit,
                       struct transient_outcome *outcome, uint8_t *caller = NULL,
                       uint8_t operation = 0x28, const struct transient_limits *limits = &quick,
                       int direction = TRANSIENT_DATA_IN)
{
	const uint8_t cdb[10] = {operation, 0, 0, 0, 0, 0, 0, 0, 1, 0};
	static uint8_t data[2048];
	uint32_t length = direction == TRANSIENT_DATA_NONE ? 0 : sizeof data;
	struct transient_command command = {cdb, 10, data, length, direction, caller, false};

	// What a command before this one left in the layer's buffer.
	memset(data, 0xee, sizeof data);
	s->sent = 0;
	s->log[0] = '\0';
	transient_run(limits, unit, send, s, &command, outcome);
	return s->log;
}

static void sequences()
{
	static const struct {
		const char *name;
		const char *answers[3];
		int count;
		const char *log;
	} cases[] = {
	    {"ready at once", {"good"}, 1, "C"},
	    {"power-on attention", {"6/29/00", "good"}, 2, "CC"},
	    {"disc change: no medium, then changed", {"6/3a/00", "6/28/00", "good"}, 3, "CCRC"},
	    {"attention after capacity", {"6/28/00", "6/28/00", "good"}, 3, "CRCRC"},
	    {"endless attention", {"6/29/00"}, 1, "CCCCCCCCC"},
	    {"becoming ready", {"2/04/01", "2/04/01", "good"}, 3, "CCC"},
	    {"in progress", {"2/04/07", "good"}, 2, "CC"},
	    {"initializing: started once", {"2/04/02", "2/04/02", "good"}, 3, "CSCC"},
	    {"no medium is final", {"2/3a/00", "good"}, 2, "C"},
	    {"other not ready is final", {"2/04/03", "good"}, 2, "C"},
	    {"medium error is final", {"3/11/00", "good"}, 2, "C"},
	    {"transport failure is final", {"gone", "good"}, 2, "C"},
	    {"busy", {"busy", "busy", "good"}, 3, "CCC"},
	    {"task set full", {"full", "good"}, 2, "CC"},
	    {"aborted three more times", {"b/47/00"}, 1, "CCCC"},
	    {"deferred, then good", {"~3/11/00", "good"}, 2, "CC"},
	    {"deferred twice is passed up", {"~6/29/00"}, 1, "CC"},
	};

	for (const auto &c : cases) {
		struct script s;
		struct transient_unit unit = {false, false, 5};
		struct transient_outcome outcome;

		memset(&s, 0, sizeof s);
		memcpy(s.answers, c.answers, sizeof c.answers);
		s.count = c.count;
		check(strcmp(run(&s, &unit, &outcome), c.log) == 0, c.name, s.log);
	}
}

// A unit that stays not ready is waited for once, until a command succeeds.
static void given_up()
{
	struct script s = {};
	struct transient_unit unit = {false, false, 5};
	struct transient_outcome outcome;

	answer(&s, "2/04/01");
	run(&s, &unit, &outcome);
	check(unit.not_ready_given_up && s.sent > 2, "stays not ready", "not given up");
	check(sense_key(outcome.sense, outcome.sense_length) == SENSE_NOT_READY, "stays not ready",
	      "last outcome lost");
	run(&s, &unit, &outcome);
	check(strcmp(s.log, "C") == 0, "given up", s.log);
	answer(&s, "good");
	run(&s, &unit, &outcome);
	check(!unit.not_ready_given_up, "ready again", "still given up");

	// Becoming ready past the bound, then needing a start: the command
	// goes after START all the same, and its outcome is the caller's.
	static const struct transient_limits pause_past_bound = {8, 3, 10, 20};
	answer(&s, "2/04/01", "2/04/02");
	unit.not_ready_given_up = false;
	run(&s, &unit, &outcome, NULL, 0x28, &pause_past_bound);
	check(strcmp(s.log, "CCSC") == 0 && outcome.status == SCSI_CHECK_CONDITION &&
	          sense_ascq(outcome.sense, outcome.sense_length) == 2,
	      "start at the bound", s.log);
	answer(&s, "busy");
	unit.not_ready_given_up = false;
	run(&s, &unit, &outcome);
	check(outcome.status == SCSI_BUSY && unit.not_ready_given_up && s.sent > 2,
	      "busy past the bound", s.log);
}

// A new medium is ridden out until the unit has done a command; after
// that the caller hears of it. INQUIRY, REQUEST SENSE and REPORT LUNS do
// not count.
static void medium_changed_after_use()
{
	struct script s = {};
	struct transient_unit unit = {false, false, 5};
	struct transient_outcome outcome;
	static const uint8_t others[] = {0x12, 0x03, 0xa0};

	answer(&s, "good");
	for (uint8_t operation : others) {
		run(&s, &unit, &outcome, NULL, operation);
		check(!unit.settled, "inquiry, request sense, report luns", "settled the unit");
	}
	answer(&s, "6/28/00", "good");
	check(strcmp(run(&s, &unit, &outcome), "CRC") == 0, "new medium before use", s.log);
	check(unit.settled, "first read", "did not settle the unit");
	check(strcmp(run(&s, &unit, &outcome), "C") == 0, "new medium after use", s.log);
	check(sense_key(outcome.sense, outcome.sense_length) == SENSE_UNIT_ATTENTION &&
	          sense_asc(outcome.sense, outcome.sense_length) == 0x28,
	      "new medium after use", "sense lost");
	answer(&s, "6/29/00", "good");
	check(strcmp(run(&s, &unit, &outcome), "CC") == 0, "reset after use", s.log);
}

// The caller's buffer gets the unit's bytes over its own, whole, only when
// the data counts; never the bytes of an earlier command.
static void caller_buffer()
{
	struct script s = {};
	struct transient_unit unit = {false, false, 5};
	struct transient_outcome outcome;
	uint8_t caller[2048], want[2048];

	memset(caller, 0xff, sizeof caller);
	memset(want, 0xff, sizeof want);
	answer(&s, "3/11/00");
	run(&s, &unit, &outcome, caller);
	check(memcmp(caller, want, sizeof want) == 0, "medium error", "caller's buffer changed");
	answer(&s, "~3/11/00", "good");
	run(&s, &unit, &outcome, caller);
	want[2] = 0xd2;
	check(memcmp(caller, want, sizeof want) == 0 && outcome.status == SCSI_GOOD,
	      "good after deferred", "not the last try's bytes over the caller's");
}

// A command that brings no data in, or goes to a unit that is not
// direct-access, write-once, CD/DVD or optical (a tape, type 1), goes once,
// whatever the unit answers.
static void once()
{
	static const char *answers[] = {"2/04/01", "2/04/02", "6/29/00",
	                                "busy",    "b/47/00", "~3/11/00"};

	for (uint8_t type = 0; type < 32; type++) {
		for (const char *first : answers) {
			struct script s = {};
			struct transient_unit unit = {false, false, type};
			struct transient_outcome outcome;
			bool once = type != 4 && type != 5 && type != 7;

			answer(&s, first, "good");
			run(&s, &unit, &outcome, NULL, 0x28, &quick,
			    type == 0 ? TRANSIENT_DATA_NONE : TRANSIENT_DATA_IN);
			check(once == (strcmp(s.log, "C") == 0 && outcome.status != SCSI_GOOD),
			      first, s.log);
		}
	}
}

static void sense_and_data()
{
	static const uint8_t recovered[18] = {0x70, 0, 0x01, 0, 0, 0, 0, 10};
	static const uint8_t deferred[18] = {0x71, 0, 0x01, 0, 0, 0, 0, 10};
	static const uint8_t short_fixed[2] = {0x70, 0};
	struct transient_outcome o = {true, SCSI_CHECK_CONDITION, short_fixed, sizeof short_fixed,
	                              0};

	check(transient_classify(&o) == TRANSIENT_FINAL && sense_key(o.sense, 2) == -1,
	      "short sense", "read past its length");
	o.sense = recovered;
	o.sense_length = sizeof recovered;
	check(transient_data_valid(&o), "recovered error", "data refused");
	o.status = SCSI_BUSY;
	check(!transient_data_valid(&o), "busy with recovered sense", "data taken");
	o.status = SCSI_CHECK_CONDITION;
	o.sense = deferred;
	check(!transient_data_valid(&o), "deferred recovered error", "data taken");
	o.status = SCSI_GOOD;
	o.sense_length = 0;
	check(transient_data_valid(&o), "good", "data refused");
	o.reached = false;
	check(!transient_data_valid(&o), "not reached", "data taken");
}

// Two adapters, transfers of up to 4096 bytes.
static void records()
{
	enum : uint8_t { IN = SRB_DIR_IN, OUT = SRB_DIR_OUT, EVENT = SRB_EVENT_NOTIFY };
	enum : uint8_t { GO = SS_PENDING, SRB = SS_INVALID_SRB, HA = SS_INVALID_HA };
	static const struct {
		const char *name;
		uint8_t cdb_length, flags;
		uint32_t length;
		bool buffer, event, present;
		uint8_t adapter, exec, reset;
	} cases[] = {
	    {"data in, event", 10, IN | EVENT, 4096, 1, 1, 1, 1, GO, GO},
	    {"no data", 16, 0, 0, 0, 0, 1, 0, GO, GO},
	    {"no CDB", 0, OUT, 16, 1, 0, 1, 0, SRB, GO},
	    {"CDB of 17", 17, OUT, 16, 1, 0, 1, 0, SRB, GO},
	    {"both directions", 10, IN | OUT, 16, 1, 0, 1, 0, SRB, GO},
	    {"data, no direction", 10, 0, 16, 1, 0, 1, 0, SRB, GO},
	    {"data, no buffer", 10, IN, 16, 0, 0, 1, 0, SRB, GO},
	    {"no event", 10, EVENT, 0, 0, 0, 0, 2, SRB, SRB},
	    {"adapter past the count", 10, SRB_POSTING, 0, 0, 0, 0, 2, HA, HA},
	    {"no unit", 10, IN, 8192, 1, 0, 0, 1, SS_NO_DEVICE, SS_NO_DEVICE},
	    {"too long", 10, IN, 4097, 1, 0, 1, 1, SS_BUFFER_TO_BIG, GO},
	};
	static uint8_t data[16];

	for (const auto &c : cases) {
		SRB_ExecSCSICmd srb = {};
		SRB_BusDeviceReset reset = {};

		srb.SRB_HaId = reset.SRB_HaId = c.adapter;
		srb.SRB_Flags = reset.SRB_Flags = c.flags;
		srb.SRB_BufLen = c.length;
		srb.SRB_BufPointer = c.buffer ? data : NULL;
		srb.SRB_CDBLen = c.cdb_length;
		srb.SRB_PostProc = reset.SRB_PostProc = c.event ? data : NULL;
		check(srb_check(&srb, 2, c.present, 4096, 5) == c.exec, c.name, "command");
		check(srb_reset_check(&reset, 2, c.present) == c.reset, c.name, "reset");
	}
}

// Sense no longer than SRB_SenseLen, the residual only where asked for.
static void finished()
{
	static const uint8_t sense[18] = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24};
	SRB_ExecSCSICmd srb[2];

	memset(srb, 0x5a, sizeof srb);
	srb->SRB_SenseLen = 4;
	srb_finish(srb, 0, SS_ERR, 0, 2, sense, sizeof sense, 7);
	check(memcmp(srb->SenseArea, "\x70\0\5\0\x5a", 5) == 0 && srb->SRB_BufLen == 0x5a5a5a5a,
	      "four bytes of sense", "more written, or the residual");
	srb_finish(srb, SRB_ENABLE_RESIDUAL_COUNT, SS_COMP, 0, 0, NULL, 0, 7);
	check(srb->SRB_BufLen == 7, "residual", "not written");
}

enum : uint8_t { READ_10 = 0x28, READ_12 = 0xa8, READ_CD = 0xbe, CAPACITY = 0x25, SENSE = 0x5a };
// READ CD's byte 9: user data; sync, header, subheader, user data, EDC/ECC;
// subheader, user data and EDC/ECC (for a Mode 1 sector, no subheader).
enum : uint8_t { USER = 0x10, RAW = 0xf8, SUB_USER_EDC = 0x58, C2 = 0x02, Q = 2 };
enum { ANY, CD_DA, MODE_1, FORM_2 = 5 };

// A disc as a drive holds it, one letter a sector: 'a' CD-DA, '1' Mode 1,
// '2' Mode 2 formless, 'f' Mode 2 Form 1, 'F' Form 2. READ CAPACITY gives
// capacity_block; READ(10) and READ(12) move read_block bytes a sector,
// which MODE SENSE's block descriptor gives where the drive has one.
struct disc {
	const char *sectors;
	uint32_t capacity_block, read_block;
	bool descriptor;
};

// READ CD's bytes of a sector of type t: sync, header, subheader, user
// data, EDC/ECC as byte 9 selects them, C2 and subchannel; 0 where the
// expected sector type is another.
static uint32_t read_cd_bytes(char t, const uint8_t *cdb)
{
	static const uint16_t parts[5][5] = {{0, 0, 0, 2352, 0},
	                                     {12, 4, 0, 2048, 288},
	                                     {12, 4, 0, 2336, 0},
	                                     {12, 4, 8, 2048, 280},
	                                     {12, 4, 8, 2324, 4}};
	static const uint8_t bits[5] = {0x80, 0x20, 0x40, 0x10, 0x08};
	int type = (int)(strchr("a12fF", t) - "a12fF"), expected = cdb[1] >> 2 & 7;
	uint32_t n = (cdb[9] & 6) == 2 ? 294 : (cdb[9] & 6) == 4 ? 296 : 0;

	if (expected != ANY && expected != type + 1)
		return 0;
	n += (cdb[10] & 7) == Q ? 16 : (cdb[10] & 7) != 0 ? 96 : 0;
	for (int i = 0; i < 5; i++)
		n += type == 0 || (cdb[9] & bits[i]) ? parts[type][i] : 0;
	return n;
}

static uint32_t field(const uint8_t *p, int bytes)
{
	uint32_t v = 0;

	for (int i = 0; i < bytes; i++)
		v = v << 8 | p[i];
	return v;
}

static uint32_t blocks(const uint8_t *cdb)
{
	return cdb[0] == READ_10 ? field(cdb + 7, 2) : field(cdb + 6, cdb[0] == READ_12 ? 4 : 3);
}

// What a drive does with one command into length bytes: the bytes of
// sector n at offset k are n * 13 + k; a read ends in CHECK CONDITION,
// ILLEGAL REQUEST at the first sector past the end or whose type the CDB
// does not expect. READ CAPACITY and MODE SENSE(10) (a header, and a
// block descriptor where the drive has one) answer what the disc says.
struct served {
	uint32_t moved;
	uint8_t status, key;
};

static void serve(const struct disc *d, const uint8_t *cdb, uint8_t *data, uint32_t length,
                  struct served *r)
{
	uint32_t sectors = (uint32_t)strlen(d->sectors), lba = field(cdb + 2, 4), size;
	uint8_t answer[16] = {0, 0, 0, (uint8_t)(sectors - 1), 0, 0, 0, 0};

	*r = {0, SCSI_GOOD, 0};
	if (cdb[0] == CAPACITY || cdb[0] == SENSE) {
		size = cdb[0] == CAPACITY ? d->capacity_block : d->read_block;
		r->moved = cdb[0] == SENSE && d->descriptor ? 16 : 8;
		answer[1] = cdb[0] == SENSE ? (uint8_t)(r->moved - 2) : 0;
		answer[7] = r->moved == 16 ? 8 : 0;
		if (cdb[0] == CAPACITY || r->moved == 16) {
			answer[r->moved - 2] = (uint8_t)(size >> 8);
			answer[r->moved - 1] = (uint8_t)size;
		}
		memcpy(data, answer, r->moved);
		return;
	}
	for (uint32_t n = lba; n < lba + blocks(cdb); n++) {
		size = n >= sectors        ? 0
		       : cdb[0] == READ_CD ? read_cd_bytes(d->sectors[n], cdb)
		                           : d->read_block;
		if (size == 0) {
			*r = {r->moved, SCSI_CHECK_CONDITION, 5};
			return;
		}
		for (uint32_t k = 0; k < size && r->moved < length; k++)
			data[r->moved++] = (uint8_t)(n * 13 + k);
	}
}

// The drive that pieces_run talks to: the disc, each read answered as
// answers says, try by try ('g' good, 's' a sector short, 'B' busy, 'A'
// aborted, 'U' unit attention, 'R' recovered error). asks logs the other
// commands ('R' READ CAPACITY, 'M' MODE SENSE); faults, what no piece may
// do: go over max, change the CDB but for its LBA and count, leave a gap.
struct drive {
	const struct disc *disc;
	const uint8_t *cdb;
	int cdb_length;
	uint32_t max, next_lba;
	bool exact;
	const char *answers;
	char asks[8], faults[64];
	uint8_t sense[18];
};

static void drive_send(void *context, const struct transient_command *c,
                       struct transient_outcome *o)
{
	struct drive *d = (struct drive *)context;
	bool read = c->cdb[0] == d->cdb[0] && c->cdb_length == d->cdb_length;
	char answer = read && *d->answers != '\0' ? *d->answers++ : 'g';
	uint8_t same[16];
	static uint8_t scratch[65536];
	struct served r;

	if (c->length > d->max)
		strcat(d->faults, "over the limit; ");
	if (!read) {
		strcat(d->asks, c->cdb[0] == CAPACITY ? "R" : c->cdb[0] == SENSE ? "M" : "?");
	} else {
		memcpy(same, c->cdb, (size_t)c->cdb_length);
		memcpy(same + 2, d->cdb + 2, 8);
		if (memcmp(same, d->cdb, (size_t)c->cdb_length) != 0 ||
		    c->direction != TRANSIENT_DATA_IN || field(c->cdb + 2, 4) != d->next_lba)
			strcat(d->faults, "another CDB, or a gap; ");
	}
	serve(d->disc, c->cdb, scratch, c->length, &r);
	if (read && r.status == SCSI_GOOD && strchr("gRs", answer) != NULL)
		d->next_lba = field(c->cdb + 2, 4) + blocks(c->cdb);
	r.moved -= answer == 's' ? d->disc->read_block : 0;
	memcpy(c->data, scratch, r.moved);
	memset(d->sense, 0, sizeof d->sense);
	d->sense[0] = 0x70;
	d->sense[2] = answer == 'A' ? 0xb : answer == 'U' ? 6 : answer == 'R' ? 1 : r.key;
	d->sense[7] = 10;
	*o = {true, SCSI_GOOD, d->sense, 0, d->exact ? c->length - r.moved : 0};
	if (answer == 'B' || d->sense[2] != 0)
		o->status = answer == 'B' ? SCSI_BUSY : SCSI_CHECK_CONDITION;
	o->sense_length = o->status == SCSI_CHECK_CONDITION ? 18 : 0;
}

struct cdb_bytes {
	uint8_t b[12];
	int n;
};

// A read of count blocks from lba (READ CD: the expected sector type, byte
// 9 and the subchannel), or another command with an allocation length
// (count) in bytes 7 and 8.
static cdb_bytes cdb(uint8_t operation, uint32_t lba, uint32_t count, int expected = ANY,
                     uint8_t fields = 0, uint8_t sub = 0)
{
	cdb_bytes c = {{operation, (uint8_t)(expected << 2)},
	               operation == READ_12 || operation == READ_CD ? 12 : 10};
	int at = operation == READ_12 ? 6 : 5;

	for (int i = 0; i < 4; i++) {
		c.b[2 + i] = (uint8_t)(lba >> (24 - 8 * i));
		c.b[at + i] |= (uint8_t)(count >> (24 - 8 * i));
	}
	c.b[9] |= fields;
	c.b[10] = sub;
	return c;
}

// Reads in pieces against the same drive answering the whole read as one
// command: the outcome, the sense key and the caller's bytes must be that
// command's (expect '='), up to where the request ended; or it is refused
// ('x'), ends short ('s', data overrun or underrun), or with the sense key
// given ('1', '6') where a piece was answered so.
static void pieces()
{
	static const struct disc mode1 = {"1111111111111111111111111111111111111111", 2048, 2048,
	                                  false},
	                         raw_capacity = {mode1.sectors, 2352, 2048, false},
	                         raw_blocks = {mode1.sectors, 2352, 2352, true},
	                         no_capacity = {mode1.sectors, 0, 2048, false},
	                         xa = {"ffFfFFfffFfFFfFfffFFffFfFFfffFfF", 2048, 2048, false},
	                         audio_then_data = {"aaaaaaaaaaaa1111111111111111", 2048, 2048,
	                                            false},
	                         ending = {"aaaa1111111111", 2048, 2048, false};
	static const struct {
		const char *name;
		cdb_bytes cdb;
		uint32_t length;
		uint8_t type;
		uint32_t max;
		const struct disc *disc;
		bool exact;
		const char *answers, *asks;
		char expect;
	} rows[] = {
	    // clang-format off
	    {"READ(10), its length", cdb(READ_10, 10, 7), 14336, 5, 6144, &mode1, 1, "", "R", '='},
	    {"READ(12), twice", cdb(READ_12, 16, 7), 28672, 0, 6144, &mode1, 1, "", "R", '='},
	    {"READ(10), 2352 answered, 2048 moved", cdb(READ_10, 10, 7), 14336, 5, 6144, &raw_capacity, 1, "", "RM", '='},
	    {"READ(10), set to 2352", cdb(READ_10, 10, 7), 16464, 5, 6144, &raw_blocks, 1, "", "RM", '='},
	    {"READ(10), disk of 0-byte blocks", cdb(READ_10, 10, 7), 14336, 0, 6144, &no_capacity, 1, "", "R", 'x'},
	    {"READ(10), buffer too short", cdb(READ_10, 10, 7), 7168, 5, 6144, &mode1, 1, "", "R", 'x'},
	    {"READ(10), a piece short", cdb(READ_10, 10, 7), 14336, 5, 6144, &mode1, 1, "gs", "R", 's'},
	    {"READ(10), busy, aborted", cdb(READ_10, 10, 7), 14336, 5, 6144, &mode1, 1, "gBA", "R", '='},
	    {"READ(10), unit attention", cdb(READ_10, 10, 7), 14336, 5, 6144, &mode1, 1, "gU", "R", '6'},
	    {"READ(10), recovered", cdb(READ_10, 10, 7), 14336, 7, 6144, &mode1, 1, "gR", "R", '1'},
	    {"READ(12), past 2^32", cdb(READ_12, 0xfffffffe, 3), 6146, 0, 6144, &mode1, 1, "", "", 'x'},
	    {"READ(10), tape", cdb(READ_10, 10, 7), 14336, 1, 6144, &mode1, 1, "", "", 'x'},
	    {"READ(10), scanner", cdb(READ_10, 10, 7), 14336, 6, 6144, &mode1, 1, "", "", 'x'},
	    {"READ CD, disk", cdb(READ_CD, 10, 7, ANY, USER), 14336, 0, 6144, &mode1, 1, "", "", 'x'},
	    {"READ CD user data, its length", cdb(READ_CD, 10, 7, ANY, USER), 14336, 5, 6144, &mode1, 0, "", "", '='},
	    {"READ CD user data, twice", cdb(READ_CD, 10, 7, ANY, USER), 28672, 5, 6144, &mode1, 0, "", "", 'x'},
	    {"READ CD user data, twice, exact", cdb(READ_CD, 10, 7, ANY, USER), 28672, 5, 6144, &mode1, 1, "", "", '='},
	    {"READ CD Mode 1, twice", cdb(READ_CD, 10, 7, MODE_1, USER), 28672, 5, 6144, &mode1, 0, "", "", '='},
	    {"READ CD raw, raw and Q", cdb(READ_CD, 10, 7, ANY, RAW), 17136, 5, 7056, &xa, 0, "", "", '='},
	    {"READ CD raw, over the limit", cdb(READ_CD, 10, 7, ANY, RAW), 16464, 5, 2048, &xa, 0, "", "", 'x'},
	    {"READ CD raw, C2, Q", cdb(READ_CD, 10, 7, ANY, RAW | C2, Q), 18634, 5, 7344, &xa, 0, "", "", '='},
	    {"READ CD Form 2 meets Form 1", cdb(READ_CD, 11, 7, FORM_2, USER), 16268, 5, 4648, &xa, 0, "", "", '='},
	    {"READ CD, XA", cdb(READ_CD, 10, 9, ANY, USER), 21168, 5, 6144, &xa, 1, "", "", '='},
	    {"READ CD, XA, exact, its length", cdb(READ_CD, 10, 9, ANY, USER), 19536, 5, 6144, &xa, 1, "", "", '='},
	    {"READ CD, buffer short of any size", cdb(READ_CD, 10, 7, ANY, USER), 14000, 5, 6144, &xa, 1, "", "", 'x'},
	    {"READ CD, XA, not exact", cdb(READ_CD, 10, 9, ANY, USER), 21168, 5, 6144, &xa, 0, "", "", 'x'},
	    {"READ CD, CD-DA then Mode 1", cdb(READ_CD, 8, 10, ANY, SUB_USER_EDC), 23520, 5, 16384, &audio_then_data, 1, "", "", '='},
	    {"READ CD, past the end", cdb(READ_CD, 10, 7, ANY, USER), 16464, 5, 6144, &ending, 1, "", "", '='},
	    {"READ CAPACITY, 63 KiB", cdb(CAPACITY, 0, 0), 64512, 5, 6144, &mode1, 1, "", "", '='},
	    {"MODE SENSE(10) of 16, 63 KiB", cdb(SENSE, 0, 16), 64512, 5, 6144, &mode1, 1, "", "", '='},
	    {"MODE SENSE(10) of 0, 63 KiB", cdb(SENSE, 0, 0), 64512, 5, 6144, &mode1, 1, "", "", 'x'},
	    {"MODE SENSE(10) of 64 KiB", cdb(SENSE, 0, 0xffff), 64512, 5, 6144, &mode1, 1, "", "", 'x'},
	    // clang-format on
	};

	for (const auto &row : rows) {
		static uint8_t kept[PIECES_SENSE_MAX], model[65536], data[65536];
		// Exactly the caller's length: a piece past it is the sanitizer's to find.
		uint8_t *caller = (uint8_t *)malloc(row.length);
		struct drive d = {
		    row.disc,  row.cdb.b,   row.cdb.n, row.max, field(row.cdb.b + 2, 4),
		    row.exact, row.answers, "",        "",      {0}};
		struct transient_unit unit = {false, true, row.type};
		struct transient_command command = {row.cdb.b,         row.cdb.n, data, row.length,
		                                    TRANSIENT_DATA_IN, caller,    false};
		struct transient_outcome o = {};
		struct served one;
		enum pieces_result result = PIECES_REFUSED;
		uint32_t landed;
		char expect = '=';

		memset(caller, 0xa5, row.length);
		memset(model, 0xa5, sizeof model);
		serve(row.disc, row.cdb.b, model, row.length, &one);
		if (pieces_fit(row.cdb.b, row.cdb.n, row.length, row.max, row.type))
			result = pieces_run(&quick, &unit, drive_send, &d, &command, row.max,
			                    row.exact, kept, &o);
		landed = row.length - o.residual;
		if (result == PIECES_REFUSED)
			expect = 'x';
		else if (result == PIECES_SHORT)
			expect = 's';
		else if (o.status != one.status ||
		         (o.status != SCSI_GOOD && sense_key(o.sense, o.sense_length) != one.key))
			expect = (char)('0' + sense_key(o.sense, o.sense_length));
		check(expect == row.expect, row.name, "outcome");
		check(strcmp(d.asks, row.asks) == 0 && d.faults[0] == '\0', row.name, d.faults);
		if (expect == 'x')
			landed = 0;
		else if (expect == '=' && o.status == SCSI_GOOD)
			check(landed == one.moved, row.name, "residual");
		bool untouched = true;
		for (uint32_t i = landed; i < row.length; i++)
			untouched = untouched && caller[i] == 0xa5;
		check(landed <= one.moved && memcmp(caller, model, landed) == 0 && untouched,
		      row.name, "bytes");
		free(caller);
	}
}

int main()
{
	sequences();
	descriptor = true;
	sequences();
	descriptor = false;
	given_up();
	medium_changed_after_use();
	caller_buffer();
	once();
	sense_and_data();
	records();
	finished();
	pieces();
	printf("%d passed, %d failed\n", passed, failed);
	return failed != 0;
}
