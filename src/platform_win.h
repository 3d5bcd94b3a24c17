// The Windows half of the platform seam, as its two files share it: the
// wide calls by the long form of a path (platform_win.cpp: names, paths,
// console; platform_win_files.cpp: status, directories, acts on files).
#ifndef TREEMIR_PLATFORM_WIN_H
#define TREEMIR_PLATFORM_WIN_H

#include <windows.h>

#include "platform.h"

typedef struct tm_dir DIR;
// The system's error as an errno value; sets errno from the system's last
// error and answers -1.
int error_number(DWORD code);
int system_failed(void);
// The UTF-16 form of a UTF-8 string, allocated; null with errno EILSEQ.
wchar_t *to_wide(const char *s);
// The UTF-8 form of a UTF-16 string, allocated; null with errno EILSEQ;
// or into out (size bytes), answering 1 with errno EILSEQ or ENAMETOOLONG.
char *utf8_copy(const wchar_t *w);
int to_utf8(const wchar_t *w, char *out, int size);
// Whether a wide path starts with a drive letter and its colon.
int has_drive(const wchar_t *p);
// An allocated copy of a followed by b.
wchar_t *wide_concat(const wchar_t *a, const wchar_t *b);
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


#endif
