// Discovery of SCSI units through sysfs.

#include "units.h"

#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// The first line of a small sysfs file, without its line feed, or "".
static void read_line(const char *path, char *line, int size)
{
	FILE *f = fopen(path, "re");

	line[0] = '\0';
	if (f == NULL)
		return;
	if (fgets(line, size, f) == NULL)
		line[0] = '\0';
	fclose(f);
	line[strcspn(line, "\n ")] = '\0';
}

// The name of the entry of DIR that starts with "sg" into name, or "".
static void sg_child(const char *dir, char *name, int size)
{
	DIR *d = opendir(dir);
	struct dirent *e;

	name[0] = '\0';
	if (d == NULL)
		return;
	while ((e = readdir(d)) != NULL) {
		if (e->d_name[0] == 's' && e->d_name[1] == 'g' && e->d_name[2] != '\0') {
			if (snprintf(name, (size_t)size, "%s", e->d_name) >= size)
				name[0] = '\0';
			break;
		}
	}
	closedir(d);
}

// Older kernels name the node as a link "generic" instead.
static void sg_link(const char *path, char *name, int size)
{
	char link[PATH_MAX];
	ssize_t n = readlink(path, link, sizeof link - 1);
	const char *slash;

	name[0] = '\0';
	if (n <= 0)
		return;
	link[n] = '\0';
	slash = strrchr(link, '/');
	if (snprintf(name, (size_t)size, "%s", slash != NULL ? slash + 1 : link) >= size)
		name[0] = '\0';
}

static int by_address(const void *pa, const void *pb)
{
	const struct sg_unit *a = (const struct sg_unit *)pa, *b = (const struct sg_unit *)pb;

	if (a->host != b->host)
		return a->host < b->host ? -1 : 1;
	if (a->channel != b->channel)
		return a->channel < b->channel ? -1 : 1;
	if (a->target != b->target)
		return a->target < b->target ? -1 : 1;
	if (a->lun != b->lun)
		return a->lun < b->lun ? -1 : 1;
	return 0;
}

// BASE/ENTRY/NAME into path; false where it does not fit.
static bool path_of(char (&path)[PATH_MAX], const char *base, const char *entry, const char *name)
{
	return snprintf(path, sizeof path, "%s/%s/%s", base, entry, name) < (int)sizeof path;
}

// Reads one H:C:T:L entry into u; false where it is no unit with a node.
static bool read_unit(const char *root, const char *base, const char *entry, struct sg_unit *u)
{
	char path[PATH_MAX], type[32], sg[SG_NODE_MAX];
	char end;

	// Units are H:C:T:L; hosts and targets are listed here too.
	if (sscanf(entry, "%d:%d:%d:%d%c", &u->host, &u->channel, &u->target, &u->lun, &end) != 4)
		return false;
	if (u->host < 0 || u->channel < 0 || u->target < 0 || u->lun < 0)
		return false;
	if (!path_of(path, base, entry, "type"))
		return false;
	read_line(path, type, sizeof type);
	if (!path_of(path, base, entry, "scsi_generic"))
		return false;
	sg_child(path, sg, sizeof sg);
	if (sg[0] == '\0' && path_of(path, base, entry, "generic"))
		sg_link(path, sg, sizeof sg);
	if (type[0] == '\0' || sg[0] == '\0')
		return false;
	u->type = atoi(type) & 0x1f;
	u->adapter = -1;
	// A node path that does not fit is a unit that cannot be opened.
	if (snprintf(u->node, sizeof u->node, "%s/dev/%s", root, sg) >= (int)sizeof u->node)
		return false;
	return true;
}

struct sg_unit *sg_discover(const char *root, int *count)
{
	char base[PATH_MAX];
	struct sg_unit *units = NULL, u;
	int n = 0, size = 0, adapter = -1;
	DIR *d;
	struct dirent *e;

	*count = 0;
	if (snprintf(base, sizeof base, "%s/sys/bus/scsi/devices", root) >= (int)sizeof base)
		return NULL;
	d = opendir(base);
	if (d == NULL)
		return NULL;
	while ((e = readdir(d)) != NULL) {
		if (!read_unit(root, base, e->d_name, &u))
			continue;
		if (n == size) {
			int grown = size == 0 ? 16 : size * 2;
			struct sg_unit *more =
			    (struct sg_unit *)realloc(units, (size_t)grown * sizeof *units);
			if (more == NULL)
				break;
			units = more;
			size = grown;
		}
		units[n++] = u;
	}
	closedir(d);

	if (n > 0)
		qsort(units, (size_t)n, sizeof *units, by_address);
	for (int i = 0; i < n; i++) {
		if (i == 0 || units[i].host != units[i - 1].host ||
		    units[i].channel != units[i - 1].channel)
			adapter++;
		units[i].adapter = adapter;
	}
	*count = n;
	if (n == 0) {
		free(units);
		return NULL;
	}
	return units;
}
