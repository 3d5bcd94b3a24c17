// The run driver: the banner, the options, the operands, the workers and
// the walk, the placing of the last copies and the flush of the
// destination, the summary and the exit status.
#include "treemir.h"
#include "console.h"
#include "copy.h"
#include "getopt.h"

// Applies one option; answers -1 to go on, or the exit status to end with.
static int apply_option(int c, const char *arg)
{
	switch (c) {
	case 'q': run.verbose = 0; break;
	case 'h': print_usage(); return 2;
	case 'v': run.verbose = to_int(arg); break;
	case 'x': add_name(&run.exclude_files, arg); break;
	case 'X': add_name(&run.exclude_dirs, arg); break;
	case 'b':
		run.buffer_size = to_int(arg);
		if (run.buffer_size < 1) {
			put_format(stdout, 0, "treemir: invalid -b %d\n", run.buffer_size);
			print_usage();
			return 2;
		}
		break;
	case 'm':
		run.copy_mode = to_int(arg);
		if (run.copy_mode < 0 || run.copy_mode > 1) {
			put_format(stdout, 0, "treemir: invalid -m %d\n", run.copy_mode);
			print_usage();
			return 2;
		}
		break;
	case 'r': run.keep_extra = 1; break;
	case 'e': add_pattern(&run.exclude_patterns, arg); break;
	case '?': print_usage(); return 2;
	default: break;
	}
	return -1;
}

int main(int argc, char **argv)
{
	console_utf8();
	int unreadable = platform_args(&argc, &argv);
	put_text(stdout, "TreeMir " TREEMIR_VERSION " one-way directory tree mirror\n\n", 0);
	run.umask_bits = current_umask();
	run.user = current_user();
	run.group = current_group();
	run.out_terminal = is_terminal(1);
	run.err_terminal = is_terminal(2);
	if (unreadable) {
		put_format(stderr, 0, "\ntreemir: argument %d is not valid Unicode\n", unreadable - 1);
		return 1;
	}
	init_list(&run.exclude_dirs);
	init_list(&run.exclude_files);
	init_patterns(&run.exclude_patterns);
	add_entry(&run.exclude_dirs, ".", nullptr);
	add_entry(&run.exclude_dirs, "..", nullptr);

	int c;
	while ((c = treemir::getopt(argc, argv, "qhv:x:X:b:m:re:")) != -1) {
		int status = apply_option(c, treemir::optarg);
		if (status >= 0)
			return status;
	}
	if (treemir::optind + 2 != argc) {
		put_text(stdout, "treemir: source and destination not specified\n"
		         "please try treemir -h for usage\n", 0);
		return 1;
	}
	run.copy_buffer = (char *)xmalloc((size_t)run.buffer_size);
	use_copy_buffer(run.copy_buffer);
	int64_t fd_limit = raise_descriptor_limit();
	time_t start = time(nullptr);
	char *source = argv[treemir::optind];
	char *dest = argv[treemir::optind + 1];
	trim_separator(source);
	trim_separator(dest);
	if (check_operands(source, dest))
		return 1;
	start_workers(fd_limit);
	init_placing(fd_limit);
	sync_dirs(source, dest);
	finish_placing();
	stop_workers();
	time_t end = time(nullptr);
	if (run.verbose != 0) {
		put_format(stdout, 0, "%lld file(s) checked,%lld copied,%lld deleted in %lld second(s)",
		       (long long)run.checked_count, (long long)run.copied_count,
		       (long long)run.deleted_count, (long long)(end - start));
		if (run.error_count != 0)
			put_format(stdout, 0, ",%lld error(s)", (long long)run.error_count);
		put_text(stdout, "\n", 0);
	}
	if (check_output())
		return 2;
	return run.error_count != 0 ? 2 : 0;
}
