// The Windows side of the platform seam (see platform.h).
//
// Every name crosses here between the program's UTF-8 and the system's
// UTF-16, converted exactly or refused: a conversion never substitutes a
// look-alike, so no name can stand for another.  Every path goes to the
// wide calls in the long form, made absolute and resolved here, since the
// system resolves nothing in that form.
#include <windows.h>
#include <shellapi.h>
#include <io.h>

#include "platform.h"
#include "treemir.h"

#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cwchar>

// What only this half uses: the wide calls by the long form of a path.
typedef struct tm_dir DIR;
// A UTF-8 path as the system takes it: allocated (free), absolute, in the
// long form, "/" read as "\\" and "." and ".." resolved by name; other
// names are kept exactly, trailing dots and blanks included.  Null with
// errno EILSEQ (not valid UTF-8), ENAMETOOLONG (beyond the system's limit)
// or ENOENT (empty).
wchar_t *wide_path(const char *path);
// A symbolic link or junction answers S_IFLNK, anything else its stat.
int link_status(const char *path, FileStatus *st);
// A directory that cannot be listed fails here, not as an empty listing.
DIR *open_dir(const char *path);
struct dirent *readdir(DIR *dir);
int closedir(DIR *dir);
int open_source(const char *path);
// Never writes through a link: one in the way fails like O_NOFOLLOW.
int open_dest(const char *path);
int path_chmod(const char *path, unsigned mode);
int path_unlink(const char *path);
int path_rmdir(const char *path);
int path_mkdir(const char *path);

// ---------------------------------------------------------------------
// UTF-8 and UTF-16
// ---------------------------------------------------------------------

// The system's error as an errno value, as the C runtime maps them.
static int error_number(DWORD code)
{
	switch (code) {
	case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_DRIVE:
	case ERROR_NO_MORE_FILES: case ERROR_BAD_NETPATH: case ERROR_BAD_NET_NAME:
	case ERROR_BAD_PATHNAME: case ERROR_INVALID_NAME:
		return ENOENT;
	case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION:
	case ERROR_NETWORK_ACCESS_DENIED: case ERROR_WRITE_PROTECT: case ERROR_CURRENT_DIRECTORY:
		return EACCES;
	case ERROR_FILE_EXISTS: case ERROR_ALREADY_EXISTS: return EEXIST;
	case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
	case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return ENOSPC;
	case ERROR_NOT_ENOUGH_MEMORY: case ERROR_OUTOFMEMORY: return ENOMEM;
	case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
	case ERROR_NOT_SAME_DEVICE: return EXDEV;
	case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
	case ERROR_DIRECTORY: return ENOTDIR;
	case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
	default: return EINVAL;
	}
}

// Sets errno from the system's last error; answers -1 for the callers.
static int system_failed(void)
{
	errno = error_number(GetLastError());
	return -1;
}

// The UTF-16 form of a UTF-8 string, allocated; null with errno EILSEQ.
static wchar_t *to_wide(const char *s)
{
	int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, nullptr, 0);
	if (count == 0) {
		errno = EILSEQ;
		return nullptr;
	}
	wchar_t *w = (wchar_t *)xmalloc((size_t)count * sizeof *w);
	MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, w, count);
	return w;
}

// The UTF-8 form of a UTF-16 name into out (size bytes); answers 1 with
// errno EILSEQ for an unpaired surrogate, ENAMETOOLONG when it does not fit.
static int to_utf8(const wchar_t *w, char *out, int size)
{
	if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w, -1, out, size, nullptr, nullptr) != 0)
		return 0;
	errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : EILSEQ;
	return 1;
}

// The same, allocated; null with errno EILSEQ.
static char *utf8_copy(const wchar_t *w)
{
	int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w, -1, nullptr, 0, nullptr, nullptr);
	if (size == 0) {
		errno = EILSEQ;
		return nullptr;
	}
	char *out = (char *)xmalloc((size_t)size);
	to_utf8(w, out, size);
	return out;
}

// ---------------------------------------------------------------------
// Long paths
// ---------------------------------------------------------------------

static int is_slash(wchar_t c)
{
	return c == L'\\' || c == L'/';
}

