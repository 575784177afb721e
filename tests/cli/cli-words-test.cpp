// Cutting command lines into words.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli-words.h"

static std::vector<std::string> split(const std::string &line)
{
	char *copy = strdup(line.c_str());
	char **argv = static_cast<char **>(malloc(sizeof(char *)));
	argv[0] = nullptr;
	int argc = 0;
	EXPECT_EQ(cli_split_words(copy, &argv, &argc), 0);
	std::vector<std::string> words;
	for (int i = 0; i < argc; i++)
		words.push_back(argv[i]);
	EXPECT_EQ(argv[argc], nullptr);
	free(argv);
	free(copy);
	return words;
}

using W = std::vector<std::string>;

TEST(CliWords, SeparatorsAndRuns)
{
	EXPECT_EQ(split(""), W{});
	EXPECT_EQ(split(" \t\r\n"), W{});
	EXPECT_EQ(split("who"), W{"who"});
	EXPECT_EQ(split(" who"), W{"who"});
	EXPECT_EQ(split("msg bob hello    world"), (W{"msg", "bob", "hello", "world"}));
	EXPECT_EQ(split("a\tb\rc\nd "), (W{"a", "b", "c", "d"}));
}

TEST(CliWords, Quoting)
{
	EXPECT_EQ(split("msg bob 'hello    world'"), (W{"msg", "bob", "hello    world"}));
	EXPECT_EQ(split("msg bob \"\""), (W{"msg", "bob", ""}));
	EXPECT_EQ(split("\"ab\"cd"), (W{"ab", "cd"}));
	EXPECT_EQ(split("'a\"b' \"c'd\""), (W{"a\"b", "c'd"}));
	// A quote inside a word is an ordinary character.
	EXPECT_EQ(split("it's ab\"cd"), (W{"it's", "ab\"cd"}));
	// A missing closing quote takes the rest, separators included.
	EXPECT_EQ(split("msg bob 'rest of  it  "), (W{"msg", "bob", "rest of  it  "}));
	// No escape character.
	EXPECT_EQ(split("a\\ b \"c\\\"d\""), (W{"a\\", "b", "c\\", "d\""}));
}

TEST(CliWords, ManyWordsGrowTheVector)
{
	std::string line;
	for (int i = 0; i < 500; i++)
		line += "w" + std::to_string(i) + " ";
	W words = split(line);
	ASSERT_EQ(words.size(), 500u);
	EXPECT_EQ(words[499], "w499");
}
