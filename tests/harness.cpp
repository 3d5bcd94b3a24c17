#include "harness.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

RunResult run_treemir(const std::vector<std::string> &args, const std::string &cwd, bool as_nobody)
{
	std::vector<std::string> full;
	if (as_nobody)
		full = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
	full.push_back(TREEMIR_BIN);
	full.insert(full.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &a : full)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);

	int out[2], err[2];
	if (pipe(out) || pipe(err))
		throw std::runtime_error("pipe");
	pid_t pid = fork();
	if (pid == 0) {
		dup2(out[1], 1);
		dup2(err[1], 2);
		int null = open("/dev/null", O_RDONLY);
		dup2(null, 0);
		close(out[0]); close(out[1]); close(err[0]); close(err[1]);
		if (!cwd.empty() && chdir(cwd.c_str()) != 0)
			_exit(126);
		execvp(argv[0], argv.data());
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	RunResult r{"", "", -1};
	struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
	int open_fds = 2;
	char buf[65536];
	while (open_fds > 0) {
		if (poll(fds, 2, -1) < 0 && errno != EINTR)
			break;
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
				continue;
			ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n > 0) {
				(i == 0 ? r.out : r.err).append(buf, (size_t)n);
			} else {
				close(fds[i].fd);
				fds[i].fd = -1;
				open_fds--;
			}
		}
	}
	int st = 0;
	waitpid(pid, &st, 0);
	r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
	return r;
}

std::string make_temp_dir(const std::string &tag)
{
	const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
	std::string tmpl = std::string(base) + "/treemir-" + tag + "-XXXXXX";
	std::vector<char> buf(tmpl.begin(), tmpl.end());
	buf.push_back('\0');
	if (mkdtemp(buf.data()) == nullptr)
		throw std::runtime_error("mkdtemp");
	chmod(buf.data(), 0755);
	return buf.data();
}

static int remove_one(const char *path, const struct stat *, int, struct FTW *)
{
	chmod(path, 0700);
	return remove(path);
}

static int unlock_one(const char *path, const struct stat *st, int type, struct FTW *)
{
	if (type == FTW_D || type == FTW_DNR)
		chmod(path, 0700);
	(void)st;
	return 0;
}

