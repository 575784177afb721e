// Captures what the code under test writes to standard output or standard error (the
// descriptor itself, so stdio and raw writes are both seen).
#ifndef TOLVAR_TESTS_CLI_CAPTURE_H
#define TOLVAR_TESTS_CLI_CAPTURE_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class Capture {
public:
	explicit Capture(int fd) : fd_(fd)
	{
		fflush(stdout);
		fflush(stderr);
		char tmpl[] = "/tmp/tolvar-capture-XXXXXX";
		file_ = mkstemp(tmpl);
		unlink(tmpl);
		saved_ = dup(fd_);
		dup2(file_, fd_);
	}
	~Capture() { restore(); }
	// Stops capturing and returns everything written.
	std::string text()
	{
		restore();
		std::string s;
		lseek(file_, 0, SEEK_SET);
		char buf[4096];
		ssize_t n;
		while ((n = read(file_, buf, sizeof buf)) > 0)
			s.append(buf, (size_t)n);
		return s;
	}

private:
	void restore()
	{
		if (saved_ < 0)
			return;
		fflush(stdout);
		fflush(stderr);
		dup2(saved_, fd_);
		close(saved_);
		saved_ = -1;
	}
	int fd_;
	int file_ = -1;
	int saved_ = -1;
};

#endif
