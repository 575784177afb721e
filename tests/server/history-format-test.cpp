// The history file's format: the example of docs/history-format.md byte for byte, and a
// damaged image read up to its last whole record.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "server/history-format.h"

namespace {

// The hex bytes at the start of the example's lines (up to the two spaces before a comment).
std::string doc_example()
{
	std::ifstream f(std::string(TOLVAR_SOURCE_DIR) + "/docs/history-format.md");
	EXPECT_TRUE(f.good());
	std::string line, bytes;
	bool in_example = false;
	while (std::getline(f, line)) {
		if (line.rfind("## ", 0) == 0)
			in_example = line == "## Example";
		if (!in_example || line.rfind("    ", 0) != 0)
			continue;
		std::string hex = line.substr(4, line.find("   ", 4) - 4);
		for (size_t i = 0; i + 1 < hex.size(); i += 3)
			bytes += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
	}
	return bytes;
}

void collect(const HistoryRecord &r, void *out)
{
	static_cast<std::vector<std::string> *>(out)->emplace_back(r.text);
}

}  // namespace

TEST(HistoryFormat, TheDocumentedExampleIsWhatTheServerWrites)
{
	HistoryRecord r = {1705570000, "alice", "GLOBAL", MESSAGE_KIND_PLAIN, "UTF-8", "hi"};
	std::string built(HISTORY_FILE_MAGIC, HISTORY_FILE_MAGIC_SIZE);
	std::string record(history_record_size(r), '\0');
	history_record_encode(r, reinterpret_cast<unsigned char *>(&record[0]));
	built += record;
	EXPECT_EQ(doc_example(), built);

	WireReader reader(record);
	HistoryRecord back;
	ASSERT_EQ(history_record_decode(&reader, &back), 0);
	EXPECT_TRUE(reader.empty());
	EXPECT_EQ(back.time, r.time);
	EXPECT_EQ(back.from_user, "alice");
	EXPECT_EQ(back.encoding, "UTF-8");
	EXPECT_EQ(back.text, "hi");
}

TEST(HistoryFormat, ReadingStopsAtTheFirstRecordThatIsNotWhole)
{
	std::string file(HISTORY_FILE_MAGIC, HISTORY_FILE_MAGIC_SIZE);
	for (const char *t : {"one", "two"}) {
		HistoryRecord r = {1, "bob", "*", MESSAGE_KIND_HTML, "", t};
		std::string rec(history_record_size(r), '\0');
		history_record_encode(r, reinterpret_cast<unsigned char *>(&rec[0]));
		file += rec;
	}
	size_t whole = file.size();
	std::vector<std::string> texts;
	auto parse = [&](const std::string &image) {
		texts.clear();
		return history_file_parse(reinterpret_cast<const unsigned char *>(image.data()), image.size(), collect,
					  &texts);
	};
	EXPECT_EQ(parse(file), whole);
	EXPECT_EQ(texts, (std::vector<std::string>{"one", "two"}));
	// Torn: the last record loses a byte.
	EXPECT_EQ(parse(file.substr(0, whole - 1)), whole - 34);
	EXPECT_EQ(texts, std::vector<std::string>{"one"});
	// A flipped bit in a text fails its checksum.
	std::string flipped = file;
	flipped[whole - 1] ^= 1;
	EXPECT_EQ(parse(flipped), whole - 34);
	// A length far past the end, and a private message, are no records.
	EXPECT_EQ(parse(file + std::string("\x7f\xff\xff\xff\0\0\0\0", 8)), whole);
	HistoryRecord private_one = {1, "bob", "alice", MESSAGE_KIND_PLAIN, "", "secret"};
	EXPECT_FALSE(history_record_valid(private_one));
	EXPECT_EQ(parse("TOLVARH2"), 0u);
}
