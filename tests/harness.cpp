#include "harness.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <dirent.h>
#include <ftw.h>
#include <poll.h>
#include <regex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <gtest/gtest.h>
#include <stdexcept>

static const char *env_or_empty(const char *name)
{
	const char *value = getenv(name);
	return value != nullptr ? value : "";
}

bool windows_mode()
{
	static const bool on = *env_or_empty("TREEMIR_EXE") != '\0';
	return on;
}

const std::string SEP = windows_mode() ? "\\" : "/";
// The way a pattern spells the separator.
static const std::string RE_SEP = windows_mode() ? "\\\\" : "/";

std::string native(const std::string &path)
{
	if (!windows_mode())
		return path;
	std::string out = path[0] == '/' ? "Z:" + path : path;
	std::replace(out.begin(), out.end(), '/', '\\');
	return out;
}

std::string native_re(const std::string &pattern)
{
	std::string out;
	for (char c : pattern)
		out += c == '/' ? RE_SEP : std::string(1, c);
	return out;
}

std::string program_name()
{
	return windows_mode() ? native(env_or_empty("TREEMIR_EXE")) : TREEMIR_BIN;
}

static std::string drive_link(char letter)
{
	return std::string(env_or_empty("WINEPREFIX")) + "/dosdevices/" + letter + ":";
}

std::string map_drive(const std::string &dir, char letter)
{
	if (!windows_mode() || *env_or_empty("WINEPREFIX") == '\0')
		return "";
	std::string root = std::string(1, (char)toupper(letter)) + ":\\";
	unlink(drive_link(letter).c_str());
	if (symlink(dir.c_str(), drive_link(letter).c_str()) != 0)
		throw std::runtime_error("cannot map drive " + root + " to " + dir);
	return root;
}

void unmap_drive(char letter)
{
	if (windows_mode())
		unlink(drive_link(letter).c_str());
}

static std::string copies_dir;

std::string reachable_copy(const std::string &file)
{
	if (copies_dir.empty()) {
		char tmpl[] = "/tmp/treemir-bin-XXXXXX";
		if (mkdtemp(tmpl) == nullptr)
			throw std::runtime_error("mkdtemp");
		chmod(tmpl, 0755);
		copies_dir = tmpl;
		atexit([] { remove_tree_all(copies_dir); });
	}
	std::string copy = copies_dir + "/" + file.substr(file.rfind('/') + 1);
	if (!exists(copy)) {
		std::string data = read_file(file);
		if (data.empty())
			throw std::runtime_error("cannot read " + file);
		write_file(copy, data);
		chmod(copy.c_str(), 0755);
	}
	return copy;
}

static bool one_worker_suite()
{
	static const bool on = strcmp(env_or_empty("TREEMIR_TEST_ONE_WORKER"), "1") == 0;
	return on;
}

