// What the layers over real transports (sg, spti) do alike with request
// records: check them, write their outcome, and tell the caller a request
// has ended.
#ifndef ASPI_SRB_H
#define ASPI_SRB_H

#include "aspi32.h"

// What a layer answers a record it was handed, checked in one order for
// every layer: the record's own fields (SS_INVALID_SRB unless they make a
// command: a CDB of 1 to 16 bytes, at most one direction, a buffer and a
// direction for any data, an event where one is asked for; the direction
// is not guessed from the command), the adapter (SS_INVALID_HA: not below
// adapter_count), the unit (SS_NO_DEVICE: unit_present false), the length
// (SS_BUFFER_TO_BIG: over max_transfer). SS_PENDING where the command may
// go to the unit.
uint8_t srb_check(const SRB_ExecSCSICmd *srb, int adapter_count, bool unit_present,
                  uint32_t max_transfer);

// Writes a finished command's outcome: host adapter and target status, the
// sense data (at most SRB_SenseLen bytes), the residual count where flags
// ask for it, and SRB_Status last, so that a caller polling the status may
// take the rest once it is final.
void srb_finish(SRB_ExecSCSICmd *srb, uint8_t flags, uint8_t status, uint8_t ha, uint8_t targ,
                const uint8_t *sense, int sense_length, uint32_t residual);

// Signals the event (SRB_EVENT_NOTIFY) or calls the post routine
// (SRB_POSTING) that flags and post, read before the request ended, name.
void srb_notify(uint8_t flags, void *post, void *srb);

// How long one try of a command may take, in seconds, before any
// SC_GETSET_TIMEOUTS.
#define SRB_DEFAULT_TIMEOUT_S 60

// What SC_GETSET_TIMEOUTS asks where it is well formed: SS_PENDING to go
// on, else SS_INVALID_SRB (not exactly one direction) or SS_INVALID_HA (an
// adapter past the count that is not 0xFF, every one).
uint8_t srb_timeouts_check(const SRB_GetSetTimeouts *srb, int adapter_count);

// Whether a unit at (adapter, target, lun) is one that SC_GETSET_TIMEOUTS
// addresses: 0xFF in a field stands for every one.
bool srb_timeouts_match(const SRB_GetSetTimeouts *srb, int adapter, int target, int lun);

// A timeout in half seconds as seconds: 0 is the default, any other is
// rounded up and kept within 1 second and 30 hours (what Windows takes).
uint32_t srb_timeout_s(uint32_t half_seconds);

#endif
