// Preloaded into a program under test: the calls named in TOOLBOX_NOMEM
// (separated by commas) fail as they do when memory has run out, so that the
// program's answer to that can be seen without starving the machine.
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

static bool
fails(const char *name)
{
	const char *v = getenv("TOOLBOX_NOMEM");
	size_t n = strlen(name);

	for (const char *p = v; p != nullptr && *p != '\0'; p += strcspn(p, ","), p += *p == ',')
		if (strncmp(p, name, n) == 0 && (p[n] == ',' || p[n] == '\0'))
			return true;
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
	if (fails("strdup")) {
		errno = ENOMEM;
		return nullptr;
	}
	return next<char *(const char *)>("strdup")(s);
}

extern "C" int
setenv(const char *name, const char *value, int overwrite)
{
	if (fails("setenv")) {
		errno = ENOMEM;
		return -1;
	}
	return next<int(const char *, const char *, int)>("setenv")(name, value, overwrite);
}
