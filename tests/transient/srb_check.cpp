// Checks what both real layers do alike with request records (srb.cpp):
// which records are refused and in what order, what a finished command
// writes into its record, and how its caller is told. Prints one line per
// failed check and "N passed, N failed".

#include "srb.h"

#include <stdio.h>
#include <string.h>

static int passed, failed;

static void check(bool ok, const char *name, const char *what)
{
	passed += ok;
	failed += !ok;
	if (!ok)
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
		bool buffer, event;
		uint8_t adapter;
		bool present;
		uint8_t exec, reset;
	} cases[] = {
	    {"data in, event", 10, IN | EVENT, 4096, 1, 1, 1, 1, GO, GO},
	    {"no data", 16, 0, 0, 0, 0, 0, 1, GO, GO},
	    {"no CDB", 0, OUT, 16, 1, 0, 0, 1, SRB, GO},
	    {"CDB of 17", 17, OUT, 16, 1, 0, 0, 1, SRB, GO},
	    {"both directions", 10, IN | OUT, 16, 1, 0, 0, 1, SRB, GO},
	    {"data, no direction", 10, 0, 16, 1, 0, 0, 1, SRB, GO},
	    {"data, no buffer", 10, IN, 16, 0, 0, 0, 1, SRB, GO},
	    {"no event", 10, EVENT, 0, 0, 0, 2, 0, SRB, SRB},
	    {"adapter past the count", 10, SRB_POSTING, 0, 0, 0, 2, 0, HA, HA},
	    {"no unit", 10, IN, 8192, 1, 0, 1, 0, SS_NO_DEVICE, SS_NO_DEVICE},
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

static int posted;

static void __cdecl post(void *)
{
	posted++;
}

// Sense no longer than SRB_SenseLen, the residual only where asked for,
// the caller told once and in the way asked for.
static void outcome()
{
	static const uint8_t sense[18] = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24};
	struct {
		SRB_ExecSCSICmd srb;
		uint8_t after[32];
	} block;
	HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);

	memset(&block, 0x5a, sizeof block);
	block.srb.SRB_SenseLen = 4;
	srb_finish(&block.srb, 0, SS_ERR, 0, 2, sense, sizeof sense, 7);
	check(memcmp(block.srb.SenseArea, sense, 4) == 0 && block.srb.SenseArea[4] == 0x5a &&
	          block.srb.SRB_BufLen == 0x5a5a5a5a && block.srb.SRB_Status == SS_ERR,
	      "four bytes of sense", "more written, or the residual");
	srb_finish(&block.srb, SRB_ENABLE_RESIDUAL_COUNT, SS_COMP, 0, 0, NULL, 0, 7);
	check(block.srb.SRB_BufLen == 7, "residual", "not written");
	srb_notify(SRB_EVENT_NOTIFY | SRB_POSTING, event, &block);
	srb_notify(SRB_POSTING, NULL, &block);
	srb_notify(0, (void *)post, &block);
	srb_notify(SRB_POSTING, (void *)post, &block);
	check(WaitForSingleObject(event, 0) == WAIT_OBJECT_0 && posted == 1, "notify",
	      "event or post routine missed");
	CloseHandle(event);
}

int main()
{
	checks();
	outcome();
	printf("%d passed, %d failed\n", passed, failed);
	return failed != 0;
}