void remove_tree_all(const std::string &path)
{
	nftw(path.c_str(), unlock_one, 64, FTW_PHYS);
	nftw(path.c_str(), remove_one, 64, FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string &path, const std::string &data)
{
	std::ofstream f(path, std::ios::binary | std::ios::trunc);
	if (!f)
		throw std::runtime_error("cannot write " + path);
	f << data;
}

void set_mtime(const std::string &path, time_t mtime)
{
	struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
	utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

void write_file_at(const std::string &path, const std::string &data, time_t mtime)
{
	write_file(path, data);
	set_mtime(path, mtime);
}

std::string read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

void make_dirs(const std::string &path)
{
	std::string cmd = "mkdir -p '" + path + "'";
	if (system(cmd.c_str()) != 0)
		throw std::runtime_error("mkdir -p " + path);
}

bool exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

static int chown_one(const char *path, const struct stat *, int, struct FTW *)
{
	lchown(path, 65534, 65534);
	return 0;
}

void give_to_nobody(const std::string &path)
{
	nftw(path.c_str(), chown_one, 64, FTW_PHYS);
}

bool can_run_as_nobody()
{
	static int answer = -1;
	if (answer < 0)
		answer = geteuid() == 0 && system("setpriv --reuid=65534 --regid=65534 --clear-groups true >/dev/null 2>&1") == 0;
	return answer == 1;
}

static unsigned long long hash_bytes(const std::string &s)
{
	unsigned long long h = 1469598103934665603ULL;
	for (unsigned char c : s)
		h = (h ^ c) * 1099511628211ULL;
	return h;
}

static std::vector<std::string> *fp_lines;
static size_t fp_root_len;
static bool fp_dir_mtimes;

static int fingerprint_one(const char *path, const struct stat *st, int type, struct FTW *)
{
	if (strlen(path) == fp_root_len)
		return 0;
	std::string rel = path + fp_root_len;
	char line[8192];
	if (type == FTW_SL || type == FTW_SLN) {
		char target[4096];
		ssize_t n = readlink(path, target, sizeof target - 1);
		target[n < 0 ? 0 : n] = '\0';
		snprintf(line, sizeof line, " link -> %s", target);
	} else if (S_ISDIR(st->st_mode)) {
		if (fp_dir_mtimes)
			snprintf(line, sizeof line, " dir %04o mtime=%lld", (unsigned)(st->st_mode & 07777),
			         (long long)st->st_mtime);
		else
			snprintf(line, sizeof line, " dir %04o", (unsigned)(st->st_mode & 07777));
	} else if (S_ISREG(st->st_mode)) {
		snprintf(line, sizeof line, " file %04o size=%lld mtime=%lld hash=%016llx",
		         (unsigned)(st->st_mode & 07777), (long long)st->st_size,
		         (long long)st->st_mtime, hash_bytes(read_file(path)));
	} else {
		snprintf(line, sizeof line, " other %06o", (unsigned)st->st_mode);
	}
	fp_lines->push_back(rel + line);
	return 0;
}

std::string fingerprint(const std::string &root, bool with_dir_mtimes)
{
	std::vector<std::string> lines;
	fp_lines = &lines;
	fp_root_len = root.size();
	fp_dir_mtimes = with_dir_mtimes;
	nftw(root.c_str(), fingerprint_one, 64, FTW_PHYS);
	std::sort(lines.begin(), lines.end());
	std::string all;
	for (auto &l : lines)
		all += l + "\n";
	return all;
}

const std::string BANNER = "TreeMir 1.06 one-way directory tree mirror\n\n";

const std::string USAGE =
	"usage : treemir [option(s)] source dest\n"
	"\tsource\tsoure directory (must exist)\n"
	"\tdest\tdestination directory (must exist)\n"
	"\t-h\tDisplay this message\n"
	"\t-v lvl\tset verbose level (default 2,min 0,max 9)\n"
	"\t-q\tQuiet mode (same result of -v 0)\n"
	"\t-X name\tExclude directory name (1) from scanning (default . ..)\n"
	"\t-x name\tExclude file name (1) from scanning\n"
	"\t-e name\tExclude regular expression name (1) from scanning\n"
	"\t-b size\tSet the read/write buffer size (default 1048576)\n"
	"\t-m mode\tSet copy file mode,always missing file are copied\n"
	"\t\t0 - Copy file if have different size or date (default)\n"
	"\t\t1 - Copy file if the destination is oldest than source\n"
	"\t-r\tDon't remove file/directory missed in the source\n"
	"\n\t\t(1) If name begin with @ for example @list the names will be\n"
	"\t\tread from a text file named list.\n";

static std::string pad_cut(const std::string &s, size_t width)
{
	std::string r = s.substr(0, width);
	r.resize(width, ' ');
	return r;
}

std::string scan_line(const std::string &path)
{
	return "SCAN   " + pad_cut(path, 60) + "  *\b \b\r";
}

std::string header_lines(const std::string &src, const std::string &dst)
{
	return "FROM   " + pad_cut(src, 70) + "\nTO     " + pad_cut(dst, 70) + "\n";
}

std::string copy_line(const std::string &name, long long size, const std::vector<int> &percents)
{
	char head[128];
	snprintf(head, sizeof head, " %10lld Byte ", size);
	std::string line = "COPY   " + pad_cut(name, 50) + head;
	for (int p : percents) {
		char pct[16];
		snprintf(pct, sizeof pct, "%%%03d\b\b\b\b", p);
		line += pct;
	}
	return line + "\n";
}

std::string summary(long long checked, long long copied, long long deleted, long long errors)
{
	char buf[256];
	snprintf(buf, sizeof buf, "%lld file(s) checked,%lld copied,%lld deleted in 0 second(s)",
	         checked, copied, deleted);
	std::string s = buf;
	if (errors) {
		snprintf(buf, sizeof buf, ",%lld error(s)", errors);
		s += buf;
	}
	return s + "\n";
}

std::string error_line(const std::string &op, const std::string &path, int err)
{
	char buf[64];
	snprintf(buf, sizeof buf, " (%d)\n", err);
	return "\ntreemir: " + op + " (" + path + ") " + strerror(err) + buf;
}

std::string zero_seconds(const std::string &out)
{
	static const std::regex secs(" in [0-9]+ second\\(s\\)");
	return std::regex_replace(out, secs, " in 0 second(s)");
}
