// A process to signal in tests: blocks every signal, says "ready", waits for
// its standard input to close, then prints each pending signal's number and
// integer value, one per line, in the order the kernel hands them over.
#include <sys/syscall.h>

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

int
main()
{
	// The kernel's own mask, since the C library refuses to block 32 and 33.
	uint64_t all = ~uint64_t{0};
	struct timespec zero = {0, 0};
	siginfo_t si;
	char buf[256];
	int sig;

	if (syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, nullptr, sizeof all) != 0)
		return 2;
	printf("ready\n");
	fflush(stdout);
	while (read(0, buf, sizeof buf) > 0)
		;
	while ((sig = syscall(SYS_rt_sigtimedwait, &all, &si, &zero, sizeof all)) > 0)
		printf("%d %d\n", sig, si.si_value.sival_int);
	return 0;
}
