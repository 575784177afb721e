// RAII holders for the two things whose ownership matters most: descriptors and malloc'ed buffers.
#ifndef TOLVAR_COMMON_HOLDERS_H
#define TOLVAR_COMMON_HOLDERS_H

#include <cstdlib>
#include <memory>
#include <unistd.h>

struct FreeDeleter {
	void operator()(void *p) const { free(p); }
};

// A malloc'ed buffer, released with free.
template <typename T> using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// A descriptor, closed when the holder goes.
class UniqueFd {
public:
	UniqueFd() = default;
	explicit UniqueFd(int fd) : fd_(fd) {}
	UniqueFd(const UniqueFd &) = delete;
	UniqueFd &operator=(const UniqueFd &) = delete;
	UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
	UniqueFd &operator=(UniqueFd &&o) noexcept
	{
		reset(o.release());
		return *this;
	}
	~UniqueFd() { reset(); }

	int get() const { return fd_; }
	bool valid() const { return fd_ >= 0; }
	int release()
	{
		int fd = fd_;
		fd_ = -1;
		return fd;
	}
	void reset(int fd = -1)
	{
		if (fd_ >= 0)
			close(fd_);
		fd_ = fd;
	}

private:
	int fd_ = -1;
};

#endif
