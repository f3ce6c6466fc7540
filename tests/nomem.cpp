// Preloaded into a program under test: the calls named in TOOLBOX_NOMEM
// (separated by commas) fail as they do when memory has run out, so that the
// program's answer to that can be seen without starving the machine.
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

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
	return fails("malloc") ? nullptr : next<void *(size_t)>("malloc")(n);
}

extern "C" void *
realloc(void *p, size_t n)
{
	return fails("realloc") ? nullptr : next<void *(void *, size_t)>("realloc")(p, n);
}