static int has_drive(const wchar_t *p)
{
	return p[0] < 128 && std::isalpha(p[0]) && p[1] == L':';
}

// An allocated copy of a followed by b.
static wchar_t *wide_concat(const wchar_t *a, const wchar_t *b)
{
	size_t la = wcslen(a), lb = wcslen(b);
	wchar_t *out = (wchar_t *)xmalloc((la + lb + 1) * sizeof *out);
	wmemcpy(out, a, la);
	wmemcpy(out + la, b, lb + 1);
	return out;
}

// A relative path (to the current directory, to the current drive's root,
// or to a drive's current directory) put after the absolute directory it
// is relative to.  Only that directory is asked of the system: the names
// are left for resolve_names, which keeps them exactly.  Takes w.
static wchar_t *make_absolute(wchar_t *w)
{
	wchar_t drive_dot[4] = {w[0], L':', L'.', L'\0'};
	const wchar_t *anchor = L".", *rest = w;
	if (has_drive(w)) {
		anchor = drive_dot;
		rest = w + 2;
	} else if (is_slash(w[0])) {
		anchor = L"\\";
		rest = w + 1;
	}
	wchar_t *dir = nullptr;
	DWORD size = GetFullPathNameW(anchor, 0, nullptr, nullptr);
	if (size != 0) {
		dir = (wchar_t *)xmalloc(((size_t)size + 2) * sizeof *dir);
		size = GetFullPathNameW(anchor, size, dir, nullptr);
	}
	wchar_t *full = nullptr;
	if (size == 0) {
		system_failed();
	} else {
		wcscat(dir, L"\\");
		full = wide_concat(dir, rest);
	}
	free(dir);
	free(w);
	return full;
}

// The volume part of an absolute path, in the long form, into out
// ("\\?\C:", "\\?\UNC\server\share"); answers where the names after it
// begin.
static const wchar_t *long_volume(const wchar_t *w, wchar_t *out)
{
	if (wcsncmp(w, L"\\\\?\\UNC\\", 8) == 0)
		w += 7; // from the slash before server
	else if (wcsncmp(w, L"\\\\?\\", 4) == 0)
		w += 4;
	if (has_drive(w)) {
		wcscpy(out, L"\\\\?\\");
		wcsncat(out, w, 2);
		return w + 2;
	}
	wcscpy(out, L"\\\\?\\UNC");
	while (is_slash(*w))
		w++;
	for (int part = 0; part < 2 && *w; part++) { // server, share
		const wchar_t *end = w;
		while (*end && !is_slash(*end))
			end++;
		wcscat(out, L"\\");
		wcsncat(out, w, (size_t)(end - w));
		for (w = end; is_slash(*w); w++)
			;
	}
	return w;
}

// Appends the names of rest to out, "." and ".." resolved by name and
// never above the volume's root (base units long).
static void resolve_names(wchar_t *out, size_t base, const wchar_t *rest)
{
	size_t len = wcslen(out);
	while (*rest) {
		while (is_slash(*rest))
			rest++;
		const wchar_t *end = rest;
		while (*end && !is_slash(*end))
			end++;
		size_t n = (size_t)(end - rest);
		if (n == 2 && rest[0] == L'.' && rest[1] == L'.') {
			while (len > base && out[len - 1] != L'\\')
				len--;
			if (len > base)
				len--;
		} else if (n > 0 && !(n == 1 && rest[0] == L'.')) {
			out[len++] = L'\\';
			wmemcpy(out + len, rest, n);
			len += n;
		}
		out[len] = L'\0';
		rest = end;
	}
	if (len == base)
		wcscpy(out + len, L"\\"); // the root itself
}

