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
// (SS_BUFFER_TO_BIG: over max_transfer, but for a read that may go in
// pieces to a unit of peripheral device type unit_type, see pieces.h).
// SS_PENDING where the command may go to the unit.
uint8_t srb_check(const SRB_ExecSCSICmd *srb, int adapter_count, bool unit_present,
                  uint32_t max_transfer, uint8_t unit_type);

// What a layer answers an SC_RESET_DEV record, checked as srb_check
// checks an execute record: SS_INVALID_SRB where SRB_EVENT_NOTIFY names no
// event, then SS_INVALID_HA, SS_NO_DEVICE; SS_PENDING where the unit may
// be reset.
uint8_t srb_reset_check(const SRB_BusDeviceReset *srb, int adapter_count, bool unit_present);

// Writes a finished command's outcome: host adapter and target status, the
// sense data (at most SRB_SenseLen bytes), the residual count where flags
// ask for it, and SRB_Status last, so that a caller polling the status may
// take the rest once it is final.
void srb_finish(SRB_ExecSCSICmd *srb, uint8_t flags, uint8_t status, uint8_t ha, uint8_t targ,
                const uint8_t *sense, int sense_length, uint32_t residual);

// Signals the event (SRB_EVENT_NOTIFY) or calls the post routine
// (SRB_POSTING) that flags and post, read before the request ended, name.
void srb_notify(uint8_t flags, void *post, void *srb);

// Writes a finished SC_RESET_DEV's outcome, SRB_Status last, then calls
// the post routine that flags and post, read before it ended, name.
void srb_reset_finish(SRB_BusDeviceReset *srb, uint8_t flags, void *post, uint8_t status,
                      uint8_t ha);

// How long one try of a command may take, in seconds, before any
// SC_GETSET_TIMEOUTS.
#define SRB_DEFAULT_TIMEOUT_S 60

// The most one command may move where the system does not say.
#define SRB_DEFAULT_MAX_TRANSFER 65536

// Unit index of a layer's table as SC_GETSET_TIMEOUTS sees it: its ASPI
// address (adapter, target, LUN) and where its timeout in seconds is kept;
// false where the unit cannot take commands.
typedef bool (*srb_unit_fn)(int index, int address[3], uint32_t **timeout_s);

// Answers SC_GETSET_TIMEOUTS over units 0 to count - 1, SRB_Status
// included: SS_INVALID_SRB without exactly one direction, SS_INVALID_HA for
// an adapter past the count other than 0xFF, SS_NO_DEVICE where no unit is
// at the address (0xFF in a field stands for every one), else SS_COMP.
// SRB_DIR_OUT sets each such unit's timeout from SRB_Timeout, in half
// seconds (rounded up, 0 for the default, at most 30 hours as Windows
// takes); SRB_DIR_IN reads the first one's back.
uint8_t srb_timeouts(SRB_GetSetTimeouts *srb, int adapter_count, int count, srb_unit_fn unit);

// Answers SC_HA_INQUIRY for adapter SRB_HaId of adapter_count, SRB_Status
// included: SS_INVALID_HA past the count but for adapter 0, which always
// answers so that a caller learns the count (HA_Count, written either
// way); else SS_COMP with the layer's name (manager), the adapter's
// (identifier), host id 7, alignment mask 0, residual counts, 8 targets
// and max_transfer, the most one command to its units may move; 0 (an
// adapter without a unit that can take commands) reports
// SRB_DEFAULT_MAX_TRANSFER, since programs size, and some divide, by it.
uint8_t srb_ha_inquiry(SRB_HAInquiry *srb, int adapter_count, const char *manager,
                       const char *identifier, uint32_t max_transfer);

#endif
