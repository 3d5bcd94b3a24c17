// Runs one command and reports what it cost on a given file descriptor:
//
//   measure FD [--nofile=L] command [argument...]
//
// prints "wall_ns user_us sys_us maxrss_kib status" on FD, where the CPU
// times and the peak resident set come from wait4 on the command: its own
// usage plus that of every descendant it waited for, the peak being the
// largest single process.  status is the exit code, or minus the signal.
//
// The command is forked from this small process rather than from the
// benchmark driver: a process keeps the peak resident set of the image it
// replaced by exec, so a command forked from a large interpreter would
// report at least the interpreter's size.
//
// --nofile=L sets the command's open-files limit, soft and hard, to L in
// the forked child before exec.  A wrapper that sets it and then execs the
// command (prlimit) would do the same, but the command would then inherit
// the wrapper's peak resident set as well, and it is larger than treemir's.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc < 3) {
		fputs("usage: measure FD [--nofile=L] command [argument...]\n", stderr);
		return 125;
	}
	int report = atoi(argv[1]);
	char **cmd = argv + 2;
	long long nofile = -1;
	if (strncmp(cmd[0], "--nofile=", 9) == 0) {
		char *end;
		nofile = strtoll(cmd[0] + 9, &end, 10);
		if (*end != '\0' || nofile < 1 || cmd[1] == NULL) {
			fprintf(stderr, "measure: bad %s or no command\n", cmd[0]);
			return 125;
		}
		cmd++;
	}
	if (fcntl(report, F_SETFD, FD_CLOEXEC) != 0) {
		perror("measure: report descriptor");
		return 125;
	}
	struct timespec t0, t1;
	clock_gettime(CLOCK_MONOTONIC, &t0);
	pid_t pid = fork();
	if (pid < 0) {
		perror("measure: fork");
		return 125;
	}
	if (pid == 0) {
		struct rlimit lim = {(rlim_t)nofile, (rlim_t)nofile};
		if (nofile > 0 && setrlimit(RLIMIT_NOFILE, &lim) != 0) {
			fprintf(stderr, "measure: open-files limit %lld: %s\n", nofile, strerror(errno));
			_exit(126);
		}
		execvp(cmd[0], cmd);
		fprintf(stderr, "measure: exec %s: %s\n", cmd[0], strerror(errno));
		_exit(127);
	}
	int status = 0;
	struct rusage ru;
	while (wait4(pid, &status, 0, &ru) < 0) {
		if (errno != EINTR) {
			perror("measure: wait4");
			return 125;
		}
	}
	clock_gettime(CLOCK_MONOTONIC, &t1);
	long long wall = (long long)(t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec);
	long long user = (long long)ru.ru_utime.tv_sec * 1000000LL + ru.ru_utime.tv_usec;
	long long sys = (long long)ru.ru_stime.tv_sec * 1000000LL + ru.ru_stime.tv_usec;
	int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
	dprintf(report, "%lld %lld %lld %ld %d\n", wall, user, sys, ru.ru_maxrss, code);
	return 0;
}
