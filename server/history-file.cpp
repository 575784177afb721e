// The history file: loaded at start-up, appended to as messages are kept, and rewritten through
// a temporary file and a rename once it holds about twice what the store keeps.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/file-helpers.h"
#include "common/holders.h"
#include "server/history.h"
#include "server/server-internal.h"

namespace {

// Buffer of a rewrite: records are gathered and written in pieces of about this size.
constexpr size_t REWRITE_CHUNK = (size_t)64 * 1024;
// What a record may take besides its text: header, fixed fields, longest names.
constexpr size_t RECORD_OVERHEAD_MAX = HISTORY_RECORD_HEADER_SIZE + HISTORY_BODY_FIXED_SIZE + 31 + 6 + LOCAL_ENCODING_MAX;

struct HistoryFile {
	int fd;			// open for appending at size; -1: none
	uint64_t size;
	uint32_t written;	// records written since the last rewrite, and stale ones found at loading
	bool rewrite_failed;	// then only the count of records brings the next try
};

HistoryFile file = {-1, 0, 0, false};

// The size past which the file is rewritten: twice what the store can hold.
uint64_t rewrite_threshold(void)
{
	return 2 * ((uint64_t)history_store_max_bytes() + (uint64_t)history_store_max_messages() * RECORD_OVERHEAD_MAX) +
	       HISTORY_FILE_MAGIC_SIZE;
}

// A descriptor above standard input, output and error, which the server closes or keeps for
// other uses; -1 with errno when it cannot be moved.
int above_stdio(int fd)
{
	if (fd < 0 || fd > STDERR_FILENO)
		return fd;
	int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
	int saved = errno;
	close(fd);
	errno = saved;
	return high;
}

void keep_loaded(const HistoryRecord &r, void *records)
{
	(void)history_store_add(r);
	++*static_cast<uint32_t *>(records);
}

// Writes the magic and every record of the store to the temporary file and renames it over
// the file, which is then the one appended to. On failure the old file stays.
int rewrite(void)
{
	file.written = 0;
	file.rewrite_failed = true;
	int fd = above_stdio(open(HISTORY_TEMPORARY_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
	if (fd < 0) {
		syslog_perror("history: %s", HISTORY_TEMPORARY_FILE);
		return -1;
	}
	UniqueFd holder(fd);
	MallocPtr<unsigned char> chunk(static_cast<unsigned char *>(malloc(REWRITE_CHUNK)));
	if (chunk == nullptr) {
		syslog(LOG_ERR, "history: out of memory");
		unlink(HISTORY_TEMPORARY_FILE);
		return -1;
	}
	memcpy(chunk.get(), HISTORY_FILE_MAGIC, HISTORY_FILE_MAGIC_SIZE);
	size_t used = HISTORY_FILE_MAGIC_SIZE;
	uint64_t total = used;
	bool failed = false;
	uint32_t count = history_store_count();
	for (uint32_t i = 0; i < count && !failed; i++) {
		HistoryRecord r = history_store_at(i);
		size_t n = history_record_size(r);
		if (n > REWRITE_CHUNK - used) {
			failed = write_fully(fd, chunk.get(), used) < 0;
			used = 0;
		}
		if (failed)
			break;
		if (n > REWRITE_CHUNK) {
			MallocPtr<unsigned char> big(static_cast<unsigned char *>(malloc(n)));
			if (big == nullptr) {
				errno = ENOMEM;
				failed = true;
				break;
			}
			history_record_encode(r, big.get());
			failed = write_fully(fd, big.get(), n) < 0;
		} else {
			history_record_encode(r, chunk.get() + used);
			used += n;
		}
		total += n;
	}
	if (!failed && used > 0)
		failed = write_fully(fd, chunk.get(), used) < 0;
	// Not synced: a crash of the server leaves the old file or the new one whole; a crash of
	// the machine may leave a torn one, which the loader cuts back to its whole records.
	if (failed || rename(HISTORY_TEMPORARY_FILE, HISTORY_FILE) < 0) {
		syslog_perror("history: %s", HISTORY_TEMPORARY_FILE);
		unlink(HISTORY_TEMPORARY_FILE);
		return -1;
	}
	if (file.fd >= 0)
		close(file.fd);
	file.fd = holder.release();
	file.size = total;
	file.rewrite_failed = false;
	return 0;
}

}  // namespace

void history_file_load(void)
{
	int fd = above_stdio(open(HISTORY_FILE, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
	if (fd < 0) {
		syslog_perror("history: %s", HISTORY_FILE);
		return;
	}
	UniqueFd holder(fd);
	struct stat st;
	if (fstat(fd, &st) < 0) {
		syslog_perror("history: %s", HISTORY_FILE);
		return;
	}
	if ((st.st_mode & 07777) != 0600 && fchmod(fd, 0600) < 0)
		syslog_perror("history: %s: chmod", HISTORY_FILE);
	size_t size = (size_t)st.st_size;
	size_t good = 0;
	uint32_t records = 0;
	if (size > 0) {
		void *map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
		if (map == MAP_FAILED) {
			syslog_perror("history: %s: mmap", HISTORY_FILE);
			return;
		}
		good = history_file_parse(static_cast<const unsigned char *>(map), size, keep_loaded, &records);
		munmap(map, size);
	}
	file.written = records - history_store_count();
	if (size > 0 && good < size) {
		if (good == 0)
			syslog(LOG_WARNING, "history: %s is not a history file (%zu bytes), starting anew", HISTORY_FILE,
			       size);
		else
			syslog(LOG_WARNING, "history: %s: broken record at offset %zu, %zu bytes dropped", HISTORY_FILE,
			       good, size - good);
	}
	syslog(LOG_INFO, "history: %u messages loaded", (unsigned int)history_store_count());
	if (size == 0 || good < size || size > rewrite_threshold()) {
		(void)rewrite();
		return;
	}
	if (lseek(fd, 0, SEEK_END) < 0) {
		syslog_perror("history: %s", HISTORY_FILE);
		return;
	}
	file.fd = holder.release();
	file.size = size;
}

void history_file_append(const HistoryRecord &r)
{
	size_t n = history_record_size(r);
	file.written++;
	bool due = file.written > history_store_max_messages() ||
		   (!file.rewrite_failed && file.size + n > rewrite_threshold());
	if (due && rewrite() == 0)
		return;	// the new file holds the record
	if (file.fd < 0)
		return;	// until the next rewrite succeeds
	MallocPtr<unsigned char> bytes(static_cast<unsigned char *>(malloc(n)));
	if (bytes == nullptr) {
		syslog(LOG_ERR, "history: out of memory");
		return;
	}
	history_record_encode(r, bytes.get());
	if (write_fully(file.fd, bytes.get(), n) < 0) {
		syslog_perror("history: %s: write", HISTORY_FILE);
		// No torn record stays in front of the next one.
		if (ftruncate(file.fd, (off_t)file.size) < 0 || lseek(file.fd, 0, SEEK_END) < 0) {
			syslog_perror("history: %s: truncate", HISTORY_FILE);
			close(file.fd);
			file.fd = -1;
		}
		return;
	}
	file.size += n;
}
