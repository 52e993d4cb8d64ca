// ASPI for Win32: request records, constants and entry-point types.
// Shared by the program and by every ASPI layer built here.
#ifndef ASPI32_H
#define ASPI32_H

#include <stddef.h>
#include <stdint.h>

#include <windows.h>

// Commands (SRB_Cmd).
#define SC_HA_INQUIRY 0x00
#define SC_GET_DEV_TYPE 0x01
#define SC_EXEC_SCSI_CMD 0x02
#define SC_ABORT_SRB 0x03
#define SC_RESET_DEV 0x04
#define SC_GET_DISK_INFO 0x06
#define SC_RESCAN_SCSI_BUS 0x07
#define SC_GETSET_TIMEOUTS 0x08

// Request status (SRB_Status, and the status byte of the support-info word).
#define SS_PENDING 0x00
#define SS_COMP 0x01
#define SS_ABORTED 0x02
#define SS_ABORT_FAIL 0x03
#define SS_ERR 0x04
#define SS_INVALID_CMD 0x80
#define SS_INVALID_HA 0x81
#define SS_NO_DEVICE 0x82
#define SS_INVALID_SRB 0xE0
#define SS_FAILED_INIT 0xE4
#define SS_ASPI_IS_BUSY 0xE5
#define SS_BUFFER_TO_BIG 0xE6
#define SS_NO_ADAPTERS 0xE8

// Request flags (SRB_Flags).
#define SRB_POSTING 0x01
#define SRB_ENABLE_RESIDUAL_COUNT 0x04
#define SRB_DIR_IN 0x08
#define SRB_DIR_OUT 0x10
#define SRB_EVENT_NOTIFY 0x40

// Host adapter status (SRB_HaStat).
#define HASTAT_OK 0x00
#define HASTAT_TIMEOUT 0x09
#define HASTAT_COMMAND_TIMEOUT 0x0B
#define HASTAT_SEL_TO 0x11
#define HASTAT_DO_DU 0x12
#define HASTAT_BUS_FREE 0x13
#define HASTAT_PHASE_ERR 0x14

// Target status (SRB_TargStat).
#define STATUS_GOOD 0x00
#define STATUS_CHKCOND 0x02
#define STATUS_BUSY 0x08

// Peripheral device types (SRB_DeviceType).
#define DTYPE_DASD 0x00
#define DTYPE_SEQD 0x01
#define DTYPE_WORM 0x04
#define DTYPE_CDROM 0x05
#define DTYPE_OPTI 0x07

#define SENSE_LEN 14

#pragma pack(push, 1)

// SC_HA_INQUIRY: answered before SendASPI32Command returns.
struct SRB_HAInquiry {
	uint8_t SRB_Cmd;
	uint8_t SRB_Status;
	uint8_t SRB_HaId;
	uint8_t SRB_Flags;
	uint32_t SRB_Hdr_Rsvd;
	uint8_t HA_Count;
	uint8_t HA_SCSI_ID;
	uint8_t HA_ManagerId[16];  // text, space padded
	uint8_t HA_Identifier[16]; // text, space padded
	// Bytes 0-1 buffer alignment mask, byte 2 flags (bit 1: residual count
	// supported), byte 3 maximum targets, bytes 4-7 maximum transfer length.
	uint8_t HA_Unique[16];
	uint16_t HA_Rsvd1;
};

// SC_GET_DEV_TYPE: answered before SendASPI32Command returns.
struct SRB_GDEVBlock {
	uint8_t SRB_Cmd;
	uint8_t SRB_Status;
	uint8_t SRB_HaId;
	uint8_t SRB_Flags;
	uint32_t SRB_Hdr_Rsvd;
	uint8_t SRB_Target;
	uint8_t SRB_Lun;
	uint8_t SRB_DeviceType;
	uint8_t SRB_Rsvd1;
};

// SC_GET_DISK_INFO: which drive letter a unit is, answered before
// SendASPI32Command returns. Callers' records go on past SRB_Sectors with
// 10 or 22 reserved bytes: a layer writes SRB_Status and bytes 10 to 13
// only.
struct SRB_GetDiskInfo {
	uint8_t SRB_Cmd;
	uint8_t SRB_Status;
	uint8_t SRB_HaId;
	uint8_t SRB_Flags;
	uint32_t SRB_Hdr_Rsvd;
	uint8_t SRB_Target;
	uint8_t SRB_Lun;
	uint8_t SRB_DriveFlags;      // 0: no INT 13h disk
	uint8_t SRB_Int13HDriveInfo; // a CD-ROM drive's letter, 0 = A:
	uint8_t SRB_Heads;
	uint8_t SRB_Sectors;
};

// SC_RESET_DEV: resets the addressed unit, answered before
// SendASPI32Command returns; with SRB_POSTING the post routine is called
// after.
struct SRB_BusDeviceReset {
	uint8_t SRB_Cmd;
	uint8_t SRB_Status;
	uint8_t SRB_HaId;
	uint8_t SRB_Flags;
	uint32_t SRB_Hdr_Rsvd;
	uint8_t SRB_Target;
	uint8_t SRB_Lun;
	uint8_t SRB_Rsvd1[12];
	uint8_t SRB_HaStat;
	uint8_t SRB_TargStat;
	void *SRB_PostProc;
	uint8_t SRB_Rsvd2[36];
};

