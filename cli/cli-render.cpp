#include "cli/cli-render.h"

#include <readline/readline.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cli/cli-escape.h"
#include "cli/cli-frontend.h"
#include "cli/cli-backlog.h"
#include "cli/cli-ignore.h"
#include "cli/cli-input.h"
#include "cli/cli-mention.h"
#include "cli/cli-online.h"
#include "cli/cli-output.h"
#include "cli/cli-state.h"
#include "common/duration.h"
#include "common/i18n.h"
#include "protocol/admin-protocol.h"
#include "protocol/local-protocol.h"

namespace {

constexpr const char *COLOUR_OWN = "\033[1;32m";
constexpr const char *COLOUR_OTHER = "\033[1;34m";
constexpr const char *COLOUR_RESET = "\033[0m";

LocalPacketReader server_reader = {nullptr, 0, 0};
// The status with which the session ends once the packet being shown is done; -1 while it
// goes on (set when the server has ended it).
int end_status = -1;

// Escaped copies of names and hosts from the server: they must not drive the terminal either.
struct EscapedName {
	char text[cli_escaped_size(LOCAL_NAME_FIELD)];
	explicit EscapedName(std::string_view name) { cli_escape_name(name, text, sizeof text); }
};
struct EscapedHost {
	char text[cli_escaped_size(LOCAL_HOST_FIELD)];
	explicit EscapedHost(std::string_view host) { cli_escape_name(host, text, sizeof text); }
};

void malformed(const LocalPacketView &p)
{
	syslog(LOG_WARNING, "Malformed packet of type %d (length %llu) dropped", (int)p.type,
	       (unsigned long long)p.length);
}

void show_user_not_found(const LocalPacketView &p)
{
	std::string_view name;
	if (local_parse_user_name(p, &name) < 0)
		return malformed(p);
	print_with_time(-1, PRINT_END_LINE | PRINT_REDRAW, _("User %s not found"), EscapedName(name).text);
}

void show_presence(const LocalPacketView &p, const char *state)
{
	std::string_view name;
	if (local_parse_user_name(p, &name) < 0)
		return malformed(p);
	cli_online_set(name, p.type == LOCAL_PACKET_USER_ONLINE);
	if (cli_is_ignored(name))
		return;
	print_with_time(-1, PRINT_END_LINE | PRINT_REDRAW, _("User %s is %s"), EscapedName(name).text, state);
}

void show_user_online(const LocalPacketView &p) { show_presence(p, _("online")); }
void show_user_offline(const LocalPacketView &p) { show_presence(p, _("offline")); }

void show_online_users(const LocalPacketView &p)
{
	OnlineUsersView list;
	if (local_parse_online_users(p, &list) < 0)
		return malformed(p);
	bool shown = cli_online_list_begins();
	for (uint32_t i = 0; i < list.count; i++) {
		UserInfoView e;
		if (local_online_users_entry(list, i, &e) < 0)
			return malformed(p);
		cli_online_set(e.user, true);
		if (shown)
			printf("%c %3d %-16s\t%s\n", e.id == list.your_id ? '*' : ' ', (int)e.id,
			       EscapedName(e.user).text, EscapedHost(e.host).text);
	}
}

bool is_own_name(std::string_view name)
{
	return cli_state.own_user_name != nullptr && name == cli_state.own_user_name;
}

// Whether from is someone else than the user, as the server names senders (at most 31 bytes).
bool is_other_sender(std::string_view from)
{
	return cli_state.own_user_name != nullptr &&
	       from != std::string_view(cli_state.own_user_name).substr(0, LOCAL_NAME_FIELD - 1);
}

void show_message(const LocalPacketView &p)
{
	MessageView m;
	if (local_parse_message(p, &m) < 0)
		return malformed(p);
	cli_show_message(m, -1, "");
}

// The administrator ended this session; the server closes the connection next.
void show_kicked(const LocalPacketView &p)
{
	std::string_view message;
	if (notice_parse_kicked(p, &message) < 0)
		return malformed(p);
	syslog(LOG_INFO, "Disconnected by the administrator");
	if (message.empty()) {
		print_with_time(-1, PRINT_END_LINE, "%s", _("Disconnected by the administrator"));
	} else {
		char text[cli_escaped_size(ADMIN_MESSAGE_MAX)];
		print_with_time(-1, PRINT_END_LINE, _("Disconnected by the administrator: %s"),
				cli_escape_name(message, text, sizeof text));
	}
	end_status = 0;
}

void show_muted(const LocalPacketView &p)
{
	uint64_t seconds;
	if (notice_parse_muted(p, &seconds) < 0)
		return malformed(p);
	char left[32];
	print_with_time(-1, PRINT_END_LINE | PRINT_REDRAW, _("You are muted for %s more; your message was not delivered"),
			format_duration(seconds, left, sizeof left));
}

void show_login_refused(const LocalPacketView &p)
{
	uint32_t reason, limit;
	if (notice_parse_login_refused(p, &reason, &limit) < 0)
		return malformed(p);
	syslog(LOG_WARNING, "Login refused: too many sessions (at most %u)", (unsigned int)limit);
	print_with_time(-1, PRINT_END_LINE, _("Too many sessions of user %s (at most %u); login refused"),
			cli_state.own_user_name != nullptr ? cli_state.own_user_name : "", (unsigned int)limit);
	end_status = 1;
}

struct PacketHandler {
	int32_t type;
	void (*show)(const LocalPacketView &p);
};

const PacketHandler packet_handlers[] = {
	{LOCAL_PACKET_USER_NOT_FOUND, show_user_not_found},
	{LOCAL_PACKET_RECEIVE_MESSAGE, show_message},
	{LOCAL_PACKET_ONLINE_USERS, show_online_users},
	{LOCAL_PACKET_USER_ONLINE, show_user_online},
	{LOCAL_PACKET_USER_OFFLINE, show_user_offline},
	{LOCAL_PACKET_HISTORY_MESSAGE, cli_show_backlog_message},
	{LOCAL_PACKET_HISTORY_END, cli_show_backlog_end},
	{LOCAL_PACKET_KICKED, show_kicked},
	{LOCAL_PACKET_MUTED, show_muted},
	{LOCAL_PACKET_LOGIN_REFUSED, show_login_refused},
	{0, nullptr},
};

struct FatalResult {
	int result;
	const char *message;	// nullptr: the system error is printed instead
	int status;
};

const FatalResult fatal_results[] = {
	{GET_PACKET_EOF, N_("Server closed connection"), 0},
	{GET_PACKET_READ_ERROR, nullptr, 1},
	{GET_PACKET_SHORT_READ, N_("Packet short read"), 1},
	{GET_PACKET_TOO_LARGE, N_("Packet too large"), 1},
	{GET_PACKET_OUT_OF_MEMORY, N_("Out of memory"), 1},
	{0, nullptr, -1},
};

}  // namespace

