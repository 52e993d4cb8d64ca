// Checks the shared rule for transient drive states against scripted
// outcomes: what it sends, how often, and what it hands back; then what both
// real layers do alike with request records (srb.cpp): which are refused, in
// what order, and what a finished one gets. Prints one line per failed check
// and "N passed, N failed".

#include "pieces.h"
#include "srb.h"
#include "transient.h"

#include <stdio.h>
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

// pieces_run over a drive whose disc has blocks of DISC bytes, block n
// holding the byte n, READ CAPACITY giving CAPACITY, each read answered as
// ANSWERS says ('g' good, 's' a block short, 'B' busy, 'A' aborted, 'U' unit
// attention, 'R' recovered error; '-' none). Each read sent is logged
// "LBA+COUNT", with ":LENGTH" where that is not COUNT blocks of DISC, and
// "?" where another byte of its CDB or its direction is not the caller's.
struct drive {
	uint8_t cdb[16], sense[18];
	int cdb_length;
	uint32_t capacity, disc;
	const char *answers;
	int exact;
	char log[128];
};

static void drive_send(void *context, const struct transient_command *c,
                       struct transient_outcome *o)
{
	struct drive *d = (struct drive *)context;
	int at = d->cdb[0] == 0x28 ? 7 : 6, bytes = d->cdb[0] == 0x28   ? 2
	                                            : d->cdb[0] == 0xa8 ? 4
	                                                                : 3;
	uint32_t lba = 0, count = 0, moved;
	uint8_t same[16];
	char answer = 'g', *end = d->log + strlen(d->log);

	*o = {true, SCSI_GOOD, d->sense, 0, 0};
	if (c->cdb[0] == 0x25) {
		for (int i = 4; i < 8; i++)
			c->data[i] = (uint8_t)(d->capacity >> (8 * (7 - i)));
		strcpy(end, "R ");
		return;
	}
	for (int i = 0; i < 4; i++)
		lba = lba << 8 | c->cdb[2 + i];
	for (int i = 0; i < bytes; i++)
		count = count << 8 | c->cdb[at + i];
	memcpy(same, c->cdb, (size_t)d->cdb_length);
	memcpy(same + 2, d->cdb + 2, 4);
	memcpy(same + at, d->cdb + at, (size_t)bytes);
	end += sprintf(end, "%u+%u", lba, count);
	if (c->length != count * d->disc)
		end += sprintf(end, ":%u", c->length);
	strcpy(end, memcmp(same, d->cdb, (size_t)d->cdb_length) || c->cdb_length != d->cdb_length ||
	                    c->direction != TRANSIENT_DATA_IN
	                ? "? "
	                : " ");
	if (*d->answers != '\0' && *d->answers != '-')
		answer = *d->answers++;
	moved = count * d->disc - (answer == 's' ? d->disc : 0);
	moved = moved < c->length ? moved : c->length;
	for (uint32_t i = 0; i < moved; i++)
		c->data[i] = (uint8_t)(lba + i / d->disc);
	o->residual = d->exact ? c->length - moved : 0;
	o->status = answer == 'B' ? SCSI_BUSY : answer == 'g' || answer == 's' ? SCSI_GOOD : 2;
	memset(d->sense, 0, sizeof d->sense);
	d->sense[0] = 0x70;
	d->sense[2] = answer == 'A' ? 0xb : answer == 'U' ? 6 : 1;
	d->sense[7] = 10;
	o->sense_length = o->status == 2 ? 18 : 0;
}

