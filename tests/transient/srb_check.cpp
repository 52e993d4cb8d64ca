// Checks what both real layers do alike with request records (srb.cpp):
// which are refused, in what order, and what a finished one gets.

#include "srb.h"

#include <stdio.h>
#include <string.h>

static int failed;

static void check(bool ok, const char *name, const char *what)
{
	if (!ok && ++failed)
		printf("FAIL %s: %s\n", name, what);
}

// Two adapters, transfers of up to 4096 bytes.
static void checks()
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
		check(srb_check(&srb, 2, c.present, 4096) == c.exec, c.name, "command");
		check(srb_reset_check(&reset, 2, c.present) == c.reset, c.name, "reset");
	}
}

// Sense no longer than SRB_SenseLen, the residual only where asked for.
int main()
{
	static const uint8_t sense[18] = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24};
	SRB_ExecSCSICmd srb[2];

	checks();
	memset(srb, 0x5a, sizeof srb);
	srb->SRB_SenseLen = 4;
	srb_finish(srb, 0, SS_ERR, 0, 2, sense, sizeof sense, 7);
	check(memcmp(srb->SenseArea, "\x70\0\5\0\x5a", 5) == 0 && srb->SRB_BufLen == 0x5a5a5a5a,
	      "four bytes of sense", "more written, or the residual");
	srb_finish(srb, SRB_ENABLE_RESIDUAL_COUNT, SS_COMP, 0, 0, NULL, 0, 7);
	check(srb->SRB_BufLen == 7, "residual", "not written");
	printf("%d failed\n", failed);
	return failed != 0;
}