void cli_show_message(const MessageView &m, time_t when, const char *date)
{
	if (cli_is_ignored(m.from_user))
		return;
	bool colour = cli_colour_wanted();
	const char *from_colour = colour ? (is_own_name(m.from_user) ? COLOUR_OWN : COLOUR_OTHER) : "";
	const char *to_colour = colour ? (is_own_name(m.to_user) ? COLOUR_OWN : COLOUR_OTHER) : "";
	const char *reset = colour ? COLOUR_RESET : "";

	bool use_elinks = false;
	const char *placeholder = nullptr;
	if (m.kind == MESSAGE_KIND_HTML && cli_state.showhtml == 0)
		placeholder = "[HTML]";
	else if (m.kind == MESSAGE_KIND_HTML && (cli_state.showhtml == 1 || cli_state.showhtml == 2))
		use_elinks = true;
	else if (m.kind == MESSAGE_KIND_IMAGE)
		placeholder = _("[Image]");

	char *body = nullptr;
	if (placeholder == nullptr && !use_elinks) {
		body = static_cast<char *>(malloc(m.text.size() + 1));
		if (body == nullptr) {
			print_with_time(-1, PRINT_END_LINE | PRINT_REDRAW, "%s", _("Out of memory"));
			return;
		}
		memcpy(body, m.text.data(), m.text.size());
		body[m.text.size()] = '\0';
	}

	EscapedName from(m.from_user);
	if (m.to_user == "GLOBAL" || m.to_user == "*")
		print_with_time(when, 0, "%s%s%s%s: ", date, from_colour, from.text, reset);
	else
		print_with_time(when, 0, "%s%s%s%s to %s%s%s: ", date, from_colour, from.text, reset, to_colour,
				EscapedName(m.to_user).text, reset);

	if (use_elinks) {
		cli_render_html(m.text.data(), m.text.size(), cli_state.showhtml == 1);
		return;
	}
	// Mentions of the user in others' plain text: highlighted where colour is wanted, and
	// nowhere else, so that without colour the line is the same as any other.
	size_t marks[2 * MENTION_SPANS_MAX];
	size_t mark_count = 0;
	if (body != nullptr && colour && m.kind == MESSAGE_KIND_PLAIN && is_other_sender(m.from_user))
		mark_count = cli_find_mentions(body, m.text.size(), cli_state.own_user_name, marks, 2 * MENTION_SPANS_MAX);
	if (placeholder != nullptr)
		fputs(placeholder, stdout);
	else
		cli_write_message_text(stdout, body, m.text.size() + 1, cli_colour_wanted, marks, mark_count);
	putchar('\n');
	if (cli_state.use_readline) {
		rl_on_new_line();
		rl_redisplay();
	}
	free(body);
}

void cli_show_packet(const unsigned char *packet)
{
	LocalPacketView p;
	if (local_packet_open(packet, &p) < 0) {
		syslog(LOG_WARNING, "Malformed packet dropped");
		return;
	}
	for (const PacketHandler *h = packet_handlers; h->show != nullptr; h++) {
		if (h->type == p.type) {
			h->show(p);
			return;
		}
	}
	print_with_time(-1, PRINT_END_LINE | PRINT_REDRAW, _("Unknown packet type %d"), (int)p.type);
}

void cli_do_local_packet(int server_fd)
{
	GetPacketOut out = {nullptr, 0};
	int r = get_local_packet(server_fd, &out, &server_reader);
	if (r == GET_PACKET_INCOMPLETE)
		return;
	if (r == GET_PACKET_OK) {
		cli_show_packet(out.packet);
		free(out.packet);
		if (end_status >= 0)
			cli_finish(end_status);
		// A ^C that came while the packet was shown (elinks may take a while) found no
		// wait to interrupt.
		cli_do_after_signal();
		return;
	}
	for (const FatalResult *f = fatal_results; f->status >= 0; f++) {
		if (f->result != r)
			continue;
		if (f->message != nullptr)
			print_with_time(-1, PRINT_END_LINE, "%s", _(f->message));
		else
			perror("read");
		cli_finish(f->status);
	}
	print_with_time(-1, PRINT_END_LINE, "%s", _("Internal error"));
	cli_finish(CLI_FINISH_ABORT);
}
