// A simulated ASPI bus: an ASPI for Win32 layer whose adapters, units, disc
// data and command outcomes come from a scenario file, for tests and demos.
//
// ASPISIM_SCENARIO names the scenario file; ASPISIM_LOG, if set, names a file
// that receives one line for every request. The scenario grammar is in
// README.md beside this file.

#include "aspisim.h"

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "aspi32.h"

namespace
{

const uint32_t block_size = 2048;

enum class Source { pattern, image, empty };

struct Unit {
	int type = DTYPE_CDROM;
	int probe_status = SS_COMP; // what SC_GET_DEV_TYPE ends with; the type is written anyway
	Source source = Source::pattern;
	uint32_t seed = 0;
	std::string image;
};

// How one command ends; -1 in a field means "as the unit's data decides".
struct Outcome {
	int status = -1;
	int bytes = -1;
	int delay_ms = -1; // -1: the default; -2: returned at once
	int host_status = -1;
	int target_status = -1;
	std::vector<uint8_t> sense; // empty: as the unit's data decides
};

struct Scenario {
	bool loaded = false;
	bool failed = false;
	bool has_info = false;
	bool exhaust_handles = false; // once a CD-ROM unit has answered a probe
	uint32_t info = 0;
	int delay_ms = 1;               // default completion: SS_PENDING after 1 ms
	std::map<uint32_t, Unit> units; // key: adapter << 16 | target << 8 | lun
	std::map<uint32_t, Outcome> blocks;
};

Scenario scenario;

// One command in flight at a time, carried out by a worker.
struct Job {
	SRB_ExecSCSICmd *srb;
	uint8_t status;
	uint8_t host_status;
	uint8_t target_status;
	uint32_t bytes;
	int delay_ms;
	std::vector<uint8_t> data;
	uint8_t sense[SENSE_LEN];
	bool sense_given; // by the scenario: written whatever the target status
};

Job job;

uint32_t unit_key(int adapter, int target, int lun)
{
	return (uint32_t)adapter << 16 | (uint32_t)target << 8 | (uint32_t)lun;
}

void log_line(const char *format, ...)
{
	const char *path = getenv("ASPISIM_LOG");
	char line[1024];
	va_list ap;
	FILE *f;

	if (path == NULL || *path == '\0')
		return;
	va_start(ap, format);
	vsnprintf(line, sizeof line, format, ap);
	va_end(ap);
	f = fopen(path, "a");
	if (f == NULL)
		return;
	fputs(line, f);
	fputc('\n', f);
	fclose(f);
}

std::string hex(const void *p, size_t n)
{
	static const char digits[] = "0123456789abcdef";
	const uint8_t *b = (const uint8_t *)p;
	std::string s;

	for (size_t i = 0; i < n; i++) {
		s += digits[b[i] >> 4];
		s += digits[b[i] & 15];
	}
	return s;
}

// --- scenario file ---------------------------------------------------------

struct Parser {
	const char *file;
	int line;
	std::vector<std::string> words;
	size_t next;

	bool error(const char *format, ...)
	{
		char what[512];
		va_list ap;

		va_start(ap, format);
		vsnprintf(what, sizeof what, format, ap);
		va_end(ap);
		fprintf(stderr, "aspisim: %s:%d: %s\n", file, line, what);
		return false;
	}

	bool more() const
	{
		return next < words.size();
	}

	bool word(std::string &w, const char *what)
	{
		if (!more())
			return error("missing %s", what);
		w = words[next++];
		return true;
	}

	bool number(long long &value, long long low, long long high, const char *what)
	{
		std::string w;
		char *end;

		if (!word(w, what))
			return false;
		errno = 0;
		value = strtoll(w.c_str(), &end, 0);
		if (errno != 0 || *end != '\0' || end == w.c_str())
			return error("%s is not a number: '%s'", what, w.c_str());
		if (value < low || value > high)
			return error("%s %lld is out of range %lld..%lld", what, value, low, high);
		return true;
	}

