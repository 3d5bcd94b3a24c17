// The Windows half of the seam, the file system's side: the status of an
// item, volumes, directories and the acts on files, each by the long form
// of its path (platform_win.h), through the wide calls.  A status is the
// C runtime's record, filled from the system's attributes and times; the
// identity of an item comes from its handle where it can be opened.
#include <windows.h>
#include <io.h>

#include "platform_win.h"
#include "treemir.h"

#include <cctype>
#include <cwchar>

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

