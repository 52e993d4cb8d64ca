// Request records, handled alike by the layers over real transports.

#include "srb.h"

#include <string.h>

static bool well_formed(const SRB_ExecSCSICmd *srb)
{
	uint8_t direction = srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);

	if (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > sizeof srb->CDBByte)
		return false;
	if (direction == (SRB_DIR_IN | SRB_DIR_OUT))
		return false;
	if (srb->SRB_BufLen > 0 && (direction == 0 || srb->SRB_BufPointer == NULL))
		return false;
	if ((srb->SRB_Flags & SRB_EVENT_NOTIFY) && srb->SRB_PostProc == NULL)
		return false;
	return true;
}

uint8_t srb_check(const SRB_ExecSCSICmd *srb, int adapter_count, bool unit_present,
                  uint32_t max_transfer)
{
	if (!well_formed(srb))
		return SS_INVALID_SRB;
	if (srb->SRB_HaId >= adapter_count)
		return SS_INVALID_HA;
	if (!unit_present)
		return SS_NO_DEVICE;
	if (srb->SRB_BufLen > max_transfer)
		return SS_BUFFER_TO_BIG;
	return SS_PENDING;
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

#define EVERY 0xff
#define LONGEST_TIMEOUT_S 108000

uint8_t srb_timeouts_check(const SRB_GetSetTimeouts *srb, int adapter_count)
{
	uint8_t direction = srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);

	if (direction != SRB_DIR_IN && direction != SRB_DIR_OUT)
		return SS_INVALID_SRB;
	if (srb->SRB_HaId != EVERY && srb->SRB_HaId >= adapter_count)
		return SS_INVALID_HA;
	return SS_PENDING;
}

bool srb_timeouts_match(const SRB_GetSetTimeouts *srb, int adapter, int target, int lun)
{
	return (srb->SRB_HaId == EVERY || srb->SRB_HaId == adapter) &&
	       (srb->SRB_Target == EVERY || srb->SRB_Target == target) &&
	       (srb->SRB_Lun == EVERY || srb->SRB_Lun == lun);
}

uint32_t srb_timeout_s(uint32_t half_seconds)
{
	if (half_seconds == 0)
		return SRB_DEFAULT_TIMEOUT_S;
	if (half_seconds >= 2 * LONGEST_TIMEOUT_S)
		return LONGEST_TIMEOUT_S;
	return (half_seconds + 1) / 2;
}
