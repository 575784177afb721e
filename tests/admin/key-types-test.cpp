// Key families, Base64 and the key header, tested directly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "admin/key-types.h"

namespace {

int kind(const std::string &w)
{
	return get_key_type(w.data(), w.size());
}

std::string decode(const std::string &in, size_t capacity = 64, ssize_t *result = nullptr)
{
	unsigned char out[64];
	memset(out, 0xee, sizeof out);
	ssize_t n = base64_decode(in.data(), in.size(), out, capacity);
	if (result != nullptr)
		*result = n;
	return n < 0 ? std::string("<invalid>") : std::string(reinterpret_cast<char *>(out), (size_t)n);
}

std::string encode(const std::string &data, int flags, size_t size = 128, int *result = nullptr)
{
	char out[128];
	int r = base64_encode(reinterpret_cast<const unsigned char *>(data.data()), data.size(), out, size, flags);
	if (result != nullptr)
		*result = r;
	return r < 0 ? std::string("<too small>") : std::string(out);
}

}  // namespace

TEST(KeyType, WordsAndTypeNames)
{
	EXPECT_EQ(kind("RSA"), KEY_KIND_RSA);
	EXPECT_EQ(kind("rsa"), KEY_KIND_RSA);
	EXPECT_EQ(kind("dSa"), KEY_KIND_DSA);
	EXPECT_EQ(kind("Ecdsa"), KEY_KIND_ECDSA);
	EXPECT_EQ(kind("ed25519"), KEY_KIND_ED25519);
	EXPECT_EQ(kind("ED25519"), KEY_KIND_ED25519);
	EXPECT_EQ(kind("ssh-rsa"), KEY_KIND_RSA);
	EXPECT_EQ(kind("ssh-dss"), KEY_KIND_DSA);
	EXPECT_EQ(kind("ssh-ed25519"), KEY_KIND_ED25519);
	EXPECT_EQ(kind("ecdsa-sha2-nistp256"), KEY_KIND_ECDSA);
	EXPECT_EQ(kind("ecdsa-sha2-nistp384"), KEY_KIND_ECDSA);
	EXPECT_EQ(kind("ecdsa-sha2-nistp521"), KEY_KIND_ECDSA);

	EXPECT_EQ(kind("ecdsa-sha2-nistp224"), -1);
	EXPECT_EQ(kind("SSH-RSA"), -1);
	EXPECT_EQ(kind("ssh-ed25519 "), -1);
	EXPECT_EQ(kind("ECDSA-SHA2-NISTP256"), -1);
	EXPECT_EQ(kind(""), -1);
	EXPECT_EQ(kind("RS"), -1);
	EXPECT_EQ(get_key_type("ssh-ed25519", 7), -1);	// its first seven bytes
	EXPECT_EQ(get_key_type("RSAXYZ", 3), KEY_KIND_RSA);	// exactly the bytes counted
	EXPECT_STREQ(key_kind_names[KEY_KIND_ED25519], "ED25519");
	EXPECT_STREQ(key_kind_names[KEY_KIND_ECDSA], "ECDSA");
}

TEST(Base64, Decodes)
{
	EXPECT_EQ(decode(""), "");
	EXPECT_EQ(decode("QUJD"), "ABC");
	EXPECT_EQ(decode("QUI="), "AB");
	EXPECT_EQ(decode("QQ=="), "A");
	EXPECT_EQ(decode("QQ"), "A");
	EXPECT_EQ(decode("Q"), "");
	EXPECT_EQ(decode("QU\nJD"), "ABC");
	EXPECT_EQ(decode("QQ==!!!"), "A");	// nothing after "=" is looked at
	EXPECT_EQ(decode("QUJDRA"), "ABCD");
	EXPECT_EQ(decode("YWJj+/+/"), std::string("abc\xfb\xff\xbf"));
}

TEST(Base64, RejectsBytesOutsideTheAlphabet)
{
	for (const char *bad : {"QU JD", "QU\rJD", "QU\tJD", "QU-D", "QU_D"})
		EXPECT_EQ(decode(bad), "<invalid>") << bad;
	ssize_t n;
	decode(std::string("QU\0JD", 5), 64, &n);
	EXPECT_EQ(n, -1);
	decode("QUJD\x80", 64, &n);
	EXPECT_EQ(n, -1);
}

