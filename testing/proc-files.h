// What files and /proc tell the tests and the benchmarks: a file's content, a process's memory
// (smaps_rollup, smaps), its open descriptors and the system call it sleeps in.
#ifndef TOLVAR_TESTING_PROC_FILES_H
#define TOLVAR_TESTING_PROC_FILES_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace tt {

// The whole content of path into *out. False (*out empty) when it cannot be opened.
bool read_file(const std::string &path, std::string *out);

struct MemoryFigures {
	long rss_kib = 0;
	long pss_kib = 0;
	long private_clean_kib = 0;
	long private_dirty_kib = 0;
};
// From /proc/PID/smaps_rollup. False when it cannot be read.
bool read_memory(pid_t pid, MemoryFigures *out);
// Private memory (clean and dirty, KiB) per mapping from /proc/PID/smaps, largest first:
// the mapped file's path, a name such as [heap] or [stack], or "[anonymous]".
std::vector<std::pair<std::string, long>> private_by_mapping(pid_t pid);

// The numbers of the open descriptors of pid, in ascending order. False when they cannot be read.
bool list_fds(pid_t pid, std::vector<int> *out);
// The open descriptors of pid, or -1.
int count_fds(pid_t pid);
// The number of the system call pid sleeps in (from /proc/PID/syscall) into *nr, -1 while it
// runs. False when the file cannot be read (the process is gone).
bool read_syscall(pid_t pid, long *nr);

}  // namespace tt

#endif
