// Transient drive states, ridden out the same way by every real layer.

#include "transient.h"

#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <time.h>
#endif

// Additional sense codes.
#define ASC_NOT_READY 0x04
#define ASCQ_BECOMING_READY 0x01
#define ASCQ_INIT_REQUIRED 0x02
#define ASCQ_IN_PROGRESS 0x07
#define ASC_MEDIUM_CHANGED 0x28

#define START_STOP_UNIT 0x1b
#define INQUIRY 0x12
#define REQUEST_SENSE 0x03
#define REPORT_LUNS 0xa0

// Eight UNIT ATTENTIONs in a row are more than a disc change or a reset
// brings (QEMU's drives give two: no medium, then medium changed); three
// more tries after an ABORTED COMMAND outlast a passing transfer error; 30 s
// covers a drive spinning up from rest.
const struct transient_limits transient_limits_default = {8, 3, 30000, 250};

// Fixed format (70h, 71h): key in byte 2, ASC and ASCQ in bytes 12 and 13.
// Descriptor format (72h, 73h): key, ASC and ASCQ in bytes 1 to 3.
static int sense_byte(const uint8_t *sense, int length, int fixed, int descriptor)
{
	int at;

	if (sense == NULL || length < 1)
		return -1;
	switch (sense[0] & 0x7f) {
	case 0x70:
	case 0x71:
		at = fixed;
		break;
	case 0x72:
	case 0x73:
		at = descriptor;
		break;
	default:
		return -1;
	}
	return at < length ? sense[at] : -1;
}

int sense_key(const uint8_t *sense, int length)
{
	int key = sense_byte(sense, length, 2, 1);

	return key < 0 ? -1 : key & 0x0f;
}

int sense_asc(const uint8_t *sense, int length)
{
	return sense_byte(sense, length, 12, 2);
}

int sense_ascq(const uint8_t *sense, int length)
{
	return sense_byte(sense, length, 13, 3);
}

bool sense_deferred(const uint8_t *sense, int length)
{
	return sense != NULL && length >= 1 &&
	       ((sense[0] & 0x7f) == 0x71 || (sense[0] & 0x7f) == 0x73);
}

bool transient_data_valid(const struct transient_outcome *o)
{
	if (!o->reached)
		return false;
	if (o->status == SCSI_GOOD)
		return true;
	return o->status == SCSI_CHECK_CONDITION && !sense_deferred(o->sense, o->sense_length) &&
	       sense_key(o->sense, o->sense_length) == SENSE_RECOVERED_ERROR;
}

enum transient_action transient_classify(const struct transient_outcome *o)
{
	int key, asc, ascq;

	if (!o->reached)
		return TRANSIENT_FINAL;
	if (o->status == SCSI_BUSY || o->status == SCSI_TASK_SET_FULL)
		return TRANSIENT_BUSY;
	if (o->status != SCSI_CHECK_CONDITION)
		return TRANSIENT_FINAL;
	if (sense_deferred(o->sense, o->sense_length))
		return TRANSIENT_DEFERRED;
	key = sense_key(o->sense, o->sense_length);
	asc = sense_asc(o->sense, o->sense_length);
	ascq = sense_ascq(o->sense, o->sense_length);
	if (key == SENSE_UNIT_ATTENTION)
		return asc == ASC_MEDIUM_CHANGED ? TRANSIENT_MEDIUM_CHANGED : TRANSIENT_RESEND;
	if (key == SENSE_ABORTED_COMMAND)
		return TRANSIENT_ABORTED;
	// Becoming ready, and operation in progress, pass by themselves.
	// "Initializing command required" asks for START UNIT; units that are
	// spinning up anyway may answer it too (the kernel's scsi_debug does to
	// media access), so it is waited for after that like becoming ready.
	// No medium (3Ah) and every other NOT READY are final.
	if (key == SENSE_NOT_READY && asc == ASC_NOT_READY &&
	    (ascq == ASCQ_BECOMING_READY || ascq == ASCQ_IN_PROGRESS))
		return TRANSIENT_BECOMING_READY;
	if (key == SENSE_NOT_READY && asc == ASC_NOT_READY && ascq == ASCQ_INIT_REQUIRED)
		return TRANSIENT_START_UNIT;
	return TRANSIENT_FINAL;
}

// Milliseconds from an arbitrary start; only differences count.
static uint32_t now_ms()
{
#ifdef _WIN32
	return GetTickCount();
#else
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return (uint32_t)((uint64_t)t.tv_sec * 1000 + (uint64_t)t.tv_nsec / 1000000);
#endif
}