// The command line of one run: the binary, or the runner and the Windows
// build with its arguments in Windows form.  Unprivileged runs take a
// reachable copy of the binary.  A one-worker run gets its open-files
// limit, soft and hard, lowered by root before setpriv drops to uid 65534;
// the Windows build runs one worker whatever the limit.
std::vector<std::string> command_line(const std::vector<std::string> &args, bool as_nobody, bool one_worker)
{
	std::vector<std::string> full;
	if ((one_worker || one_worker_suite()) && !windows_mode())
		full = {"prlimit", "--nofile=192:192"};
	if (as_nobody)
		full.insert(full.end(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
	if (!windows_mode()) {
		full.push_back(as_nobody ? reachable_copy(TREEMIR_BIN) : TREEMIR_BIN);
		full.insert(full.end(), args.begin(), args.end());
		return full;
	}
	if (as_nobody) {
		std::string prefix = env_or_empty("TREEMIR_WINEPREFIX_NOBODY");
		full.insert(full.end(), {"env", "WINEPREFIX=" + prefix, "HOME=" + prefix});
	}
	std::string exe = env_or_empty("TREEMIR_EXE");
	full.insert(full.end(), {env_or_empty("TREEMIR_RUNNER"), as_nobody ? reachable_copy(exe) : exe});
	for (size_t i = 0; i < args.size(); i++) {
		const std::string &a = args[i];
		bool pattern = i > 0 && args[i - 1] == "-e" && a[0] != '@';
		if (!pattern && a[0] == '/')
			full.push_back(native(a));
		else if (!pattern && a.compare(0, 2, "@/") == 0)
			full.push_back("@" + native(a.substr(1)));
		else
			full.push_back(a);
	}
	return full;
}

// The Windows runtime writes every line end as "\r\n"; a bare "\n" would
// be one written past it.
static std::string unix_line_ends(const std::string &text)
{
	std::string out;
	for (size_t i = 0; i < text.size(); i++) {
		if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
			ADD_FAILURE() << "a bare line end at byte " << i << " of: " << text;
		if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
			out += text[i];
	}
	return out;
}

RunResult run_treemir(const std::vector<std::string> &args, const std::string &cwd, bool as_nobody,
                      bool one_worker)
{
	std::vector<std::string> full = command_line(args, as_nobody, one_worker);
	// An unprivileged run starts where that user can go (wine starts
	// nowhere else); the copies' folder is one.
	const std::string &dir = cwd.empty() && as_nobody ? copies_dir : cwd;
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
		if (!dir.empty() && chdir(dir.c_str()) != 0)
			_exit(126);
		execvp(argv[0], argv.data());
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	RunResult r{"", "", -1};
	struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
	int open_fds = 2, st = 0;
	bool ended = false;
	char buf[65536];
	while (open_fds > 0) {
		// Processes the program starts may hold the pipes open (wine's
		// services do): once it has ended, what it wrote is read and the
		// rest is not waited for.
		if (!ended && waitpid(pid, &st, WNOHANG) == pid) {
			ended = true;
			for (auto &f : fds)
				if (f.fd >= 0)
					fcntl(f.fd, F_SETFL, O_NONBLOCK);
		}
		int ready = poll(fds, 2, ended ? 0 : 100);
		if ((ready < 0 && errno != EINTR) || (ready == 0 && ended))
			break;
		for (int i = 0; i < 2 && ready > 0; i++) {
			if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
				continue;
			ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n > 0) {
				(i == 0 ? r.out : r.err).append(buf, (size_t)n);
			} else if (n == 0 || errno != EAGAIN) {
				close(fds[i].fd);
				fds[i].fd = -1;
				open_fds--;
			}
		}
	}
	for (auto &f : fds)
		if (f.fd >= 0)
			close(f.fd);
	if (!ended)
		waitpid(pid, &st, 0);
	r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
	if (windows_mode()) {
		r.out = unix_line_ends(r.out);
		r.err = unix_line_ends(r.err);
	}
	return r;
}

std::string make_temp_dir(const std::string &tag)
{
	const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
	std::string dir = std::string(base) + "/treemir-" + tag + "-XXXXXX";
	if (mkdtemp(dir.data()) == nullptr)
		throw std::runtime_error("mkdtemp");
	chmod(dir.c_str(), 0755);
	return dir;
}

static int remove_one(const char *path, const struct stat *, int, struct FTW *)
{
	chmod(path, 0700);
	return remove(path);
}

static int unlock_one(const char *path, const struct stat *, int type, struct FTW *)
{
	if (type == FTW_D || type == FTW_DNR)
		chmod(path, 0700);
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

static void set_mtime(const std::string &path, time_t mtime)
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
		answer = geteuid() == 0 && system("setpriv --reuid=65534 --regid=65534 --clear-groups true >/dev/null 2>&1") == 0 &&
		         (!windows_mode() || *env_or_empty("TREEMIR_WINEPREFIX_NOBODY") != '\0');
	return answer == 1;
}

// Permission bits as the platform keeps them: in Windows mode only the
// read-only attribute of files (0444 or 0666; directories 0777).
static unsigned shown_mode(unsigned mode)
{
	if (!windows_mode())
		return mode & 07777;
	// Wine keeps no read-only attribute on directories, and Windows reads
	// none into the entries inside.
	if (S_ISDIR(mode))
		return 0777;
	return mode & S_IWUSR ? 0666 : 0444;
}

// The walk goes through descriptors, so depth is no limit.  With follow,
// links are seen through as the program sees source links, and what the
// program leaves out is left out: special files, dangling links,
// directories already on the path.
struct Walk {
	bool follow;
	struct stat skip;
	std::vector<struct stat> up;
	std::vector<std::string> lines;
	char line[4200]; // one for all levels: a tree may be 2,000 deep
};

static bool same_item(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

static void walk(Walk &w, int fd, const std::string &rel)
{
	DIR *d = fdopendir(fd);
	while (struct dirent *e = d ? readdir(d) : nullptr) {
		struct stat st;
		char *line = w.line;
		memset(line, 0, sizeof w.line);
		if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..") ||
		    fstatat(dirfd(d), e->d_name, &st, w.follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0 ||
		    same_item(st, w.skip) ||
		    std::any_of(w.up.begin(), w.up.end(), [&](const struct stat &u) { return same_item(u, st); }))
			continue;
		if (S_ISLNK(st.st_mode)) {
			strcpy(line, " link -> ");
			readlinkat(dirfd(d), e->d_name, line + 9, sizeof w.line - 10);
		} else if (S_ISDIR(st.st_mode)) {
			snprintf(line, sizeof w.line, " dir %04o", shown_mode(st.st_mode));
		} else if (S_ISREG(st.st_mode)) {
			unsigned long long h = 1469598103934665603ULL;
			for (unsigned char ch : read_file("/proc/self/fd/" + std::to_string(dirfd(d)) + "/" + e->d_name))
				h = (h ^ ch) * 1099511628211ULL;
			snprintf(line, sizeof w.line, " file %04o size=%lld mtime=%lld hash=%016llx", shown_mode(st.st_mode),
			         (long long)st.st_size, (long long)st.st_mtime, h);
		} else if (!w.follow) {
			snprintf(line, sizeof w.line, " other %06o", (unsigned)st.st_mode);
		} else {
			continue;
		}
		w.lines.push_back(rel + "/" + e->d_name + line);
		if (S_ISDIR(st.st_mode)) {
			w.up.push_back(st);
			walk(w, openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY), rel + "/" + e->d_name);
			w.up.pop_back();
		}
	}
	if (d)
		closedir(d);
}

std::string fingerprint(const std::string &root, bool follow, const std::string &skip)
{
	Walk w{follow, {}, {{}}, {}, {}};
	if (!skip.empty())
		stat(skip.c_str(), &w.skip);
	stat(root.c_str(), &w.up[0]);
	char line[32];
	snprintf(line, sizeof line, ". dir %04o", shown_mode(w.up[0].st_mode));
	w.lines.push_back(line);
	walk(w, open(root.c_str(), O_RDONLY | O_DIRECTORY), "");
	std::sort(w.lines.begin(), w.lines.end());
	std::string all;
	for (auto &l : w.lines)
		all += l + "\n";
	return all;
}

const std::string BANNER = "TreeMir " TREEMIR_VERSION " one-way directory tree mirror\n\n";

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
	return "SCAN   " + pad_cut(native(path), 60) + "  *\b \b\r";
}

