#include "testing/proc-files.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace tt {

namespace {

std::string proc_path(pid_t pid, const char *name) { return "/proc/" + std::to_string(pid) + "/" + name; }

// A "Key:   123 kB" line of smaps or smaps_rollup. False for any other line (a mapping's
// first line has a space before its first colon).
bool smaps_field(const std::string &line, std::string *key, long *kib)
{
	size_t colon = line.find(':');
	if (colon == std::string::npos || line.find(' ') < colon)
		return false;
	*key = line.substr(0, colon);
	*kib = atol(line.c_str() + colon + 1);
	return true;
}

}  // namespace

bool read_file(const std::string &path, std::string *out)
{
	out->clear();
	FILE *f = fopen(path.c_str(), "rb");
	if (f == nullptr)
		return false;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, f)) > 0)
		out->append(buf, n);
	fclose(f);
	return true;
}

bool read_memory(pid_t pid, MemoryFigures *out)
{
	*out = MemoryFigures();
	std::string text;
	if (!read_file(proc_path(pid, "smaps_rollup"), &text))
		return false;
	std::istringstream in(text);
	bool rss = false, dirty = false;
	std::string key;
	long kib;
	for (std::string line; std::getline(in, line);) {
		if (!smaps_field(line, &key, &kib))
			continue;
		if (key == "Rss") {
			out->rss_kib = kib;
			rss = true;
		} else if (key == "Pss") {
			out->pss_kib = kib;
		} else if (key == "Private_Clean") {
			out->private_clean_kib = kib;
		} else if (key == "Private_Dirty") {
			out->private_dirty_kib = kib;
			dirty = true;
		}
	}
	return rss && dirty;
}

std::vector<std::pair<std::string, long>> private_by_mapping(pid_t pid)
{
	std::string text;
	read_file(proc_path(pid, "smaps"), &text);
	std::istringstream in(text);
	std::vector<std::pair<std::string, long>> sums;
	std::string current = "[anonymous]";
	std::string key;
	long kib;
	for (std::string line; std::getline(in, line);) {
		if (!smaps_field(line, &key, &kib)) {
			// A mapping's first line: range perms offset dev inode [path]
			std::istringstream words(line);
			std::string range, perms, offset, dev, inode, path;
			words >> range >> perms >> offset >> dev >> inode;
			std::getline(words, path);
			size_t start = path.find_first_not_of(' ');
			current = start == std::string::npos ? "[anonymous]" : path.substr(start);
			continue;
		}
		if (key != "Private_Clean" && key != "Private_Dirty")
			continue;
		auto it = std::find_if(sums.begin(), sums.end(), [&](const auto &e) { return e.first == current; });
		if (it == sums.end())
			sums.emplace_back(current, kib);
		else
			it->second += kib;
	}
	std::sort(sums.begin(), sums.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
	return sums;
}

bool list_fds(pid_t pid, std::vector<int> *out)
{
	out->clear();
	DIR *d = opendir(proc_path(pid, "fd").c_str());
	if (d == nullptr)
		return false;
	while (struct dirent *e = readdir(d))
		if (e->d_name[0] != '.')
			out->push_back(atoi(e->d_name));
	closedir(d);
	std::sort(out->begin(), out->end());
	return true;
}

int count_fds(pid_t pid)
{
	std::vector<int> fds;
	return list_fds(pid, &fds) ? (int)fds.size() : -1;
}

bool read_syscall(pid_t pid, long *nr)
{
	FILE *f = fopen(proc_path(pid, "syscall").c_str(), "r");
	if (f == nullptr)
		return false;
	if (fscanf(f, "%ld", nr) != 1)
		*nr = -1;
	fclose(f);
	return true;
}

}  // namespace tt
