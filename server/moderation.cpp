// Moderation in the server: the per-user session cap, what each session has posted, and mutes,
// which outlive the server in the file "mutes" of the home directory.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include "common/file-helpers.h"
#include "common/holders.h"
#include "common/user-name.h"
#include "common/wire-reader.h"
#include "server/server-internal.h"

namespace {

constexpr const char MUTES_FILE[] = "mutes";
constexpr const char MUTES_TEMPORARY[] = "mutes.new";
constexpr int MUTES_MAX = 1024;
// One line per mute: its end in seconds since the epoch, a space, the user name (which may hold
// spaces), a newline.
constexpr size_t MUTE_LINE_MAX = LOCAL_NAME_FIELD + 24;
constexpr size_t MUTES_FILE_MAX = MUTES_MAX * MUTE_LINE_MAX;
constexpr long SESSIONS_PER_USER_DEFAULT = 16;
constexpr const char SESSIONS_PER_USER_VARIABLE[] = "TOLVAR_SESSIONS_PER_USER";

struct Mute {
	char user[LOCAL_NAME_FIELD];
	int64_t until;	// seconds since the epoch
};

Mute mutes[MUTES_MAX];
int mute_count;
long sessions_per_user = SESSIONS_PER_USER_DEFAULT;	// 0: no cap

// Drops the mutes that have ended.
void expire_mutes(int64_t now)
{
	int kept = 0;
	for (int i = 0; i < mute_count; i++)
		if (mutes[i].until > now)
			mutes[kept++] = mutes[i];
	mute_count = kept;
}

Mute *find_mute(const char *user)
{
	for (int i = 0; i < mute_count; i++)
		if (strcmp(mutes[i].user, user) == 0)
			return &mutes[i];
	return nullptr;
}

// Writes every mute to a temporary file and renames it over the mutes file. 0, or -errno.
int save_mutes(void)
{
	UniqueFd fd(open(MUTES_TEMPORARY, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
	if (!fd.valid()) {
		int saved = errno;
		syslog_perror("%s", MUTES_TEMPORARY);
		return -saved;
	}
	for (int i = 0; i < mute_count; i++) {
		if (dprintf(fd.get(), "%lld %s\n", (long long)mutes[i].until, mutes[i].user) < 0) {
			int saved = errno;
			syslog_perror("%s: write", MUTES_TEMPORARY);
			unlink(MUTES_TEMPORARY);
			return -saved;
		}
	}
	if (fsync(fd.get()) < 0 || close(fd.release()) < 0 || rename(MUTES_TEMPORARY, MUTES_FILE) < 0) {
		int saved = errno;
		syslog_perror("%s", MUTES_FILE);
		unlink(MUTES_TEMPORARY);
		return -saved;
	}
	return 0;
}

// One line of the mutes file into a mute; -1 when it is not one.
int parse_mute_line(std::string_view line, Mute *out)
{
	WireReader r(line);
	std::string_view digits = r.get_while([](unsigned char c) { return c >= '0' && c <= '9'; });
	uint8_t space;
	if (digits.empty() || digits.size() > 18 || r.get_u8(&space) < 0 || space != ' ')
		return -1;
	std::string_view user = r.rest();
	if (user.empty() || user.size() >= LOCAL_NAME_FIELD || user.find('\0') != std::string_view::npos)
		return -1;
	local_copy_name(out->user, sizeof out->user, user, LOCAL_NAME_FIELD - 1);
	if (!is_valid_user_name(out->user))
		return -1;
	int64_t until = 0;
	for (char c : digits)
		until = until * 10 + (c - '0');
	out->until = until;
	return 0;
}

// Reads the mutes a previous server saved; those that have ended are dropped.
void load_mutes(void)
{
	mute_count = 0;
	UniqueFd fd(open(MUTES_FILE, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
	if (!fd.valid()) {
		if (errno != ENOENT)
			syslog_perror("%s", MUTES_FILE);
		return;
	}
	static char text[MUTES_FILE_MAX];
	int32_t n = read_fully(fd.get(), text, sizeof text);
	if (n < 0) {
		syslog_perror("%s: read", MUTES_FILE);
		return;
	}
	WireReader r(text, (size_t)n);
	int64_t now = (int64_t)time(nullptr);
	std::string_view line;
	for (int number = 1; mute_count < MUTES_MAX && r.get_until('\n', &line) == 0; number++) {
		Mute m;
		if (parse_mute_line(line, &m) < 0)
			syslog(LOG_WARNING, "%s: line %d malformed, ignored", MUTES_FILE, number);
		else if (m.until > now && find_mute(m.user) == nullptr)
			mutes[mute_count++] = m;
	}
	if (mute_count > 0)
		syslog(LOG_INFO, "%d mutes in force", mute_count);
}

void send_notice(int fd, unsigned char *packet, size_t size)
{
	MallocPtr<unsigned char> holder(packet);
	if (packet == nullptr) {
		syslog(LOG_ERR, "send_notice: out of memory");
		return;
	}
	client_send(fd, packet, size, SEND_NOTICE, fd);
}

}  // namespace

long server_setting(const char *name, long fallback, long max)
{
	const char *text = getenv(name);
	if (text == nullptr || text[0] == '\0')
		return fallback;
	char *end = nullptr;
	errno = 0;
	long v = strtol(text, &end, 10);
	if (errno != 0 || *end != '\0' || v < 0 || v > max) {
		syslog(LOG_WARNING, "%s='%s' is not a number from 0 to %ld, %ld used", name, text, max, fallback);
		return fallback;
	}
	return v;
}

void moderation_start(void)
{
	sessions_per_user = server_setting(SESSIONS_PER_USER_VARIABLE, SESSIONS_PER_USER_DEFAULT, SERVER_MAX_CLIENT_FD + 1);
	load_mutes();
	stats_start();
	flood_start();
}

bool session_cap_refuses(int fd, const char *user, const char *host)
{
	if (sessions_per_user == 0)
		return false;
	long sessions = 0;
	for (int i = 0; i <= server.highest_fd; i++)
		if (i != fd && client_has(i, CLIENT_CONNECTED) && strcmp(server.slots[i].user, user) == 0)
			sessions++;
	if (sessions < sessions_per_user)
		return false;
	syslog(LOG_WARNING, "user %s login from %s fd %d refused: %ld sessions already", user, host, fd, sessions);
	stats_add(COUNTER_LOGINS_REFUSED, 1);
	size_t size = 0;
	unsigned char *notice = notice_build_login_refused(LOGIN_REFUSED_TOO_MANY_SESSIONS, (uint32_t)sessions_per_user, &size);
	send_notice(fd, notice, size);
	return true;
}

void moderation_login(int fd)
{
	SessionActivity *a = &server.slots[fd].activity;
	a->since = time(nullptr);
	a->last_post = a->since;
	a->posts = 0;
	uint64_t sessions = 0;
	for (int i = 0; i <= server.highest_fd; i++)
		if (client_has(i, CLIENT_CONNECTED) && server.slots[i].user[0] != '\0')
			sessions++;
	stats_sessions_now(sessions);
}

bool moderation_admit_post(int fd)
{
	ClientSlot *slot = &server.slots[fd];
	time_t now = time(nullptr);
	if (mute_count > 0) {
		expire_mutes((int64_t)now);
		const Mute *m = find_mute(slot->user);
		if (m != nullptr) {
			stats_add(COUNTER_POSTS_MUTED, 1);
			size_t size = 0;
			unsigned char *notice = notice_build_muted((uint64_t)(m->until - (int64_t)now), &size);
			send_notice(fd, notice, size);
			return false;
		}
	}
	slot->activity.last_post = now;
	slot->activity.posts++;
	stats_add(COUNTER_POSTS, 1);
	return true;
}

int mute_user(const char *user, uint64_t seconds)
{
	int64_t now = (int64_t)time(nullptr);
	expire_mutes(now);
	Mute *m = find_mute(user);
	if (m == nullptr) {
		if (mute_count == MUTES_MAX)
			return -ENOSPC;
		m = &mutes[mute_count++];
		local_copy_name(m->user, sizeof m->user, user, LOCAL_NAME_FIELD - 1);
	}
	m->until = now + (int64_t)seconds;
	stats_add(COUNTER_MUTES, 1);
	return save_mutes();
}

int unmute_user(const char *user)
{
	expire_mutes((int64_t)time(nullptr));
	Mute *m = find_mute(user);
	if (m == nullptr)
		return 0;
	*m = mutes[--mute_count];
	int r = save_mutes();
	return r < 0 ? r : 1;
}

void send_mutes(int fd)
{
	expire_mutes((int64_t)time(nullptr));
	size_t size = 0;
	MallocPtr<unsigned char> packet(admin_build_mutes((uint32_t)mute_count, &size));
	if (packet == nullptr) {
		syslog(LOG_ERR, "send_mutes: out of memory");
		return;
	}
	for (int i = 0; i < mute_count; i++)
		admin_set_mute(packet.get(), (uint32_t)i, MuteEntry{mutes[i].user, mutes[i].until});
	client_send(fd, packet.get(), size, SEND_ADMIN_ANSWER, fd);
}
