// The Windows side of the platform seam (see platform.h).
#include <windows.h>
#include <sys/utime.h>

#include "platform.h"

#include <cctype>

// Gives a record an identity that no other record has.
static void unknown_identity(struct tm_stat *st)
{
	static uint64_t count;
	st->st_dev = UINT64_MAX;
	st->st_ino = count++;
}

// Fills the identity of a directory from its handle, when it can be read:
// the volume serial and the file id (128 bits where the file system has
// them, folded; the 64-bit file index where only that is known).
static void read_identity(const char *path, struct tm_stat *st)
{
	HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
	                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
	if (h == INVALID_HANDLE_VALUE)
		return;
	FILE_ID_INFO id;
	BY_HANDLE_FILE_INFORMATION info;
	if (GetFileInformationByHandleEx(h, FileIdInfo, &id, sizeof id)) {
		uint64_t half[2];
		memcpy(half, id.FileId.Identifier, sizeof half);
		st->st_dev = id.VolumeSerialNumber;
		st->st_ino = half[0] ^ half[1];
	} else if (GetFileInformationByHandle(h, &info)) {
		st->st_dev = info.dwVolumeSerialNumber;
		st->st_ino = (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow;
	}
	CloseHandle(h);
}

int tm_stat(const char *path, struct tm_stat *st)
{
	struct _stat64 raw;
	if (_stat64(path, &raw) != 0)
		return -1;
	st->st_mode = raw.st_mode;
	st->st_size = raw.st_size;
	st->st_atime = raw.st_atime;
	st->st_mtime = raw.st_mtime;
	st->st_ctime = raw.st_ctime;
	st->st_uid = st->st_gid = 0;
	st->st_nlink = raw.st_nlink; // the runtime counts one name
	unknown_identity(st);
	if (S_ISDIR(raw.st_mode)) // files are never compared
		read_identity(path, st);
	return 0;
}

int lstat(const char *path, struct tm_stat *st)
{
	WIN32_FIND_DATAA found;
	HANDLE h = FindFirstFileA(path, &found);
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
	return tm_stat(path, st);
}

// The runtime's opendir looks into the directory only at the first readdir,
// where a failure reads as the end of an empty directory; so the listing is
// tried first.  Only a drive root can hold no entry at all.
DIR *open_dir(const char *path)
{
	char pattern[PATH_MAX + 3];
	size_t len = strlen(path);
	if (len + 3 > sizeof pattern) {
		errno = ENAMETOOLONG;
		return nullptr;
	}
	snprintf(pattern, sizeof pattern, "%s%s*", path, len && path[len - 1] == '\\' ? "" : "\\");
	WIN32_FIND_DATAA found;
	HANDLE h = FindFirstFileA(pattern, &found);
	if (h != INVALID_HANDLE_VALUE) {
		FindClose(h);
	} else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
		errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
		return nullptr;
	}
	return opendir(path);
}

char *full_path(const char *path)
{
	HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
	                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
	if (h == INVALID_HANDLE_VALUE)
		return nullptr;
	char buf[4096];
	DWORD n = GetFinalPathNameByHandleA(h, buf, sizeof buf, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
	CloseHandle(h);
	if (n == 0 || n >= sizeof buf)
		return nullptr;
	// The answer comes as \\?\C:\... or \\?\UNC\server\share\...
	const char *p = buf;
	if (strncmp(p, "\\\\?\\UNC\\", 8) == 0) {
		p += 6;
		buf[6] = '\\';
	} else if (strncmp(p, "\\\\?\\", 4) == 0) {
		p += 4;
	}
	return strdup(p);
}

int open_dest(const char *path)
{
	struct stat st;
	if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
		errno = ELOOP;
		return -1;
	}
	return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, S_IRUSR | S_IWUSR);
}

int set_times(int, const char *path, const struct stat *st)
{
	struct __utimbuf64 times = {st->st_atime, st->st_mtime};
	return _utime64(path, &times);
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

// The volume's file-system name tells, but for FAT: it keeps modification
// times in steps of 2 seconds, and the way it stores a time between two
// steps (Windows itself goes up to the next step) is found out by trying,
// as elsewhere.  NTFS, exFAT and ReFS keep
// times finer than the whole seconds the runtime sets.  The runtime's
// modes are the read-only attribute alone, which every one of them keeps.
int volume_kind(int, const char *path, VolumeKind *kind)
{
	*kind = {KEEPS_MODES, KEEPS_MODES, 1, 0, 0};
	wchar_t wide[PATH_MAX], root[PATH_MAX + 1], name[MAX_PATH + 1];
	if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, PATH_MAX) == 0 ||
	    !GetVolumePathNameW(wide, root, PATH_MAX))
		return 1;
	size_t n = wcslen(root);
	if (n > 0 && root[n - 1] != L'\\') // the volume's root needs its separator
		wcscpy(root + n, L"\\");
	if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1))
		return 1;
	if (wcsncmp(name, L"FAT", 3) != 0) // FAT, FAT12, FAT16, FAT32
		return 1;
	*kind = {KEEPS_WRITE_BIT, KEEPS_NO_MODES, 2, 1, 0};
	return 0;
}
