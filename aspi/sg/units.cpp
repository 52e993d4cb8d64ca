// Discovery of SCSI units through sysfs.
//
// Plain system calls and small parsers of our own: discovery runs in every
// process that loads the layer, and what it leaves out (directory streams,
// formatted input, sorting by callback) it need not bring into the process.

#include "units.h"

#include "aspi32.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// Reads a directory's entries through fn(name, context) until it returns
// false; false where the directory cannot be read.
static bool each_entry(const char *dir, bool (*fn)(const char *, void *), void *context)
{
	// Aligned for the records getdents64 writes into it.
	alignas(struct dirent64) char buffer[4096];
	int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	ssize_t n;

	if (fd < 0)
		return false;
	while ((n = getdents64(fd, buffer, sizeof buffer)) > 0) {
		for (ssize_t at = 0; at < n;) {
			const struct dirent64 *e = (const struct dirent64 *)(buffer + at);
			at += e->d_reclen;
			if (!fn(e->d_name, context)) {
				close(fd);
				return true;
			}
		}
	}
	close(fd);
	return true;
}

// A decimal number at *p, which moves past it; -1 where there is none or it
// is too large.
static int number(const char **p)
{
	long value = 0;
	const char *s = *p;

	if (*s < '0' || *s > '9')
		return -1;
	for (; *s >= '0' && *s <= '9'; s++) {
		value = value * 10 + (*s - '0');
		if (value > INT_MAX)
			return -1;
	}
	*p = s;
	return (int)value;
}

// "H:C:T:L" into u; false for any other name (hosts and targets are
// listed beside the units).
static bool parse_address(const char *name, struct sg_unit *u)
{
	int *fields[4] = {&u->host, &u->channel, &u->target, &u->lun};
	const char *p = name;

	for (int i = 0; i < 4; i++) {
		if (i > 0 && *p++ != ':')
			return false;
		if ((*fields[i] = number(&p)) < 0)
			return false;
	}
	return *p == '\0';
}

// The peripheral device type in a unit's "type" file, or -1.
static int read_type(const char *path)
{
	char text[16];
	const char *p = text;
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	ssize_t n;

	if (fd < 0)
		return -1;
	n = read(fd, text, sizeof text - 1);
	close(fd);
	if (n <= 0)
		return -1;
	text[n] = '\0';
	n = number(&p);
	return n < 0 ? -1 : (int)(n & 0x1f);
}

// Takes the first entry named sgN as the unit's node name.
static bool take_sg(const char *name, void *context)
{
	char *node = (char *)context;

	if (name[0] != 's' || name[1] != 'g' || name[2] == '\0' || strlen(name) >= SG_NODE_MAX)
		return true;
	strcpy(node, name);
	return false;
}

// The name of a unit's SCSI generic node, or "": an entry of its
// scsi_generic folder, or on older kernels the target of its "generic" link.
static void sg_name(const char *dir, char *name)
{
	char path[PATH_MAX], link[PATH_MAX];
	ssize_t n;

	name[0] = '\0';
	if (snprintf(path, sizeof path, "%s/scsi_generic", dir) >= (int)sizeof path)
		return;
	each_entry(path, take_sg, name);
	if (name[0] != '\0' || snprintf(path, sizeof path, "%s/generic", dir) >= (int)sizeof path)
		return;
	n = readlink(path, link, sizeof link - 1);
	if (n <= 0)
		return;
	link[n] = '\0';
	const char *last = strrchr(link, '/');
	take_sg(last != NULL ? last + 1 : link, name);
}

// Whether the unit at dir, a link into the device tree, sits on an ATA port
// (a folder ataN above its host).
static bool on_ata_port(const char *dir)
{
	char link[PATH_MAX];
	ssize_t n = readlink(dir, link, sizeof link - 1);

	if (n <= 0)
		return false;
	link[n] = '\0';
	for (const char *p = strstr(link, "/ata"); p != NULL; p = strstr(p + 1, "/ata"))
		if (p[4] >= '0' && p[4] <= '9')
			return true;
	return false;
}

static bool before(const struct sg_unit *a, const struct sg_unit *b)
{
	if (a->host != b->host)
		return a->host < b->host;
	if (a->channel != b->channel)
		return a->channel < b->channel;
	if (a->target != b->target)
		return a->target < b->target;
	return a->lun < b->lun;
}

struct found {
	const char *root;
	const char *base;
	struct sg_unit *units;
	int count, size;
};

// Adds the unit of one entry of the devices folder, kept in address order.
static bool add_unit(const char *name, void *context)
{
	struct found *f = (struct found *)context;
	char dir[PATH_MAX], path[PATH_MAX], sg[SG_NODE_MAX];
	struct sg_unit u;
	int i;

	if (!parse_address(name, &u))
		return true;
	if (snprintf(dir, sizeof dir, "%s/%s", f->base, name) >= (int)sizeof dir ||
	    snprintf(path, sizeof path, "%s/type", dir) >= (int)sizeof path)
		return true;
	u.type = read_type(path);
	sg_name(dir, sg);
	u.exact_residual = !on_ata_port(dir);
	if (u.type < 0 || sg[0] == '\0')
		return true;
	// A node path that does not fit is a unit that cannot be opened.
	if (snprintf(u.node, sizeof u.node, "%s/dev/%s", f->root, sg) >= (int)sizeof u.node)
		return true;
	u.adapter = -1;
	if (f->count == f->size) {
		int grown = f->size == 0 ? 8 : f->size * 2;
		struct sg_unit *more =
		    (struct sg_unit *)realloc(f->units, (size_t)grown * sizeof *more);
		if (more == NULL)
			return false;
		f->units = more;
		f->size = grown;
	}
	for (i = f->count; i > 0 && before(&u, &f->units[i - 1]); i--)
		f->units[i] = f->units[i - 1];
	f->units[i] = u;
	f->count++;
	return true;
}

// A CD/DVD unit at an address ASPI programs do not scan.
static bool remapped(const struct sg_unit *u)
{
	return u->type == DTYPE_CDROM && (u->target >= SG_TARGETS || u->lun != 0);
}

struct sg_unit *sg_discover(const char *root, int *count)
{
	char base[PATH_MAX];
	struct found f = {root, base, NULL, 0, 0};
	int adapter = -1, last = -1;

	*count = 0;
	if (snprintf(base, sizeof base, "%s/sys/bus/scsi/devices", root) >= (int)sizeof base)
		return NULL;
	each_entry(base, add_unit, &f);
	for (int i = 0; i < f.count; i++) {
		struct sg_unit *u = &f.units[i];

		if (remapped(u))
			continue;
		if (last < 0 || u->host != f.units[last].host ||
		    u->channel != f.units[last].channel)
			adapter++;
		u->adapter = adapter;
		u->aspi_target = u->target;
		u->aspi_lun = u->lun;
		last = i;
	}
	for (int i = 0; i < f.count; i++) {
		if (remapped(&f.units[i])) {
			f.units[i].adapter = ++adapter;
			f.units[i].aspi_target = 0;
			f.units[i].aspi_lun = 0;
		}
	}
	// By adapter; within one, the H:C:T:L order stays.
	for (int i = 1; i < f.count; i++) {
		struct sg_unit u = f.units[i];
		int j = i;

		for (; j > 0 && f.units[j - 1].adapter > u.adapter; j--)
			f.units[j] = f.units[j - 1];
		f.units[j] = u;
	}
	*count = f.count;
	if (f.count == 0) {
		free(f.units);
		return NULL;
	}
	return f.units;
}