wchar_t *wide_path(const char *path)
{
	if (path[0] == '\0') {
		errno = ENOENT;
		return nullptr;
	}
	wchar_t *w = to_wide(path);
	if (w == nullptr)
		return nullptr;
	// Device names (\\.\pipe\...) and long forms other than a drive's or a
	// share's (\\?\Volume{...}\) are the system's own business.
	int long_form = wcsncmp(w, L"\\\\?\\", 4) == 0;
	if (wcsncmp(w, L"\\\\.\\", 4) == 0 ||
	    (long_form && !has_drive(w + 4) && wcsncmp(w + 4, L"UNC\\", 4) != 0))
		return w;
	int absolute = long_form || (has_drive(w) && is_slash(w[2])) || (is_slash(w[0]) && is_slash(w[1]));
	if (!absolute && (w = make_absolute(w)) == nullptr)
		return nullptr;
	wchar_t *out = (wchar_t *)xmalloc((wcslen(w) + 16) * sizeof *out);
	resolve_names(out, wcslen(out), long_volume(w, out));
	free(w);
	if (wcslen(out) > 32767) {
		free(out);
		errno = ENAMETOOLONG;
		return nullptr;
	}
	return out;
}

// ---------------------------------------------------------------------
// Command line, console and list files
// ---------------------------------------------------------------------

int platform_args(int *argc, char ***argv)
{
	int n;
	wchar_t **w = CommandLineToArgvW(GetCommandLineW(), &n);
	if (w == nullptr)
		xmalloc(SIZE_MAX); // it fails for want of memory only: ends the run as such
	char **out = (char **)xmalloc(((size_t)n + 1) * sizeof *out);
	for (int i = 0; i < n; i++) {
		if ((out[i] = utf8_copy(w[i])) == nullptr) {
			LocalFree(w);
			return i + 1;
		}
	}
	out[n] = nullptr;
	LocalFree(w);
	*argc = n;
	*argv = out;
	return 0;
}

// Set once, before any worker starts, and only read after: workers never
// write the console themselves (their output is recorded and the walk
// replays it), so nothing else of it is shared.
static UINT console_page;
static int on_console[3]; // by descriptor: standard output and error

static void restore_console(void)
{
	SetConsoleOutputCP(console_page);
}