TEST(Base64, StopsWhenTheBufferIsFull)
{
	ssize_t n;
	EXPECT_EQ(decode("QUJD", 2, &n), "AB");
	EXPECT_EQ(n, 2);
	// A full buffer ends decoding before the invalid byte further on is seen.
	EXPECT_EQ(decode("QUJDQUJD!", 4, &n), "ABCA");
	EXPECT_EQ(decode("QUI=", 1, &n), "A");
	EXPECT_EQ(decode("QUJD", 0, &n), "");
}

TEST(Base64, Encodes)
{
	EXPECT_EQ(encode("abc", 0), "YWJj");
	EXPECT_EQ(encode("ab", 0), "YWI");
	EXPECT_EQ(encode("ab", BASE64_PAD), "YWI=");
	EXPECT_EQ(encode("a", 0), "YQ");
	EXPECT_EQ(encode("a", BASE64_PAD), "YQ==");
	EXPECT_EQ(encode("", BASE64_PAD), "");
	EXPECT_EQ(encode(std::string("\xfb\xff\xbf", 3), 0), "+/+/");
	// Round trip over every byte value.
	std::string all;
	for (int i = 0; i < 256; i++)
		all += (char)i;
	char text[400];
	ASSERT_EQ(base64_encode(reinterpret_cast<const unsigned char *>(all.data()), all.size(), text, sizeof text,
				BASE64_PAD), 0);
	unsigned char back[256];
	ASSERT_EQ(base64_decode(text, strlen(text), back, sizeof back), 256);
	EXPECT_EQ(memcmp(back, all.data(), 256), 0);
}

TEST(Base64, EncoderChecksItsBuffer)
{
	std::string digest(32, '\x5a');
	int r;
	EXPECT_EQ(encode(digest, 0, 44, &r).size(), 43u);
	EXPECT_EQ(r, 0);
	encode(digest, 0, 43, &r);
	EXPECT_EQ(r, -1);
	encode("", 0, 0, &r);
	EXPECT_EQ(r, -1);
	encode("", 0, 1, &r);
	EXPECT_EQ(r, 0);
	encode("abc", BASE64_PAD, 4, &r);	// no room for the NUL
	EXPECT_EQ(r, -1);
}

TEST(KeyHeader, ReadsTheTypeName)
{
	unsigned char header[KEY_HEADER_SIZE + 1];
	size_t token = 0, type = 0;
	ASSERT_EQ(decode_key_header("AAAAC3NzaC1lZDI1NTE5 comment here", &token, &type, header), 0);
	EXPECT_EQ(token, 20u);
	EXPECT_EQ(type, 11u);
	EXPECT_EQ(std::string(reinterpret_cast<char *>(header + 4), type), "ssh-ed25519");
}

TEST(KeyHeader, ReportsBadText)
{
	unsigned char header[KEY_HEADER_SIZE + 1];
	size_t token, type = 0;
	testing::internal::CaptureStderr();
	EXPECT_EQ(decode_key_header("", &token, &type, header), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid key: too short\n");

	testing::internal::CaptureStderr();
	EXPECT_EQ(decode_key_header("AAAA", &token, &type, header), -1);	// three bytes
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid key: too short\n");

	testing::internal::CaptureStderr();
	EXPECT_EQ(decode_key_header("AAAAZA==", &token, &type, header), -1);	// length 100
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid key: key type string length 100 too long\n");
	EXPECT_EQ(type, 100u);

	testing::internal::CaptureStderr();
	EXPECT_EQ(decode_key_header("AAAA\rC3NzaC1lZDI1NTE5", &token, &type, header), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid key: invalid BASE64 encoding\n");

	// Only the first 32 bytes of key data are decoded: a bad byte beyond them is not seen, and a
	// type name longer than 28 bytes cannot fit.
	std::string long_key = "AAAAC3NzaC1lZDI1NTE5AAAAIBBBBBBBBBBBBBBBBBBBBBBB!!!!";
	testing::internal::CaptureStderr();
	EXPECT_EQ(decode_key_header(long_key.c_str(), &token, &type, header), 0);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	testing::internal::CaptureStderr();
	EXPECT_EQ(decode_key_header("AAAAHWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFh", &token, &type, header), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid key: key type string length 29 too long\n");
}
