// A process to signal in tests: blocks every signal, says "ready", waits for
// its standard input to close, then prints each pending signal's number and
// integer value, one per line, in the order the kernel hands them over.
#include <sys/syscall.h>

#include <errno.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

int
main()
{
	// The kernel's own mask, since the C library refuses to block 32 and 33.
	// It has 64 signals on most architectures and 128 on some (mips).
	uint64_t all[2] = {~uint64_t{0}, ~uint64_t{0}};
	size_t size = sizeof all[0];
	struct timespec zero = {0, 0};
	siginfo_t si;
	char buf[256];
	int sig;

	while (syscall(SYS_rt_sigprocmask, SIG_BLOCK, all, nullptr, size) != 0)
		if (errno != EINVAL || (size *= 2) > sizeof all)
			return 2;
	printf("ready\n");
	fflush(stdout);
	while (read(0, buf, sizeof buf) > 0)
		;
	while ((sig = syscall(SYS_rt_sigtimedwait, all, &si, &zero, size)) > 0)
		printf("%d %d\n", sig, si.si_value.sival_int);
	return 0;
}