	// 1 to max bytes as hexadecimal digits, two a byte.
	bool hex_bytes(std::vector<uint8_t> &bytes, size_t max, const char *what)
	{
		std::string w;

		if (!word(w, what))
			return false;
		if (w.empty() || w.size() % 2 != 0 || w.size() / 2 > max ||
		    w.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
			return error("%s must be 1 to %zu bytes in hexadecimal, not '%s'", what,
			             max, w.c_str());
		bytes.clear();
		for (size_t i = 0; i < w.size(); i += 2)
			bytes.push_back((uint8_t)strtoul(w.substr(i, 2).c_str(), NULL, 16));
		return true;
	}

	bool end()
	{
		if (more())
			return error("unexpected '%s'", words[next].c_str());
		return true;
	}

	// completion: "pending MS" or "immediate"
	bool completion(const std::string &w, int &delay_ms)
	{
		long long ms;

		if (w == "immediate") {
			delay_ms = -2;
			return true;
		}
		if (w == "pending") {
			if (!number(ms, 0, 60000, "delay in milliseconds"))
				return false;
			delay_ms = (int)ms;
			return true;
		}
		return error("completion must be 'pending MS' or 'immediate', not '%s'", w.c_str());
	}

	bool info_line()
	{
		long long v;

		if (!number(v, 0, 0xffffffffL, "support-info word"))
			return false;
		scenario.has_info = true;
		scenario.info = (uint32_t)v;
		return end();
	}

	bool exhaust_line()
	{
		std::string w;

		if (!word(w, "'handles'") || w != "handles")
			return error("the statement is 'exhaust handles'");
		scenario.exhaust_handles = true;
		return end();
	}

	bool complete_line()
	{
		std::string w;

		return word(w, "completion") && completion(w, scenario.delay_ms) && end();
	}

	bool unit_line()
	{
		long long adapter, target, type, lun = 0, seed, v;
		std::string w;
		Unit unit;

		if (!number(adapter, 0, 255, "adapter") || !number(target, 0, 255, "target") ||
		    !number(type, 0, 255, "device type"))
			return false;
		unit.type = (int)type;
		while (more()) {
			word(w, "keyword");
			if (w == "lun") {
				if (!number(lun, 0, 255, "lun"))
					return false;
			} else if (w == "pattern") {
				if (!number(seed, 0, 0xffffffffL, "pattern seed"))
					return false;
				unit.source = Source::pattern;
				unit.seed = (uint32_t)seed;
			} else if (w == "image") {
				if (!word(unit.image, "image path"))
					return false;
				FILE *f = fopen(unit.image.c_str(), "rb");
				if (f == NULL)
					return error("cannot open image '%s': %s",
					             unit.image.c_str(), strerror(errno));
				fclose(f);
				unit.source = Source::image;
			} else if (w == "empty") {
				unit.source = Source::empty;
			} else if (w == "probe") {
				if (!number(v, 0, 255, "probe status"))
					return false;
				unit.probe_status = (int)v;
			} else {
				return error("unknown unit keyword '%s'", w.c_str());
			}
		}
		uint32_t key = unit_key((int)adapter, (int)target, (int)lun);
		if (scenario.units.count(key))
			return error("unit %lld:%lld lun %lld is given twice", adapter, target,
			             lun);
		scenario.units[key] = unit;
		return true;
	}

	bool block_line()
	{
		long long lba, v;
		std::string w;
		Outcome o;

		if (!number(lba, 0, 0xffffffffL, "lba"))
			return false;
		while (more()) {
			word(w, "keyword");
			if (w == "status") {
				if (!number(v, 0, 255, "status"))
					return false;
				o.status = (int)v;
			} else if (w == "bytes") {
				if (!number(v, 0, block_size, "bytes"))
					return false;
				o.bytes = (int)v;
			} else if (w == "hastat") {
				if (!number(v, 0, 255, "host adapter status"))
					return false;
				o.host_status = (int)v;
			} else if (w == "targstat") {
				if (!number(v, 0, 255, "target status"))
					return false;
				o.target_status = (int)v;
			} else if (w == "sense") {
				if (!hex_bytes(o.sense, SENSE_LEN, "sense data"))
					return false;
			} else if (w == "pending" || w == "immediate") {
				if (!completion(w, o.delay_ms))
					return false;
			} else {
				return error("unknown block keyword '%s'", w.c_str());
			}
		}
		if (scenario.blocks.count((uint32_t)lba))
			return error("block %lld is given twice", lba);
		scenario.blocks[(uint32_t)lba] = o;
		return true;
	}

	bool parse_line(const std::string &text)
	{
		std::string w;
		size_t i = 0;

		words.clear();
		next = 0;
		while (i < text.size() && text[i] != '#') {
			if (text[i] == ' ' || text[i] == '\t' || text[i] == '\r') {
				i++;
				continue;
			}
			size_t start = i;
			while (i < text.size() && text[i] != ' ' && text[i] != '\t' &&
			       text[i] != '\r' && text[i] != '#')
				i++;
			words.push_back(text.substr(start, i - start));
		}
		if (words.empty())
			return true;
		word(w, "keyword");
		if (w == "info")
			return info_line();
		if (w == "exhaust")
			return exhaust_line();
		if (w == "complete")
			return complete_line();
		if (w == "unit")
			return unit_line();
		if (w == "block")
			return block_line();
		return error("unknown keyword '%s'", w.c_str());
	}
};

bool read_scenario(const char *path)
{
	Parser p{path, 0, {}, 0};
	std::string text;
	FILE *f;
	int c;

	f = fopen(path, "rb");
	if (f == NULL) {
		fprintf(stderr, "aspisim: %s: %s\n", path, strerror(errno));
		return false;
	}
	for (;;) {
		c = fgetc(f);
		if (c == '\n' || c == EOF) {
			p.line++;
			if (!p.parse_line(text)) {
				fclose(f);
				return false;
			}
			text.clear();
			if (c == EOF)
				break;
		} else {
			text += (char)c;
		}
	}
	fclose(f);
	return true;
}

// Reads the scenario once; a malformed one leaves the bus failed.
void load()
{
	const char *path;

	if (scenario.loaded)
		return;
	scenario.loaded = true;
	path = getenv("ASPISIM_SCENARIO");
	if (path == NULL || *path == '\0') {
		fprintf(stderr, "aspisim: ASPISIM_SCENARIO is not set\n");
		scenario.failed = true;
		return;
	}
	if (!read_scenario(path)) {
		scenario = Scenario();
		scenario.loaded = true;
		scenario.failed = true;
	}
}

[[maybe_unused]] int adapter_count()
{
	int highest = -1;

	for (const auto &u : scenario.units)
		if ((int)(u.first >> 16) > highest)
			highest = (int)(u.first >> 16);
	return highest + 1;
}

// --- disc data -------------------------------------------------------------

// Byte i of block lba of a pattern unit.
uint8_t pattern_byte(uint32_t seed, uint32_t lba, uint32_t i)
{
	uint32_t v = (lba * block_size + i) * 2654435761u + seed * 40503u;
	return (uint8_t)(v >> 24);
}

// Fills data with count blocks from lba; false where the unit has no such
// block (no medium, or past the end of the image).
bool read_blocks(const Unit &unit, uint32_t lba, uint32_t count, std::vector<uint8_t> &data)
{
	data.assign((size_t)count * block_size, 0);
	switch (unit.source) {
	case Source::empty:
		return false;
	case Source::pattern:
		for (uint32_t i = 0; i < data.size(); i++)
			data[i] = pattern_byte(unit.seed, lba + i / block_size, i % block_size);
		return true;
	case Source::image: {
		FILE *f = fopen(unit.image.c_str(), "rb");
		bool ok = f != NULL && fseek(f, (long)lba * (long)block_size, SEEK_SET) == 0 &&
		          fread(data.data(), 1, data.size(), f) == data.size();
		if (f != NULL)
			fclose(f);
		return ok;
	}
	}
	return false;
}

void set_sense(uint8_t key, uint8_t asc, uint8_t ascq)
{
	memset(job.sense, 0, sizeof job.sense);
	job.sense[0] = 0x70;
	job.sense[2] = key;
	job.sense[7] = SENSE_LEN - 8;
	job.sense[12] = asc;
	job.sense[13] = ascq;
}

// Works out the outcome of one SC_EXEC_SCSI_CMD into job.
void plan(SRB_ExecSCSICmd *srb, const Unit &unit)
{
	const uint8_t *cdb = srb->CDBByte;
	uint32_t lba, count;
	Outcome o;

	job.srb = srb;
	job.status = SS_COMP;
	job.host_status = HASTAT_OK;
	job.target_status = STATUS_GOOD;
	job.bytes = 0;
	job.delay_ms = scenario.delay_ms;
	memset(job.sense, 0, sizeof job.sense);
	job.sense_given = false;

	if (srb->SRB_CDBLen < 10 || cdb[0] != 0x28) {
		job.status = SS_ERR;
		job.target_status = STATUS_CHKCOND;
		set_sense(0x05, 0x20, 0x00); // invalid command operation code
		return;
	}
	lba = (uint32_t)cdb[2] << 24 | (uint32_t)cdb[3] << 16 | (uint32_t)cdb[4] << 8 | cdb[5];
	count = (uint32_t)cdb[7] << 8 | cdb[8];
	bool have = count > 0 && read_blocks(unit, lba, count, job.data);
	if (have) {
		job.bytes = count * block_size;
	} else if (count > 0) {
		job.status = SS_ERR;
		job.target_status = STATUS_CHKCOND;
		if (unit.source == Source::empty)
			set_sense(0x02, 0x3a, 0x00); // medium not present
		else
			set_sense(0x05, 0x21, 0x00); // logical block address out of range
	}
	auto over = scenario.blocks.find(lba);
	if (over != scenario.blocks.end()) {
		o = over->second;
		if (o.status >= 0)
			job.status = (uint8_t)o.status;
		if (o.bytes >= 0) {
			// A unit without data for the block still hands over bytes
			// when told to: the pattern with seed 0 stands for them.
			if (!have) {
				job.data.resize(block_size);
				for (uint32_t i = 0; i < block_size; i++)
					job.data[i] = pattern_byte(0, lba, i);
			}
			job.bytes = (uint32_t)o.bytes;
		}
		if (o.delay_ms != -1)
			job.delay_ms = o.delay_ms;
		if (o.host_status >= 0)
			job.host_status = (uint8_t)o.host_status;
		if (o.target_status >= 0)
			job.target_status = (uint8_t)o.target_status;
		if (!o.sense.empty()) {
			memset(job.sense, 0, sizeof job.sense);
			memcpy(job.sense, o.sense.data(), o.sense.size());
			job.sense_given = true;
		}
	}
	if (job.bytes > srb->SRB_BufLen)
		job.bytes = srb->SRB_BufLen;
}

// Delivers the data, then the adapter and target status and the sense
// data, and only then the final status.
void finish()
{
	SRB_ExecSCSICmd *srb = job.srb;
	uint32_t sense = srb->SRB_SenseLen < SENSE_LEN ? srb->SRB_SenseLen : SENSE_LEN;

	if (job.bytes > 0)
		memcpy(srb->SRB_BufPointer, job.data.data(), job.bytes);
	srb->SRB_HaStat = job.host_status;
	srb->SRB_TargStat = job.target_status;
	if (job.target_status == STATUS_CHKCOND || job.sense_given)
		memcpy(srb->SenseArea, job.sense, sense);
	__atomic_store_n(&srb->SRB_Status, job.status, __ATOMIC_RELEASE);
}

void notify(SRB_ExecSCSICmd *srb)
{
	if ((srb->SRB_Flags & SRB_EVENT_NOTIFY) && srb->SRB_PostProc != NULL)
		SetEvent((HANDLE)srb->SRB_PostProc);
}

void run_job()
{
	aspisim_sleep(job.delay_ms);
	finish();
	notify(job.srb);
}

[[maybe_unused]] DWORD probe(SRB_GDEVBlock *srb)
{
	std::string raw = hex(srb, sizeof *srb);
	auto u = scenario.units.find(unit_key(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun));

	if (scenario.failed) {
		srb->SRB_Status = SS_FAILED_INIT;
	} else if (u == scenario.units.end()) {
		srb->SRB_Status = SS_NO_DEVICE;
	} else {
		srb->SRB_DeviceType = (uint8_t)u->second.type;
		srb->SRB_Status = (uint8_t)u->second.probe_status;
	}
	log_line("probe raw=%s ha=%u target=%u lun=%u -> status=0x%02x type=%u", raw.c_str(),
	         srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun, srb->SRB_Status,
	         srb->SRB_DeviceType);
	if (scenario.exhaust_handles && srb->SRB_Status == SS_COMP &&
	    srb->SRB_DeviceType == DTYPE_CDROM)
		aspisim_exhaust_handles();
	return srb->SRB_Status;
}

[[maybe_unused]] DWORD execute(SRB_ExecSCSICmd *srb)
{
	std::string raw = hex(srb, sizeof *srb);
	bool notify_flag = (srb->SRB_Flags & SRB_EVENT_NOTIFY) && srb->SRB_PostProc != NULL;
	bool signalled =
	    notify_flag && WaitForSingleObject((HANDLE)srb->SRB_PostProc, 0) == WAIT_OBJECT_0;
	auto u = scenario.units.find(unit_key(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun));
	const char *completion;
	DWORD result;

	aspisim_join();
	if (scenario.failed || u == scenario.units.end()) {
		srb->SRB_Status = scenario.failed ? SS_FAILED_INIT : SS_NO_DEVICE;
		job.status = srb->SRB_Status;
		job.bytes = 0;
		job.delay_ms = -2;
		completion = "immediate";
		result = srb->SRB_Status;
	} else {
		plan(srb, u->second);
		if (job.delay_ms == -2) {
			// Answered at once: no event, unless the answer reads as pending.
			finish();
			if (job.status == SS_PENDING)
				notify(srb);
			completion = "immediate";
			result = job.status;
		} else {
			srb->SRB_Status = SS_PENDING;
			completion = "pending";
			result = SS_PENDING;
		}
	}
	log_line("exec raw=%s ha=%u target=%u lun=%u flags=0x%02x buflen=%u buf=%p senselen=%u "
	         "cdblen=%u postproc=%p signalled=%d cdb=%s -> status=0x%02x bytes=%u "
	         "completion=%s delay=%d",
	         raw.c_str(), srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun, srb->SRB_Flags,
	         srb->SRB_BufLen, (void *)srb->SRB_BufPointer, srb->SRB_SenseLen, srb->SRB_CDBLen,
	         srb->SRB_PostProc, signalled ? 1 : 0, hex(srb->CDBByte, 16).c_str(), job.status,
	         job.bytes, completion, job.delay_ms < 0 ? 0 : job.delay_ms);
	// Logged before the worker starts, so the line is in the log before
	// the caller can learn that the command has ended.
	if (result == SS_PENDING && completion[0] == 'p')
		aspisim_start(run_job);
	return result;
}

} // namespace

#ifndef ASPISIM_WITHOUT_SUPPORT_INFO
extern "C" ASPISIM_EXPORT DWORD __cdecl GetASPI32SupportInfo(void)
{
	DWORD word;

	load();
	if (scenario.failed)
		word = SS_FAILED_INIT << 8;
	else if (scenario.has_info)
		word = scenario.info;
	else if (adapter_count() == 0)
		word = SS_NO_ADAPTERS << 8;
	else
		word = SS_COMP << 8 | (DWORD)adapter_count();
	log_line("info -> 0x%08x", (unsigned)word);
	return word;
}
#endif

#ifndef ASPISIM_WITHOUT_SEND_COMMAND
extern "C" ASPISIM_EXPORT DWORD __cdecl SendASPI32Command(void *request)
{
	uint8_t *cmd = (uint8_t *)request;

	load();
	if (request == NULL)
		return SS_INVALID_SRB;
	switch (*cmd) {
	case SC_GET_DEV_TYPE:
		return probe((SRB_GDEVBlock *)request);
	case SC_EXEC_SCSI_CMD:
		return execute((SRB_ExecSCSICmd *)request);
	default:
		log_line("other cmd=0x%02x -> status=0x%02x", *cmd, SS_INVALID_CMD);
		cmd[1] = SS_INVALID_CMD;
		return SS_INVALID_CMD;
	}
}
#endif

// Runs when the library is released: no worker may outlive the code it runs.
void aspisim_unload(bool exiting)
{
	aspisim_join();
	log_line("unload exiting=%d", exiting ? 1 : 0);
}