void console_utf8(void)
{
	DWORD mode;
	on_console[1] = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
	on_console[2] = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
	if (!on_console[1] && !on_console[2])
		return;
	console_page = GetConsoleOutputCP();
	if (console_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
		atexit(restore_console);
}

static int is_console(FILE *f)
{
	int fd = _fileno(f);
	return (fd == 1 || fd == 2) && on_console[fd];
}

// Writes n bytes of UTF-8 to the console of f, after what f holds.
static int console_text(FILE *f, const char *text, int n)
{
	fflush(f);
	wchar_t small[512];
	int units = MultiByteToWideChar(CP_UTF8, 0, text, n, nullptr, 0);
	wchar_t *w = units <= 512 ? small : (wchar_t *)xmalloc((size_t)units * sizeof *w);
	MultiByteToWideChar(CP_UTF8, 0, text, n, w, units);
	DWORD done;
	int ok = n == 0 || WriteConsoleW((HANDLE)_get_osfhandle(_fileno(f)), w, (DWORD)units, &done, nullptr);
	if (w != small)
		free(w);
	return ok ? n : EOF;
}

static int tm_fputs(const char *text, FILE *f)
{
	if (!is_console(f))
		return fputs(text, f);
	return console_text(f, text, (int)strlen(text)) == EOF ? EOF : 0;
}


// Binary: a UTF-16 list is not torn by line-end translation, nor cut at
// a byte 0x1A.
FILE *open_list(const char *path)
{
	wchar_t *w = wide_path(path);
	if (w == nullptr)
		return nullptr;
	FILE *f = _wfopen(w, L"rb");
	free(w);
	return f;
}

int list_is_device(FILE *f)
{
	return GetFileType((HANDLE)_get_osfhandle(_fileno(f))) == FILE_TYPE_CHAR;
}

// ---------------------------------------------------------------------
// Status
// ---------------------------------------------------------------------

// Whole seconds since 1970, rounded down, of a file time (100 ns units
// since 1601); and back.
static time_t from_file_time(FILETIME ft)
{
	int64_t t = (int64_t)((uint64_t)ft.dwHighDateTime << 32 | ft.dwLowDateTime) - 116444736000000000LL;
	return (time_t)(t >= 0 ? t / 10000000 : -((-t + 9999999) / 10000000));
}

static FILETIME to_file_time(time_t t)
{
	uint64_t v = (uint64_t)((int64_t)t * 10000000 + 116444736000000000LL);
	FILETIME ft = {(DWORD)v, (DWORD)(v >> 32)};
	return ft;
}

// The mode the C runtime gives: read for all, write unless read-only,
// search for directories.
static void fill_status(struct tm_stat *st, DWORD attributes, FILETIME atime, FILETIME mtime,
                        FILETIME ctime, uint64_t size)
{
	unsigned mode = attributes & FILE_ATTRIBUTE_DIRECTORY ? S_IFDIR | 0555 : S_IFREG | 0444;
	if (!(attributes & FILE_ATTRIBUTE_READONLY))
		mode |= 0222;
	st->st_mode = mode;
	st->st_size = (int64_t)size;
	st->st_atime = from_file_time(atime);
	st->st_mtime = from_file_time(mtime);
	st->st_ctime = from_file_time(ctime);
	st->st_uid = st->st_gid = 0;
	st->st_nlink = 1; // as the runtime counts: one name
}

// Gives a record an identity that no other record has, whichever thread
// asks.
static void unknown_identity(struct tm_stat *st)
{
	static std::atomic<uint64_t> count;
	st->st_dev = UINT64_MAX;
	st->st_ino = count++;
}

static HANDLE open_item(const wchar_t *w, DWORD access)
{
	return CreateFileW(w, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
	                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The status of what an item leads to, through a handle, with its identity:
// the volume serial and the file id (128 bits where the file system has
// them, folded; the 64-bit file index where only that is known).
static int status_by_handle(const wchar_t *w, struct tm_stat *st)
{
	HANDLE h = open_item(w, 0);
	if (h == INVALID_HANDLE_VALUE)
		return system_failed();
	BY_HANDLE_FILE_INFORMATION info;
	FILE_ID_INFO id;
	int rc = 0;
	if (!GetFileInformationByHandle(h, &info)) {
		rc = system_failed();
	} else {
		fill_status(st, info.dwFileAttributes, info.ftLastAccessTime, info.ftLastWriteTime,
		            info.ftCreationTime, (uint64_t)info.nFileSizeHigh << 32 | info.nFileSizeLow);
		st->st_dev = info.dwVolumeSerialNumber;
		st->st_ino = (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow;
		if (GetFileInformationByHandleEx(h, FileIdInfo, &id, sizeof id)) {
			uint64_t half[2];
			memcpy(half, id.FileId.Identifier, sizeof half);
			st->st_dev = id.VolumeSerialNumber;
			st->st_ino = half[0] ^ half[1];
		}
	}
	CloseHandle(h);
	return rc;
}

// Files by their attributes alone; links through a handle, which follows
// them; directories with the identity their handle gives (files are never
// compared), or none where no handle can be had.
static int wide_status(const wchar_t *w, struct tm_stat *st)
{
	WIN32_FILE_ATTRIBUTE_DATA a;
	if (!GetFileAttributesExW(w, GetFileExInfoStandard, &a))
		return system_failed();
	if (a.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
		return status_by_handle(w, st);
	fill_status(st, a.dwFileAttributes, a.ftLastAccessTime, a.ftLastWriteTime, a.ftCreationTime,
	            (uint64_t)a.nFileSizeHigh << 32 | a.nFileSizeLow);
	unknown_identity(st);
	struct tm_stat by_handle;
	if ((a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && status_by_handle(w, &by_handle) == 0) {
		st->st_dev = by_handle.st_dev;
		st->st_ino = by_handle.st_ino;
	}
	return 0;
}

// Runs act on the long form of path; a path without one fails there.
template <class Act> static int by_wide_path(const char *path, Act act)
{
	wchar_t *w = wide_path(path);
	if (w == nullptr)
		return -1;
	int rc = act(w);
	free(w);
	return rc;
}

int file_status(const char *path, FileStatus *st)
{
	return by_wide_path(path, [st](const wchar_t *w) { return wide_status(w, st); });
}

static int wide_lstat(const wchar_t *w, struct tm_stat *st)
{
	WIN32_FIND_DATAW found;
	HANDLE h = FindFirstFileW(w, &found);
	if (h != INVALID_HANDLE_VALUE) {
		FindClose(h);
		if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
		    (found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
		     found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT)) {
			memset(st, 0, sizeof *st);
			st->st_mode = S_IFLNK | 0777;
			return 0;
		}
	}
	return wide_status(w, st);
}

int link_status(const char *path, FileStatus *st)
{
	return by_wide_path(path, [st](const wchar_t *w) { return wide_lstat(w, st); });
}

// The final path of an open item, without its long-form prefix, in UTF-8.
static char *final_path(HANDLE h)
{
	const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
	DWORD n = GetFinalPathNameByHandleW(h, nullptr, 0, flags);
	if (n == 0)
		return nullptr;
	wchar_t *buf = (wchar_t *)xmalloc(((size_t)n + 1) * sizeof *buf);
	char *out = nullptr;
	if (GetFinalPathNameByHandleW(h, buf, n + 1, flags) <= n) {
		// The answer comes as \\?\C:\... or \\?\UNC\server\share\...
		wchar_t *p = buf;
		if (wcsncmp(p, L"\\\\?\\UNC\\", 8) == 0) {
			p += 6;
			p[0] = L'\\';
		} else if (wcsncmp(p, L"\\\\?\\", 4) == 0) {
			p += 4;
		}
		out = utf8_copy(p);
	}
	free(buf);
	return out;
}

char *full_path(const char *path)
{
	wchar_t *w = wide_path(path);
	if (w == nullptr)
		return nullptr;
	HANDLE h = open_item(w, 0);
	free(w);
	if (h == INVALID_HANDLE_VALUE)
		return nullptr;
	char *out = final_path(h);
	CloseHandle(h);
	return out;
}

size_t root_length(const char *path)
{
	if (std::isalpha((unsigned char)path[0]) && path[1] == ':' && path[2] == '\\')
		return 3;
	if (path[0] == '\\' && path[1] == '\\') {
		const char *share = strchr(path + 2, '\\');
		const char *end = share ? strchr(share + 1, '\\') : nullptr;
		return end ? (size_t)(end - path) + 1 : strlen(path);
	}
	return path[0] == '\\';
}

// The kind of drive of a volume's root in the long form.  The long form of
// a drive letter is asked by the letter itself, which every system answers
// for a mapped network drive; a share named by its server is remote.
static UINT drive_type(const wchar_t *root)
{
	if (wcsncmp(root, L"\\\\?\\UNC\\", 8) == 0)
		return DRIVE_REMOTE;
	if (wcsncmp(root, L"\\\\?\\", 4) == 0 && has_drive(root + 4)) {
		wchar_t letter[4] = {root[4], L':', L'\\', L'\0'};
		return GetDriveTypeW(letter);
	}
	return GetDriveTypeW(root);
}

static int is_local_drive(UINT type)
{
	return type == DRIVE_FIXED || type == DRIVE_REMOVABLE || type == DRIVE_CDROM || type == DRIVE_RAMDISK;
}

// The volume's file-system name tells, but for FAT: it keeps modification
// times in steps of 2 seconds, and the way it stores a time between two
// steps (Windows itself goes up to the next step) is found out by trying,
// as elsewhere.  NTFS, exFAT and ReFS keep
// times finer than the whole seconds the runtime sets.  The runtime's
// modes are the read-only attribute alone, which every one of them keeps.
// A share (a mapped network drive, a \\server\share path) makes every call
// a round trip, whatever its file system.
int volume_kind(int, const char *path, VolumeKind *kind)
{
	*kind = {KEEPS_MODES, KEEPS_MODES, 1, 0, 0, WHOLE_SECONDS, 0, 1, 0, 0};
	wchar_t *wide = wide_path(path), name[MAX_PATH + 1];
	size_t cap = wide ? wcslen(wide) + 2 : 0;
	wchar_t *root = wide ? (wchar_t *)xmalloc(cap * sizeof *root) : nullptr;
	int fat = 0;
	UINT type = DRIVE_UNKNOWN;
	if (root != nullptr && GetVolumePathNameW(wide, root, (DWORD)cap)) {
		size_t n = wcslen(root);
		if (n > 0 && root[n - 1] != L'\\') // the volume's root needs its separator
			wcscpy(root + n, L"\\");
		type = drive_type(root);
		fat = GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1) &&
		      wcsncmp(name, L"FAT", 3) == 0; // FAT, FAT12, FAT16, FAT32
	}
	free(wide);
	free(root);
	if (fat)
		*kind = {KEEPS_WRITE_BIT, KEEPS_NO_MODES, 2, 1, 0, WHOLE_SECONDS, 0, 1, 0, 0};
	kind->remote = type == DRIVE_REMOTE;
	kind->named_local = is_local_drive(type);
	return !fat;
}
// ---------------------------------------------------------------------
// Directories
// ---------------------------------------------------------------------

struct tm_dir {
	HANDLE find; // INVALID_HANDLE_VALUE: nothing to list
	int pending; // found holds an entry not yet given
	WIN32_FIND_DATAW found;
	struct dirent entry;
};

// The listing is started here, so that a directory that cannot be read
// fails at once instead of reading as empty.  Only a drive root can hold no
// entry at all.
DIR *open_dir(const char *path)
{
	wchar_t *w = wide_path(path);
	if (w == nullptr)
		return nullptr;
	wchar_t *pattern = wide_concat(w, w[wcslen(w) - 1] == L'\\' ? L"*" : L"\\*");
	free(w);
	DIR *dir = (DIR *)xmalloc(sizeof *dir);
	// Without the short names, and in large batches: fewer calls per entry.
	dir->find = FindFirstFileExW(pattern, FindExInfoBasic, &dir->found, FindExSearchNameMatch, nullptr,
	                             FIND_FIRST_EX_LARGE_FETCH);
	DWORD code = GetLastError();
	free(pattern);
	dir->pending = dir->find != INVALID_HANDLE_VALUE;
	if (!dir->pending && code != ERROR_FILE_NOT_FOUND) {
		free(dir);
		errno = error_number(code);
		return nullptr;
	}
	return dir;
}

struct dirent *readdir(DIR *dir)
{
	if (!dir->pending) {
		if (dir->find == INVALID_HANDLE_VALUE)
			return nullptr;
		if (!FindNextFileW(dir->find, &dir->found)) {
			if (GetLastError() != ERROR_NO_MORE_FILES)
				system_failed();
			return nullptr;
		}
	}
	dir->pending = 0;
	if (to_utf8(dir->found.cFileName, dir->entry.d_name, (int)sizeof dir->entry.d_name) != 0)
		return nullptr;
	return &dir->entry;
}

int closedir(DIR *dir)
{
	if (dir->find != INVALID_HANDLE_VALUE)
		FindClose(dir->find);
	free(dir);
	return 0;
}

// ---------------------------------------------------------------------
// Acts on files
// ---------------------------------------------------------------------

int open_source(const char *path)
{
	return by_wide_path(path, [](const wchar_t *w) { return _wopen(w, O_RDONLY | O_BINARY); });
}

int open_dest(const char *path)
{
	FileStatus st;
	if (link_status(path, &st) == 0 && S_ISLNK(st.st_mode)) {
		errno = ELOOP;
		return -1;
	}
	return by_wide_path(path, [](const wchar_t *w) {
		return _wopen(w, O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, S_IRUSR | S_IWUSR);
	});
}

// Exact whole seconds through the item's handle: the reckoning of the
// status above, so that a copy reads back with its source's times.
int set_times(int, const char *path, const FileStatus *st)
{
	return by_wide_path(path, [st](const wchar_t *w) {
		HANDLE h = open_item(w, FILE_WRITE_ATTRIBUTES);
		if (h == INVALID_HANDLE_VALUE)
			return system_failed();
		FILETIME atime = to_file_time(st->st_atime), mtime = to_file_time(st->st_mtime);
		int rc = SetFileTime(h, nullptr, &atime, &mtime) ? 0 : system_failed();
		CloseHandle(h);
		return rc;
	});
}

int path_chmod(const char *path, unsigned mode)
{
	return by_wide_path(path, [mode](const wchar_t *w) { return _wchmod(w, (int)mode); });
}

int open_temp_at(int, const char *, const char *path, unsigned)
{
	return by_wide_path(path, [](const wchar_t *w) {
		return _wopen(w, O_WRONLY | O_CREAT | O_EXCL | O_BINARY, S_IRUSR | S_IWUSR);
	});
}

// A read-only file refuses to be replaced until its attribute is cleared.
int rename_at(int, const char *, const char *from_path, const char *, const char *to_path)
{
	wchar_t *from = wide_path(from_path), *to = from ? wide_path(to_path) : nullptr;
	int rc = -1;
	if (to != nullptr) {
		rc = MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : system_failed();
		DWORD attributes = GetFileAttributesW(to);
		if (rc != 0 && errno == EACCES && attributes != INVALID_FILE_ATTRIBUTES &&
		    (attributes & FILE_ATTRIBUTE_READONLY) &&
		    SetFileAttributesW(to, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY)) {
			rc = MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : system_failed();
			if (rc != 0) { // the old version stays as it was
				int err = errno;
				SetFileAttributesW(to, attributes);
				errno = err;
			}
		}
	}
	free(from);
	free(to);
	return rc;
}

int path_unlink(const char *path)
{
	return by_wide_path(path, [](const wchar_t *w) { return _wunlink(w); });
}

int path_rmdir(const char *path)
{
	return by_wide_path(path, [](const wchar_t *w) { return _wrmdir(w); });
}

int path_mkdir(const char *path)
{
	return by_wide_path(path, [](const wchar_t *w) { return _wmkdir(w); });
}

// ---------------------------------------------------------------------
// The calls the program makes, in the Windows way
// ---------------------------------------------------------------------

int write_text(FILE *f, const char *text)
{
	return tm_fputs(text, f);
}

// Both count as separators in what the user types.
int is_separator(int c) { return c == '\\' || c == '/'; }

user_id_t current_user(void) { return 0; }

group_id_t current_group(void) { return 0; }

// The status record has whole seconds only.
int32_t mtime_nanos(const FileStatus *) { return 0; }

void set_nanos(FileStatus *, int32_t) {}

// The runtime has no copy of its own between two files.
ssize_t kernel_copy(int, int, size_t)
{
	errno = ENOSYS;
	return -1;
}

// Entries by their full path: the system has no calls relative to a
// directory that the program uses.
int stat_entry(int, const char *, const char *full, FileStatus *st)
{
	return file_status(full, st);
}

int lstat_entry(int, const char *, const char *full, FileStatus *st)
{
	return link_status(full, st);
}

int entry_is_link(int, const struct dirent *, const char *full)
{
	FileStatus st;
	return link_status(full, &st) == 0 && S_ISLNK(st.st_mode);
}

int open_source_at(int, const char *, const char *path) { return open_source(path); }

// The system tells nothing of which files' data is in memory: every file
// is taken to be, so that only a destination's round trips send copies to
// the workers.
int data_in_memory(int, const char *) { return 1; }

int set_times_at(int, const char *, const char *path, const FileStatus *st)
{
	return set_times(-1, path, st);
}

int set_mode(int, const char *path, unsigned mode) { return path_chmod(path, mode); }

int open_dir_at(int, const char *, const char *path, int follow)
{
	FileStatus st;
	if (file_status(path, &st) != 0)
		return -1;
	if (!S_ISDIR(st.st_mode)) {
		errno = ENOTDIR;
		return -1;
	}
	if (!follow && link_status(path, &st) == 0 && S_ISLNK(st.st_mode)) {
		errno = ELOOP;
		return -1;
	}
	return 0;
}

int fd_status(int, const char *path, FileStatus *st) { return file_status(path, st); }

int open_reader(DirReader *r, int, const char *path)
{
	r->dir = open_dir(path);
	return r->dir == nullptr;
}

const struct dirent *read_entry(DirReader *r) { return readdir(r->dir); }

void close_reader(DirReader *r) { closedir(r->dir); }

void close_dir(int) {}

int open_dest_at(int, const char *, const char *path) { return open_dest(path); }

int unlink_at(int, const char *, const char *path) { return path_unlink(path); }

int rmdir_at(int, const char *, const char *path) { return path_rmdir(path); }

// A link to a directory goes as a directory does.
int unlink_link_at(int, const char *, const char *path) { return path_rmdir(path); }

int mkdir_at(int, const char *, const char *path) { return path_mkdir(path); }

int lstat_at(int, const char *, const char *path, FileStatus *st) { return link_status(path, st); }

int chmod_at(int, const char *, const char *path, unsigned mode) { return path_chmod(path, mode); }

// The runtime's own text, copied into the caller's buffer: no text is
// kept where another thread's error could overwrite it.
const char *error_text(int err, char *buf, size_t cap)
{
	if (strerror_s(buf, cap, err) != 0)
		snprintf(buf, cap, "Unknown error");
	return buf;
}

// The workers' files are opened through the runtime's table of low-level
// descriptors, which holds 2048 (more in the newer runtime): directories
// are tokens here, so the copies' files are all that draw on it, and no
// call raises it.
int64_t raise_descriptor_limit(void) { return 2048; }

// The process heap is one for all threads already.
void share_heap(void) {}

// The system counts no thread's waits.
int64_t times_waited(void) { return 0; }

// The processor time the system keeps for the thread, in steps of its
// clock tick, beside a steady clock: copies that wait on a share show
// wall time well beyond it.
void thread_clocks(int64_t *wall, int64_t *cpu)
{
	FILETIME created, ended, kernel, user;
	*wall = *cpu = 0;
	if (!GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user))
		return;
	uint64_t k = (uint64_t)kernel.dwHighDateTime << 32 | kernel.dwLowDateTime;
	uint64_t u = (uint64_t)user.dwHighDateTime << 32 | user.dwLowDateTime;
	*cpu = (int64_t)(k + u) * 100;
	*wall = (int64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(
	        std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A copy is written to a named temporary, closed, then put in place by a
// replacing rename: the system has no unnamed files.
int open_unnamed_at(int, unsigned)
{
	errno = EOPNOTSUPP;
	return -1;
}

int link_unnamed_at(int, int, const char *)
{
	errno = EOPNOTSUPP;
	return -1;
}

// Durability: each copy's data is written through to the disk before it
// is closed (the system flushes one file, not a volume, for a user), so
// the batch's own flush has nothing left to do.
int flush_file(int fd) { return _commit(fd); }

int flush_fs(int) { return 0; }

// Free room is not asked for: batches are held to their fixed size.
int64_t free_bytes(int) { return -1; }

// Nothing is kept for a flush at the end of the run.
int keep_dir(int) { return -1; }

int reopen_dir(int fd) { return fd; }

unsigned current_umask(void) { return 0; }

int has_default_acl(int) { return 1; }

// A mounted volume shows another volume serial; a record without one
// tells nothing.
int is_mount_root(int, const char *, const char *, const FileStatus *st,
                         file_dev_t parent_dev)
{
	return st->st_dev != 0 && parent_dev != 0 && st->st_dev != parent_dev;
}

int is_terminal(int fd) { return isatty(fd); }

// Files are copied whole: the runtime tells nothing of holes.
int may_have_holes(const FileStatus *) { return 0; }

void keep_status(EntryStatus *kept, const FileStatus *st)
{
	*kept = {};
	kept->size = st->st_size;
	kept->mtime = (int64_t)st->st_mtime;
	kept->mode = (uint16_t)st->st_mode;
	if (S_ISDIR(st->st_mode)) {
		kept->dir.dev = st->st_dev;
		kept->dir.ino = st->st_ino;
	} else {
		kept->file.atime = (int64_t)st->st_atime;
	}
	kept->shared = st->st_nlink > 1;
}

void view_status(FileStatus *st, const EntryStatus *kept)
{
	*st = {};
	st->st_size = kept->size;
	st->st_mtime = (time_t)kept->mtime;
	st->st_mode = kept->mode;
	if (S_ISDIR(kept->mode)) {
		st->st_dev = kept->dir.dev;
		st->st_ino = kept->dir.ino;
	} else {
		st->st_atime = (time_t)kept->file.atime;
	}
	st->st_nlink = kept->shared ? 2 : 1;
}

int next_data(int, int64_t, int64_t *, int64_t *) { return -1; }

int seek_to(int, int64_t) { return 1; }

int64_t file_length(int) { return -1; }

int truncate_to(int, int64_t) { return 1; }
