// Discovery of SCSI units through sysfs.

#include "units.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

// The first line of a small sysfs file, or "" if it cannot be read.
static std::string read_line(const std::string &path)
{
	char line[256];
	std::string text;
	FILE *f = fopen(path.c_str(), "re");

	if (f == NULL)
		return text;
	if (fgets(line, sizeof line, f) != NULL)
		text = line;
	fclose(f);
	while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
		text.pop_back();
	return text;
}

// The name of the one entry of DIR that starts with "sg", or "".
static std::string sg_child(const std::string &dir)
{
	std::string name;
	DIR *d = opendir(dir.c_str());
	struct dirent *e;

	if (d == NULL)
		return name;
	while ((e = readdir(d)) != NULL) {
		if (e->d_name[0] == 's' && e->d_name[1] == 'g' && e->d_name[2] != '\0') {
			name = e->d_name;
			break;
		}
	}
	closedir(d);
	return name;
}

std::vector<sg_unit> sg_discover(const std::string &root)
{
	std::vector<sg_unit> units;
	std::string base = root + "/sys/bus/scsi/devices";
	DIR *d = opendir(base.c_str());
	struct dirent *e;

	if (d == NULL)
		return units;
	while ((e = readdir(d)) != NULL) {
		sg_unit u;
		char end;
		std::string dir, type, sg;

		// Units are H:C:T:L; hosts and targets are listed here too.
		if (sscanf(e->d_name, "%d:%d:%d:%d%c", &u.host, &u.channel, &u.target, &u.lun,
		           &end) != 4)
			continue;
		if (u.host < 0 || u.channel < 0 || u.target < 0 || u.lun < 0)
			continue;
		dir = base + "/" + e->d_name;
		type = read_line(dir + "/type");
		sg = sg_child(dir + "/scsi_generic");
		// Older kernels name the node as a link "generic" instead.
		if (sg.empty()) {
			char link[512];
			std::string path = dir + "/generic";
			ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
			if (n > 0) {
				link[n] = '\0';
				const char *slash = strrchr(link, '/');
				sg = slash != NULL ? slash + 1 : link;
			}
		}
		if (type.empty() || sg.empty())
			continue;
		u.type = atoi(type.c_str()) & 0x1f;
		u.node = root + "/dev/" + sg;
		u.adapter = -1;
		units.push_back(u);
	}
	closedir(d);

	std::sort(units.begin(), units.end(), [](const sg_unit &a, const sg_unit &b) {
		return std::tie(a.host, a.channel, a.target, a.lun) <
		       std::tie(b.host, b.channel, b.target, b.lun);
	});
	int adapter = -1;
	for (size_t i = 0; i < units.size(); i++) {
		if (i == 0 || units[i].host != units[i - 1].host ||
		    units[i].channel != units[i - 1].channel)
			adapter++;
		units[i].adapter = adapter;
	}
	return units;
}
