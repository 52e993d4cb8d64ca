// What the ASPI layers over a real transport (sg, spti) make of a command's
// outcome alike: sense data, which outcomes are transient drive states, and
// how such a command is sent again until the state has passed.
//
// A drive answers UNIT ATTENTION to the first commands after a disc change,
// a reset or a power-on, and NOT READY while it spins up; BUSY and TASK SET
// FULL when it cannot take a command yet; ABORTED COMMAND after a transfer
// error on the way. All pass within seconds; passed straight up, they would
// leave a reader with blocks it never got. An operating system's own driver
// rides them out for its reads, and so do these layers, for every command
// that brings data in. Every other command (TEST UNIT READY, START STOP
// UNIT, WRITE, MODE SELECT, ...) reports or changes the unit's state: it
// goes once, and its caller gets the unit's answer as it is. A new disc is
// ridden out only until the unit has first done a command: after that it is
// news the caller must hear, since its reads came from another disc.
// Deferred sense (71h, 73h) reports an earlier command's failure: the
// command it came with was not carried out, and goes once more. A unit that
// is neither direct-access, write-once, CD/DVD nor optical (a tape, whose
// reads move its position, above all) gets every command once.
#ifndef ASPI_TRANSIENT_H
#define ASPI_TRANSIENT_H

#include <stdint.h>

// SCSI target status.
#define SCSI_GOOD 0x00
#define SCSI_CHECK_CONDITION 0x02
#define SCSI_BUSY 0x08
#define SCSI_TASK_SET_FULL 0x28

// READ CAPACITY(10): the unit's last block and its block length.
#define SCSI_READ_CAPACITY_10 0x25

// Sense keys.
#define SENSE_RECOVERED_ERROR 0x1
#define SENSE_NOT_READY 0x2
#define SENSE_UNIT_ATTENTION 0x6
#define SENSE_ABORTED_COMMAND 0xb

// Data phase of a command.
#define TRANSIENT_DATA_NONE 0
#define TRANSIENT_DATA_IN 1
#define TRANSIENT_DATA_OUT 2

// What one outcome asks for.
enum transient_action {
	TRANSIENT_FINAL,          // hand it to the caller
	TRANSIENT_RESEND,         // UNIT ATTENTION: send the command again
	TRANSIENT_MEDIUM_CHANGED, // UNIT ATTENTION, new medium: READ CAPACITY, then again
	TRANSIENT_BECOMING_READY, // NOT READY while spinning up: pause, again
	TRANSIENT_START_UNIT,     // NOT READY until started: START UNIT once, then wait
	TRANSIENT_BUSY,           // BUSY, TASK SET FULL: pause, again, as becoming ready
	TRANSIENT_ABORTED,        // ABORTED COMMAND (a transport error): again
	TRANSIENT_DEFERRED,       // an earlier command's error: once more
};

// How long and how often; the layers use transient_limits_default.
struct transient_limits {
	int attentions; // UNIT ATTENTIONs in a row that are ridden out
	int aborts;     // ABORTED COMMANDs that are sent again
	int ready_ms;   // how long a unit becoming ready is waited for
	int pause_ms;   // between two tries of a unit becoming ready
};
extern const struct transient_limits transient_limits_default;

// Per unit, kept by the layer for as long as it is loaded; zero to begin.
struct transient_unit {
	// The unit stayed not ready for all of ready_ms once: later commands
	// to it are not waited for again until one of them succeeds.
	bool not_ready_given_up;
	// A command other than INQUIRY, REQUEST SENSE and REPORT LUNS (which
	// units answer without reporting a unit attention) ended GOOD: a new
	// medium from then on is passed to the caller.
	bool settled;
	// Peripheral device type (0 direct access, 5 CD/DVD, ...): only types
	// 0, 4, 5 and 7 have their transient states ridden out.
	uint8_t type;
};

// One command as the layer's transport sends it.
struct transient_command {
	const uint8_t *cdb;
	int cdb_length;
	uint8_t *data; // the buffer the transport moves the data through
	uint32_t length;
	int direction; // TRANSIENT_DATA_*
	// The caller's buffer where data is one of the layer's own, or NULL.
	// Loaded into data before each try, so that what the unit does not
	// write stays the caller's own bytes, never another command's; copied
	// back whole only when the data counts, so that nothing the unit
	// moved is lost to a miscounted transfer length.
	uint8_t *caller;
	// A later piece of one read sent in pieces (see pieces.h): UNIT
	// ATTENTION and NOT READY end it.
	bool continues;
};

// What one try came to. reached is false where the command never reached
// the unit (a transport or host failure): that is never retried here.
struct transient_outcome {
	bool reached;
	uint8_t status; // SCSI target status
	const uint8_t *sense;
	int sense_length;
	uint32_t residual; // bytes of the length the transport says did not move
};

// Sends one command and describes how it ended. The sense data it points
// to stays valid until the next call.
typedef void (*transient_send_fn)(void *context, const struct transient_command *command,
                                  struct transient_outcome *outcome);

// Sense key, additional sense code and qualifier of fixed or descriptor
// format sense data; -1 where the data is too short to hold them.
int sense_key(const uint8_t *sense, int length);
int sense_asc(const uint8_t *sense, int length);
int sense_ascq(const uint8_t *sense, int length);
// Whether sense data is deferred (71h, 73h): about an earlier command.
bool sense_deferred(const uint8_t *sense, int length);

// Whether units of a peripheral device type hold blocks that read the same
// however often and in whatever pieces they are read: direct-access,
// write-once, CD/DVD and optical units. Others (tapes, scanners,
// changers, ...) may have moved or changed by a command, so that the same
// command again, or a part of it, would do another thing.
bool transient_block_unit(uint8_t type);

// Whether the data a command moved counts: on GOOD, or on CHECK CONDITION
// with current RECOVERED ERROR (the unit succeeded after retrying on its
// own).
bool transient_data_valid(const struct transient_outcome *outcome);

// The action one outcome asks for.
enum transient_action transient_classify(const struct transient_outcome *outcome);

// Sends command through send until it ends in a state that is not
// transient, or the limits are reached (a command that brings no data in,
// or goes to a unit of another type, goes once; after deferred sense it
// goes once more); after a new medium, READ CAPACITY(10) goes first, and
// a unit that needs starting gets one START STOP UNIT, after which command
// is always sent again, at the deadline too. Nothing else is sent. The
// last try is always command itself: outcome and the context's own results
// describe it, and the caller's buffer holds its data where that counts.
// Returns the number of tries of command.
int transient_run(const struct transient_limits *limits, struct transient_unit *unit,
                  transient_send_fn send, void *context, const struct transient_command *command,
                  struct transient_outcome *outcome);

#endif
