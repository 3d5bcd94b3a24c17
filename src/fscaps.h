// What a destination file system keeps of a status: every comparison of
// modes and times, and every status change, asks here.
#ifndef TREEMIR_FSCAPS_H
#define TREEMIR_FSCAPS_H

#include "treemir.h"

// What each destination file system keeps of a status, found once per
// device: from its type where that tells, else by giving a new file of its
// own a mode and an odd-second time and reading them back, else from the
// first copy made there.  Comparisons and status changes then ask only for
// what it can hold, so a second run over FAT, exFAT or NTFS finds nothing
// to do and no mode change it cannot make is tried.
struct FsCaps {
	file_dev_t dev;
	VolumeKind kind;
	int settled;    // known, not assumed
	int written;    // the run changed something there
	int flush_kept; // flush_fd, a directory there, is kept for the end of the run
	int flush_fd;
	char *flush_path;
	int case_known;   // folds_case was found out
	int folds_case;   // two names that differ in case may be one file
	int copies_wait;  // the walk's copies there wait more than they compute
	int64_t walk_copies, walk_wall, walk_cpu; // what the walk's copies there took
};

// The permission bits a copy receives (no set-ID bit of another owner).
mode_t copy_permissions(const FileStatus *status);
// The file system of the open directory dir_fd (dir) on device dev, found
// out the first time it is met; of a device met before; or the assumption
// (every bit kept, whole seconds) where nothing is known.
FsCaps *find_fs(int dir_fd, const char *dir, file_dev_t dev);
// The same as far as its type tells (settled where that is enough), with
// nothing written there: for the walk, before it knows it may write.
FsCaps *known_fs(int dir_fd, const char *dir, file_dev_t dev);
FsCaps *fs_of(file_dev_t dev);
FsCaps *fs_assumed(void);
// KEEPS_* for an item of this status there.
int modes_kept(const FsCaps *fs, const FileStatus *status);
// Whether the destination shows the permission bits the source's become.
int same_mode(const FsCaps *fs, const FileStatus *src, const FileStatus *dst);
// How far src's modification time lies after dst's, in the finest step
// both dst's file system and its stored time show: > 0 later, < 0 earlier.
int64_t time_after(const FsCaps *fs, const FileStatus *src, const FileStatus *dst);
// Whether a file of status src is copied onto one of status dst.
int files_differ(const FsCaps *fs, const FileStatus *src, const FileStatus *dst);
// The mode to ask for so that an item as it stands now gets what fs keeps
// of want; 0 when no change is to be asked for.
int mode_to_set(const FsCaps *fs, const FileStatus *now, mode_t want, mode_t *mode);
// Learns from a first copy given the mode set (and times_set, or null):
// got is what it shows.
void learn_fs(FsCaps *fs, mode_t set, const FileStatus *times_set, const FileStatus *got);
// Whether two names that differ only in letter case may be one file on the
// file system of the open directory dir_fd (dir): found out once per
// device, on a file of its own; 1 as well while that cannot be told.
int folds_case(FsCaps *fs, int dir_fd, const char *dir);
// Each destination file system the run changed, flushed once more.
void flush_changed_fs(void);

#endif
