// Runs a program's main with arguments taken from standard input, so that a
// fuzzer that only writes input files can reach argument parsing. The input
// holds the arguments after the fixed ones, separated by NUL bytes.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int tool_main(int argc, char **argv);

int
main(int argc, char **argv)
{
	static char buf[1 << 16];
	size_t n = 0;
	ssize_t r;

	while (n < sizeof buf - 1 && (r = read(0, buf + n, sizeof buf - 1 - n)) > 0)
		n += r;
	buf[n] = '\0';
	// Fixed arguments first, then one per NUL-separated piece of the input.
	char **av = static_cast<char **>(calloc(argc + n + 2, sizeof *av));
	int ac = 0;
	for (int i = 0; i < argc; i++)
		av[ac++] = argv[i];
	for (char *p = buf; p <= buf + n; p += strlen(p) + 1)
		av[ac++] = p;
	av[ac] = nullptr;
	int st = tool_main(ac, av);
	free(av);
	return st;
}