// Each row: CDB LENGTH TYPE MAX CAPACITY DISC EXACT ANSWERS | what was sent |
// status (ff refused) and residual; the caller's buffer must hold the disc's
// bytes up to the residual, its own after.
static void pieces()
{
	static const char *const rows[] = {
	    "28000000000a00000700 14336 5 6144 2048 2048 1 -|R 10+3 13+3 16+1 |00 0",
	    "a80000000010000000070000 28672 0 6144 2048 2048 1 -|R 16+3 19+3 22+1 |00 14336",
	    "28000000000a00000700 14336 5 6144 2352 2048 1 -|R 10+3 13+3 16+1 |00 0",
	    "28000000000a00000700 14336 0 6144 0 2048 1 -|R |ff 14336",
	    "28000000000a00000700 7168 5 6144 2048 2048 1 -|R |ff 7168",
	    "28000000000a00000700 14336 5 6144 2048 2048 1 gs|R 10+3 13+3 |00 4096",
	    "28000000000a00000700 14336 5 6144 2048 2048 1 gBA|R 10+3 13+3 13+3 13+3 16+1 |00 0",
	    "28000000000a00000700 14336 5 6144 2048 2048 1 gU|R 10+3 13+3 |02 8192",
	    "28000000000a00000700 14336 7 6144 2048 2048 1 gR|R 10+3 13+3 16+1 |02 0",
	    "a800fffffffe000000030000 6146 0 6144 2048 2048 1 -||ff 6146",
	    "28000000000a00000700 14336 1 6144 2048 2048 1 -||ff 14336",
	    "28000000000a00000700 14336 6 6144 2048 2048 1 -||ff 14336",
	    "be000000000a00000710000000 14336 0 6144 0 2048 1 -||ff 14336",
	    "be000000000a00000710000000 14336 5 6144 0 2048 0 -|10+3 13+3 16+1 |00 0",
	    "be000000000a00000710000000 28672 5 6144 0 2048 0 -||ff 28672",
	    "be000000000a00000710000000 28672 5 6144 0 2048 1 -|10+2:4704 12+3 15+2 |00 14336",
	    "be080000000a00000710000000 28672 5 6144 0 2048 0 -|10+3 13+3 16+1 |00 14336",
	    "be000000000a000007f8000000 17136 5 7056 0 2352 0 -|10+3 13+3 16+1 |00 672",
	    "be000000000a000007f8000000 16464 5 2048 0 2352 0 -||ff 16464",
	    "be000000000a000007fa020000 18634 5 7344 0 2662 0 -|10+2 12+2 14+2 16+1 |00 0",
	    "be140000000a00000710000000 16268 5 7344 0 2324 0 -|10+3 13+3 16+1 |00 0",
	};

	for (const char *row : rows) {
		struct drive d = {};
		struct transient_unit unit = {false, true, 0};
		struct transient_outcome o = {};
		static uint8_t kept[PIECES_SENSE_MAX], caller[32768], data[8192];
		char hex[33], answers[8], log[64] = "";
		uint32_t length, max, status, residual;
		int n = 0;
		const char *sent = strchr(row, '|') + 1, *end = strchr(sent, '|');

		sscanf(row, "%32s %u %hhu %u %u %u %d %7[^|]", hex, &length, &unit.type, &max,
		       &d.capacity, &d.disc, &d.exact, answers);
		sscanf(end + 1, "%x %u", &status, &residual);
		memcpy(log, sent, (size_t)(end - sent));
		for (; sscanf(hex + 2 * n, "%2hhx", &d.cdb[n]) == 1; n++)
			;
		d.cdb_length = n;
		struct transient_command command = {d.cdb,  n,    data, length, TRANSIENT_DATA_IN,
		                                    caller, false};
		d.answers = answers;
		memset(caller, 0xa5, sizeof caller);
		if (!pieces_fit(d.cdb, n, length, max, unit.type) ||
		    !pieces_run(&quick, &unit, drive_send, &d, &command, max, d.exact != 0, kept,
		                &o))
			o = {false, 0xff, NULL, 0, length};
		bool landed = true;
		for (uint32_t i = 0; i < sizeof caller; i++)
			landed = landed && caller[i] == (i < length - o.residual
			                                     ? (uint8_t)(d.cdb[5] + i / d.disc)
			                                     : 0xa5);
		check(strcmp(d.log, log) == 0, row, d.log);
		check(o.status == status && o.residual == residual && landed, row, "outcome");
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
