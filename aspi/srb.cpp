// Request records, handled alike by the layers over real transports.

#include "srb.h"

#include "pieces.h"

#include <string.h>

// SRB_EVENT_NOTIFY with no event would signal whatever the null handle
// stands for.
static bool event_named(uint8_t flags, const void *post)
{
	return !(flags & SRB_EVENT_NOTIFY) || post != NULL;
}

static bool well_formed(const SRB_ExecSCSICmd *srb)
{
	uint8_t direction = srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);

	if (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > sizeof srb->CDBByte)
		return false;
	if (direction == (SRB_DIR_IN | SRB_DIR_OUT))
		return false;
	if (srb->SRB_BufLen > 0 && (direction == 0 || srb->SRB_BufPointer == NULL))
		return false;
	return event_named(srb->SRB_Flags, srb->SRB_PostProc);
}

// The address of a well-formed record, for commands and resets alike.
static uint8_t addressed(uint8_t adapter, int adapter_count, bool unit_present)
{
	if (adapter >= adapter_count)
		return SS_INVALID_HA;
	if (!unit_present)
		return SS_NO_DEVICE;
	return SS_PENDING;
}

uint8_t srb_check(const SRB_ExecSCSICmd *srb, int adapter_count, bool unit_present,
                  uint32_t max_transfer, uint8_t unit_type)
{
	uint8_t status;

	if (!well_formed(srb))
		return SS_INVALID_SRB;
	status = addressed(srb->SRB_HaId, adapter_count, unit_present);
	if (status != SS_PENDING)
		return status;
	// A read longer than that may go in pieces; nothing else may.
	if (srb->SRB_BufLen > max_transfer &&
	    ((srb->SRB_Flags & SRB_DIR_IN) == 0 ||
	     !pieces_fit(srb->CDBByte, srb->SRB_CDBLen, srb->SRB_BufLen, max_transfer, unit_type)))
		return SS_BUFFER_TO_BIG;
	return SS_PENDING;
}

uint8_t srb_reset_check(const SRB_BusDeviceReset *srb, int adapter_count, bool unit_present)
{
	if (!event_named(srb->SRB_Flags, srb->SRB_PostProc))
		return SS_INVALID_SRB;
	return addressed(srb->SRB_HaId, adapter_count, unit_present);
}

void srb_finish(SRB_ExecSCSICmd *srb, uint8_t flags, uint8_t status, uint8_t ha, uint8_t targ,
                const uint8_t *sense, int sense_length, uint32_t residual)
{
	srb->SRB_HaStat = ha;
	srb->SRB_TargStat = targ;
	if (sense_length > srb->SRB_SenseLen)
		sense_length = srb->SRB_SenseLen;
	if (sense_length > 0)
		memcpy(srb->SenseArea, sense, (size_t)sense_length);
	if (flags & SRB_ENABLE_RESIDUAL_COUNT)
		srb->SRB_BufLen = residual;
	__atomic_store_n(&srb->SRB_Status, status, __ATOMIC_RELEASE);
}

void srb_notify(uint8_t flags, void *post, void *srb)
{
	if (flags & SRB_EVENT_NOTIFY)
		SetEvent((HANDLE)post);
	else if ((flags & SRB_POSTING) && post != NULL)
		((void(__cdecl *)(void *))post)(srb);
}

void srb_reset_finish(SRB_BusDeviceReset *srb, uint8_t flags, void *post, uint8_t status,
                      uint8_t ha)
{
	srb->SRB_HaStat = ha;
	srb->SRB_TargStat = STATUS_GOOD;
	__atomic_store_n(&srb->SRB_Status, status, __ATOMIC_RELEASE);
	srb_notify(flags, post, srb);
}

#define EVERY 0xff
#define LONGEST_TIMEOUT_S 108000

static bool addressed(const SRB_GetSetTimeouts *srb, const int address[3])
{
	return (srb->SRB_HaId == EVERY || srb->SRB_HaId == address[0]) &&
	       (srb->SRB_Target == EVERY || srb->SRB_Target == address[1]) &&
	       (srb->SRB_Lun == EVERY || srb->SRB_Lun == address[2]);
}

static uint32_t timeout_s(uint32_t half_seconds)
{
	if (half_seconds == 0)
		return SRB_DEFAULT_TIMEOUT_S;
	if (half_seconds >= 2 * LONGEST_TIMEOUT_S)
		return LONGEST_TIMEOUT_S;
	return (half_seconds + 1) / 2;
}

uint8_t srb_timeouts(SRB_GetSetTimeouts *srb, int adapter_count, int count, srb_unit_fn unit)
{
	uint8_t direction = srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
	uint8_t status = SS_NO_DEVICE;
	uint32_t *kept;
	int address[3];

	if (direction != SRB_DIR_IN && direction != SRB_DIR_OUT)
		status = SS_INVALID_SRB;
	else if (srb->SRB_HaId != EVERY && srb->SRB_HaId >= adapter_count)
		status = SS_INVALID_HA;
	for (int i = 0; status != SS_INVALID_SRB && status != SS_INVALID_HA && i < count; i++) {
		if (!unit(i, address, &kept) || !addressed(srb, address))
			continue;
		if (direction == SRB_DIR_OUT)
			__atomic_store_n(kept, timeout_s(srb->SRB_Timeout), __ATOMIC_RELAXED);
		else if (status != SS_COMP)
			srb->SRB_Timeout = 2 * __atomic_load_n(kept, __ATOMIC_RELAXED);
		status = SS_COMP;
	}
	srb->SRB_Status = status;
	return status;
}

#define HOST_SCSI_ID 7
#define RESIDUAL_SUPPORTED 0x02
#define TARGETS 8

static void pad(uint8_t *field, const char *text)
{
	int n = 0;

	for (; n < 16 && text[n]; n++)
		field[n] = (uint8_t)text[n];
	for (; n < 16; n++)
		field[n] = ' ';
}

uint8_t srb_ha_inquiry(SRB_HAInquiry *srb, int adapter_count, const char *manager,
                       const char *identifier, uint32_t max_transfer)
{
	srb->HA_Count = (uint8_t)adapter_count;
	// Adapter 0 always answers, so that a caller learns the count even
	// where there is no adapter.
	if (srb->SRB_HaId >= adapter_count && srb->SRB_HaId != 0) {
		srb->SRB_Status = SS_INVALID_HA;
		return SS_INVALID_HA;
	}
	srb->HA_SCSI_ID = HOST_SCSI_ID;
	pad(srb->HA_ManagerId, manager);
	pad(srb->HA_Identifier, identifier);
	memset(srb->HA_Unique, 0, sizeof srb->HA_Unique);
	// Alignment mask 0: the caller's buffer never reaches the system.
	srb->HA_Unique[2] = RESIDUAL_SUPPORTED;
	srb->HA_Unique[3] = TARGETS;
	if (max_transfer == 0)
		max_transfer = SRB_DEFAULT_MAX_TRANSFER;
	for (int i = 0; i < 4; i++)
		srb->HA_Unique[4 + i] = (uint8_t)(max_transfer >> (8 * i));
	srb->SRB_Status = SS_COMP;
	return SS_COMP;
}
