// Preloaded into a program under test: the calls named in TOOLBOX_NOMEM
// (separated by commas) fail as they do when memory has run out, so that the
// program's answer to that can be seen without starving the machine.
//
// For a sweep over every allocation, TOOLBOX_NOMEM_AT=N fails only the Nth
// call of malloc, realloc and calloc, and marks the moment with a call that
// strace can see: lseek(0, 0, SEEK_CUR), which no program makes. With
// TOOLBOX_NOMEM_COUNT=PATH, the number of those calls is written to PATH
// when the program exits. Neither reaches a child the program starts.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *__libc_calloc(size_t, size_t);

static unsigned long calls, at;
static char countfile[4096];

// True, with errno set, when the call name is to fail.
static bool
fails(const char *name)
{
	const char *v = getenv("TOOLBOX_NOMEM");
	size_t n = strlen(name);

	for (const char *p = v; p != nullptr && *p != '\0'; p += strcspn(p, ","), p += *p == ',')
		if (strncmp(p, name, n) == 0 && (p[n] == ',' || p[n] == '\0')) {
			errno = ENOMEM;
			return true;
		}
	return false;
}

// The countdown over the allocating calls.
static bool
counted()
{
	if (++calls != at)
		return false;
	lseek(0, 0, SEEK_CUR);
	errno = ENOMEM;
	return true;
}

[[gnu::constructor]] static void
setup()
{
	if (const char *v = getenv("TOOLBOX_NOMEM_AT"))
		at = strtoul(v, nullptr, 10);
	if (const char *v = getenv("TOOLBOX_NOMEM_COUNT"))
		snprintf(countfile, sizeof countfile, "%s", v);
	unsetenv("TOOLBOX_NOMEM_AT");
	unsetenv("TOOLBOX_NOMEM_COUNT");
	calls = 0;
}

[[gnu::destructor]] static void
report()
{
	if (countfile[0] == '\0')
		return;
	int fd = open(countfile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd >= 0) {
		char buf[32];
		int n = snprintf(buf, sizeof buf, "%lu\n", calls);
		if (write(fd, buf, n) != n)
			unlink(countfile);
		close(fd);
	}
}

template <typename F>
static F *
next(const char *name)
{
	return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
}

extern "C" char *
strdup(const char *s)
{
	return fails("strdup") ? nullptr : next<char *(const char *)>("strdup")(s);
}

extern "C" int
setenv(const char *name, const char *value, int overwrite)
{
	return fails("setenv") ? -1
	                       : next<int(const char *, const char *, int)>("setenv")(name, value,
	                                                                              overwrite);
}

extern "C" void *
malloc(size_t n)
{
	return counted() || fails("malloc") ? nullptr : __libc_malloc(n);
}

extern "C" void *
realloc(void *p, size_t n)
{
	return counted() || fails("realloc") ? nullptr : __libc_realloc(p, n);
}

extern "C" void *
calloc(size_t k, size_t n)
{
	return counted() || fails("calloc") ? nullptr : __libc_calloc(k, n);
}