std::string header_lines(const std::string &src, const std::string &dst)
{
	return "FROM   " + pad_cut(native(src), 70) + "\nTO     " + pad_cut(native(dst), 70) + "\n";
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

// The number and text the Windows C runtime (as wine has it) gives for a
// POSIX error number.
static std::pair<int, std::string> windows_error(int err)
{
	static const std::pair<int, std::pair<int, const char *>> table[] = {
		{EPERM, {1, "Operation not permitted"}}, {ENOENT, {2, "No such file or directory"}},
		{EACCES, {13, "Permission denied"}}, {EEXIST, {17, "File exists"}},
		{ENOTDIR, {20, "Not a directory"}}, {EISDIR, {21, "Is a directory"}},
		{EINVAL, {22, "Invalid argument"}}, {ENOSPC, {28, "No space left on device"}},
		{ENAMETOOLONG, {38, "File name too long"}}, {ENOTEMPTY, {41, "Directory not empty"}},
		{ELOOP, {114, "Unknown error"}},
	};
	for (const auto &e : table)
		if (e.first == err)
			return e.second;
	ADD_FAILURE() << "no Windows form for error " << err;
	return {err, strerror(err)};
}

std::string error_line(const std::string &op, const std::string &path, int err)
{
	std::pair<int, std::string> shown(err, strerror(err));
	if (windows_mode())
		shown = windows_error(err);
	char buf[64];
	snprintf(buf, sizeof buf, " (%d)\n", shown.first);
	return "\ntreemir: " + op + " (" + native(path) + ") " + shown.second + buf;
}

Places places_in(const std::string &top)
{
	return {top, top + "/S", top + "/D", top + "/O"};
}

std::string expand_places(std::string s, const Places &places, bool regex)
{
	auto quote = [regex](const std::string &p) {
		return regex ? std::regex_replace(p, std::regex(R"([.^$|()\[\]{}*+?\\])"), "\\$&") : p;
	};
	const std::pair<const char *, const std::string *> keys[] = {
		{"$T", &places.T}, {"$S", &places.S}, {"$D", &places.D}, {"$O", &places.O}};
	for (auto [key, val] : keys)
		for (size_t at; (at = s.find(key)) != std::string::npos;)
			s.replace(at, 2, quote(*val));
	return s;
}

void shell(const std::string &command)
{
	EXPECT_EQ(system(command.c_str()), 0) << command;
}

static std::string file_data(const std::string &data)
{
	if (data.empty() || data == "-")
		return data.empty() ? "data" : "";
	if (data[0] != '#')
		return data;
	size_t n = std::stoul(data.substr(1)), dot = data.find('.');
	if (dot == std::string::npos)
		return std::string(n, 'x');
	unsigned k = (unsigned)std::stoul(data.substr(dot + 1));
	std::string out(n, '\0');
	for (size_t i = 0; i < n; i++)
		out[i] = (char)(i * 131 + k * 29 + i / 251);
	return out;
}

static mode_t octal(const std::string &word, mode_t otherwise)
{
	return word.empty() ? otherwise : (mode_t)std::stoul(word, nullptr, 8);
}

static void build_item(const std::string &root, const std::string &item, Places *places)
{
	std::vector<std::string> w; // OP PATH ARG..
	std::istringstream in(item);
	for (std::string word; std::getline(in, word, ' ');)
		w.push_back(w.size() < 2 || places == nullptr ? word : expand_places(word, *places));
	w.resize(5);
	std::string path = w[1] == "." ? root : root + "/" + w[1];
	const char *p = path.c_str();
	switch (item[0]) {
	case 'D': if (places) places->D = path; [[fallthrough]];
	case 'd': mkdir(p, 0755); chmod(p, octal(w[2], 0755)); break;
	case 'f':
		write_file_at(path, file_data(w[2]), T0 + (w[4].empty() ? 0 : std::stol(w[4])));
		chmod(p, octal(w[3], 0644));
		break;
	case 'l': EXPECT_EQ(symlink(w[2].c_str(), p), 0) << item; break;
	case 'h': EXPECT_EQ(link((root + "/" + w[2]).c_str(), p), 0) << item; break;
	case 'm': chmod(p, octal(w[2], 0755)); break;
	case 't': set_mtime(path, std::stoll(w[2])); break;
	case 'o': shell("chown -R 0:0 '" + path + "'"); break;
	case 'N': give_to_nobody(root); break;
	case 'x': shell("rm -rf '" + path + "'"); break;
	case 'p': case 's': case 'c': case 'b': {
		mode_t kind = item[0] == 'p' ? S_IFIFO : item[0] == 's' ? S_IFSOCK : item[0] == 'c' ? S_IFCHR : S_IFBLK;
		mknod(p, kind | 0644, item[0] == 'c' ? makedev(1, 3) : makedev(7, 0));
		break;
	}
	default: ADD_FAILURE() << "unknown tree item: " << item;
	}
}

void build_tree(const std::string &root, const Items &items, Places *places)
{
	mkdir(root.c_str(), 0755);
	for (const std::string &item : items)
		build_item(root, item, places);
}

std::string console_text(const Items &tokens, const std::string &top)
{
	// Windows refuses a directory where a file is wanted with EACCES.
	static const std::map<std::string, int> codes = {{"ENOENT", ENOENT},
		{"EISDIR", windows_mode() ? EACCES : EISDIR},
		{"EEXIST", EEXIST}, {"ENOTEMPTY", ENOTEMPTY}, {"ELOOP", ELOOP}, {"ENOSPC", ENOSPC}};
	std::string all;
	for (const std::string &line : tokens) {
		std::istringstream in(line);
		std::string k, a, b, c, d;
		in >> k >> a >> b >> c >> d;
		std::string pa = top + "/" + a, pb = top + "/" + b;
		if (k == "scan") all += scan_line(pa);
		else if (k == "head") all += header_lines(pa, pb);
		else if (k == "rm") all += "RM     " + native(pa) + "\n";
		else if (k == "rmdir") all += "RMDIR  " + native(pa) + "\n";
		else if (k == "mkdir") all += "MKDIR  " + native(pa) + "\n";
		else if (k == "copy" || k == "open") {
			std::vector<int> pcts;
			std::istringstream ps(c);
			for (std::string p; std::getline(ps, p, ',');)
				pcts.push_back(std::stoi(p));
			std::string copy = copy_line(a, std::stoll(b), pcts);
			all += k == "copy" ? copy : copy.substr(0, copy.size() - 1);
		} else if (k == "sum") all += summary(std::stoll(a), std::stoll(b), std::stoll(c), d.empty() ? 0 : std::stoll(d));
		else if (k == "err") all += error_line(a, pb, codes.at(c));
		else if (k == "notdir") all += "\ntreemir: " + native(pa) + " is not a directory\n";
		else if (k == "fifo") all += "\ntreemir: Ignored fifo " + a + " in " + native(pb) + "\n";
		else ADD_FAILURE() << "unknown line token: " << line;
	}
	return all;
}

static std::string ctimes_of(const std::string &root, const Items &rels)
{
	std::string all;
	for (const std::string &rel : rels) {
		struct stat st{};
		stat((root + "/" + rel).c_str(), &st);
		all += rel + " " + std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec) + "\n";
	}
	return all;
}

