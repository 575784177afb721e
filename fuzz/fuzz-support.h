// Small helpers shared by the fuzz targets: an invariant check that aborts (libFuzzer then
// reports the input and the stack), memory files standing in for the standard streams, a
// private working directory, and the local packets in what a peer received.
#ifndef TOLVAR_FUZZ_FUZZ_SUPPORT_H
#define TOLVAR_FUZZ_FUZZ_SUPPORT_H

#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testing/local-packets.h"

// The message goes where the sanitizers report, which stays open when libFuzzer closes the
// target's standard error (-close_fd_mask).
#define FUZZ_CHECK(c)                                                         \
	do {                                                                  \
		if (!(c))                                                     \
			fuzz_invariant_failed(__FILE__, __LINE__, #c);        \
	} while (0)

[[noreturn]] inline void fuzz_invariant_failed(const char *file, int line, const char *what)
{
	char text[512];
	snprintf(text, sizeof text, "invariant failed at %s:%d: %s", file, line, what);
	__sanitizer_report_error_summary(text);
	abort();
}

// A memory file put in the place of descriptor target (0 stdin, 1 stdout). The file's own
// descriptor stays open so that it can be read back and emptied.
struct FuzzMemFile {
	int fd = -1;
};

inline void fuzz_memfile_install(FuzzMemFile *m, int target)
{
	if (m->fd >= 0)
		return;
	m->fd = memfd_create("fuzz", 0);
	FUZZ_CHECK(m->fd >= 0);
	FUZZ_CHECK(dup2(m->fd, target) == target);
}

// Empties the file and puts the offset of both descriptors (they share it) at its start.
inline void fuzz_memfile_clear(FuzzMemFile *m)
{
	FUZZ_CHECK(ftruncate(m->fd, 0) == 0);
	FUZZ_CHECK(lseek(m->fd, 0, SEEK_SET) == 0);
}

// Replaces the content with bytes and rewinds (for a standard input).
inline void fuzz_memfile_fill(FuzzMemFile *m, const void *data, size_t size)
{
	fuzz_memfile_clear(m);
	FUZZ_CHECK(write(m->fd, data, size) == (ssize_t)size);
	FUZZ_CHECK(lseek(m->fd, 0, SEEK_SET) == 0);
}

// Everything written so far (for a standard output).
inline std::string fuzz_memfile_take(FuzzMemFile *m)
{
	off_t end = lseek(m->fd, 0, SEEK_END);
	FUZZ_CHECK(end >= 0);
	std::string s((size_t)end, '\0');
	FUZZ_CHECK(pread(m->fd, &s[0], s.size(), 0) == (ssize_t)s.size());
	fuzz_memfile_clear(m);
	return s;
}

// Makes a fresh directory under $TMPDIR (or /tmp) the working directory of the process.
inline void fuzz_enter_private_directory(void)
{
	const char *tmp = getenv("TMPDIR");
	std::string dir = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/tolvar-fuzz-XXXXXX";
	FUZZ_CHECK(mkdtemp(&dir[0]) != nullptr);
	FUZZ_CHECK(chdir(dir.c_str()) == 0);
}

// The local packets in bytes that a peer received: every byte must belong to a whole packet
// whose length field the programs' reader accepts.
inline std::vector<std::string> fuzz_whole_local_packets(std::string bytes)
{
	std::vector<std::string> packets;
	FUZZ_CHECK(tt::split_local_packets(&bytes, &packets) && bytes.empty());
	return packets;
}

#endif