static void pause_ms(int ms)
{
#ifdef _WIN32
	Sleep((DWORD)ms);
#else
	struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000};

	while (nanosleep(&t, &t) != 0 && errno == EINTR)
		;
#endif
}

// A command of the rule's own; its outcome does not matter. READ
// CAPACITY(10) learns a new medium's capacity (some drives refuse reads past
// the capacity last read until then); START STOP UNIT with IMMED and START
// set spins the unit up and returns at once, as operating systems send it.
static void send_own(transient_send_fn send, void *context, uint8_t operation)
{
	uint8_t cdb[10], data[8];
	struct transient_command command;
	struct transient_outcome outcome;

	memset(cdb, 0, sizeof cdb);
	cdb[0] = operation;
	command.cdb = cdb;
	command.data = data;
	command.caller = NULL;
	if (operation == START_STOP_UNIT) {
		cdb[1] = 0x01;
		cdb[4] = 0x01;
		command.cdb_length = 6;
		command.length = 0;
		command.direction = TRANSIENT_DATA_NONE;
	} else {
		command.cdb_length = 10;
		command.length = sizeof data;
		command.direction = TRANSIENT_DATA_IN;
	}
	send(context, &command, &outcome);
}

bool transient_block_unit(uint8_t type)
{
	return type == 0 || type == 4 || type == 5 || type == 7;
}

// Whether a GOOD answer to this command shows that the unit has reported
// any unit attention it had.
static bool settles(const struct transient_command *command)
{
	uint8_t operation = command->cdb[0];

	return operation != INQUIRY && operation != REQUEST_SENSE && operation != REPORT_LUNS;
}

int transient_run(const struct transient_limits *limits, struct transient_unit *unit,
                  transient_send_fn send, void *context, const struct transient_command *command,
                  struct transient_outcome *outcome)
{
	int tries = 0, attentions = 0, aborts = 0;
	bool waiting = false, started = false, deferred = false;
	uint32_t waiting_since = 0;
	bool seeded = command->caller != NULL && command->direction != TRANSIENT_DATA_NONE;
	bool rides = command->direction == TRANSIENT_DATA_IN && transient_block_unit(unit->type);

	for (;;) {
		if (seeded)
			memcpy(command->data, command->caller, command->length);
		send(context, command, outcome);
		tries++;
		enum transient_action action =
		    rides ? transient_classify(outcome) : TRANSIENT_FINAL;

		if (command->continues && action != TRANSIENT_BUSY && action != TRANSIENT_ABORTED)
			action = TRANSIENT_FINAL;
		switch (action) {
		case TRANSIENT_FINAL:
			if (outcome->reached && outcome->status == SCSI_GOOD) {
				unit->not_ready_given_up = false;
				if (settles(command))
					unit->settled = true;
			}
			if (seeded && command->direction == TRANSIENT_DATA_IN &&
			    transient_data_valid(outcome))
				memcpy(command->caller, command->data, command->length);
			return tries;
		case TRANSIENT_RESEND:
			if (++attentions > limits->attentions)
				return tries;
			break;
		case TRANSIENT_MEDIUM_CHANGED:
			if (unit->settled || ++attentions > limits->attentions)
				return tries;
			send_own(send, context, SCSI_READ_CAPACITY_10);
			break;
		case TRANSIENT_ABORTED:
			if (++aborts > limits->aborts)
				return tries;
			break;
		case TRANSIENT_DEFERRED:
			if (deferred)
				return tries;
			deferred = true;
			break;
		case TRANSIENT_START_UNIT:
			if (!started && !unit->not_ready_given_up) {
				// The command goes again at once, whatever the time:
				// START's own outcome must never be the caller's.
				started = true;
				send_own(send, context, START_STOP_UNIT);
				if (!waiting) {
					waiting = true;
					waiting_since = now_ms();
				}
				break;
			}
			[[fallthrough]];
		case TRANSIENT_BUSY:
		case TRANSIENT_BECOMING_READY:
			if (unit->not_ready_given_up)
				return tries;
			if (!waiting) {
				waiting = true;
				waiting_since = now_ms();
			} else if (now_ms() - waiting_since >= (uint32_t)limits->ready_ms) {
				unit->not_ready_given_up = true;
				return tries;
			}
			pause_ms(limits->pause_ms);
			break;
		}
	}
}