void check_mirror(const MirrorCase &c)
{
	SCOPED_TRACE(c.name);
	if (c.nobody && !can_run_as_nobody())
		return;
	std::string top = make_temp_dir("mirror");
	Places at = places_in(top);
	build_tree(at.S, c.src, &at);
	build_tree(at.D, c.dst, &at);
	build_tree(at.O, c.outside, &at);
	if (c.nobody)
		give_to_nobody(top);
	std::string source_before = fingerprint(at.S), outside_before = fingerprint(at.O);
	std::string calm_before = ctimes_of(at.D, c.calm);
	Items args = c.opts;
	args.insert(args.end(), {at.S, at.D});
	RunResult r = run_treemir(args, "", c.nobody);
	EXPECT_EQ(zero_seconds(r.out), BANNER + console_text(c.out, top));
	EXPECT_EQ(r.err, console_text(c.err, top));
	EXPECT_EQ(r.status, c.status);
	build_tree(top + "/E", c.want == Items{"=S"} ? c.src : c.want);
	EXPECT_EQ(fingerprint(at.D), fingerprint(top + "/E"));
	EXPECT_EQ(fingerprint(at.S), source_before);
	EXPECT_EQ(fingerprint(at.O), outside_before);
	EXPECT_EQ(ctimes_of(at.D, c.calm), calm_before);
	if (c.rerun >= 0) {
		std::string before = fingerprint(at.D);
		RunResult again = run_treemir(args, "", c.nobody);
		EXPECT_EQ(std::regex_replace(zero_seconds(again.out), std::regex("SCAN   [^\r]*\r"), ""),
		          BANNER + summary(c.rerun, 0, 0)) << "second run";
		EXPECT_EQ(again.err, "");
		EXPECT_EQ(again.status, 0);
		EXPECT_EQ(fingerprint(at.D), before);
	}
	remove_tree_all(top);
}

std::string zero_seconds(const std::string &out)
{
	static const std::regex secs(" in [0-9]+ second\\(s\\)");
	return std::regex_replace(out, secs, " in 0 second(s)");
}