// SC_RESCAN_SCSI_BUS: the header alone; looks for units again.
struct SRB_RescanPort {
	uint8_t SRB_Cmd;
	uint8_t SRB_Status;
	uint8_t SRB_HaId;
	uint8_t SRB_Flags;
	uint32_t SRB_Hdr_Rsvd;
};

// SC_GETSET_TIMEOUTS: SRB_DIR_OUT sets the timeout of later commands to
// the unit, SRB_DIR_IN reads it back; 0xFF in SRB_HaId, SRB_Target or
// SRB_Lun stands for every one.
struct SRB_GetSetTimeouts {
	uint8_t SRB_Cmd;
	uint8_t SRB_Status;
	uint8_t SRB_HaId;
	uint8_t SRB_Flags;
	uint32_t SRB_Hdr_Rsvd;
	uint8_t SRB_Target;
	uint8_t SRB_Lun;
	uint32_t SRB_Timeout; // in half seconds
};

// SC_EXEC_SCSI_CMD: usually runs on after SendASPI32Command returns
// SS_PENDING; the final SRB_Status is written before the event is signalled.
struct SRB_ExecSCSICmd {
	uint8_t SRB_Cmd;
	uint8_t SRB_Status;
	uint8_t SRB_HaId;
	uint8_t SRB_Flags;
	uint32_t SRB_Hdr_Rsvd;
	uint8_t SRB_Target;
	uint8_t SRB_Lun;
	uint16_t SRB_Rsvd1;
	uint32_t SRB_BufLen;
	uint8_t *SRB_BufPointer;
	uint8_t SRB_SenseLen;
	uint8_t SRB_CDBLen;
	uint8_t SRB_HaStat;
	uint8_t SRB_TargStat;
	void *SRB_PostProc;
	uint8_t SRB_Rsvd2[20];
	uint8_t CDBByte[16];
	uint8_t SenseArea[SENSE_LEN + 2];
};

#pragma pack(pop)

// Both entry points use the C calling convention: the caller pops.
typedef DWORD(__cdecl *aspi_support_info_fn)(void);
typedef DWORD(__cdecl *aspi_send_command_fn)(void *srb);

// Published layout on 32-bit Windows; with 8-byte pointers the two pointer
// fields widen and every later offset moves with them.
#define ASPI_PTR_EXTRA (sizeof(void *) - 4)
static_assert(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry size");
static_assert(offsetof(SRB_HAInquiry, HA_Count) == 8, "HA_Count");
static_assert(offsetof(SRB_HAInquiry, HA_SCSI_ID) == 9, "HA_SCSI_ID");
static_assert(offsetof(SRB_HAInquiry, HA_ManagerId) == 10, "HA_ManagerId");
static_assert(offsetof(SRB_HAInquiry, HA_Identifier) == 26, "HA_Identifier");
static_assert(offsetof(SRB_HAInquiry, HA_Unique) == 42, "HA_Unique");
static_assert(offsetof(SRB_HAInquiry, HA_Rsvd1) == 58, "HA_Rsvd1");
static_assert(sizeof(SRB_GDEVBlock) == 12, "SRB_GDEVBlock size");
static_assert(offsetof(SRB_GDEVBlock, SRB_Target) == 8, "SRB_Target");
static_assert(offsetof(SRB_GDEVBlock, SRB_DeviceType) == 10, "SRB_DeviceType");
static_assert(offsetof(SRB_GetDiskInfo, SRB_Target) == 8, "SRB_Target");
static_assert(offsetof(SRB_GetDiskInfo, SRB_DriveFlags) == 10, "SRB_DriveFlags");
static_assert(offsetof(SRB_GetDiskInfo, SRB_Int13HDriveInfo) == 11, "SRB_Int13HDriveInfo");
static_assert(offsetof(SRB_GetDiskInfo, SRB_Sectors) == 13, "SRB_Sectors");
static_assert(sizeof(SRB_GetDiskInfo) == 14, "SRB_GetDiskInfo size");
static_assert(offsetof(SRB_BusDeviceReset, SRB_HaStat) == 22, "SRB_HaStat");
static_assert(offsetof(SRB_BusDeviceReset, SRB_PostProc) == 24, "SRB_PostProc");
static_assert(sizeof(SRB_BusDeviceReset) == 64 + ASPI_PTR_EXTRA, "SRB_BusDeviceReset size");
static_assert(sizeof(SRB_RescanPort) == 8, "SRB_RescanPort size");
static_assert(offsetof(SRB_GetSetTimeouts, SRB_Timeout) == 10, "SRB_Timeout");
static_assert(sizeof(SRB_GetSetTimeouts) == 14, "SRB_GetSetTimeouts size");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12, "SRB_BufLen");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16, "SRB_BufPointer");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 20 + ASPI_PTR_EXTRA, "SRB_SenseLen");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24 + ASPI_PTR_EXTRA, "SRB_PostProc");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 48 + 2 * ASPI_PTR_EXTRA, "CDBByte");
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64 + 2 * ASPI_PTR_EXTRA, "SenseArea");
static_assert(sizeof(SRB_ExecSCSICmd) == 80 + 2 * ASPI_PTR_EXTRA, "SRB_ExecSCSICmd size");

#endif
