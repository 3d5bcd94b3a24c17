// Workers beside the walk.
//
// Workers read directory pairs ahead of the walk and copy small files, so
// that a cold disk has many requests in flight.  They decide nothing,
// remove and create nothing, and print nothing: a job records its output
// (put_text), and the walk takes the jobs in its own order and replays
// them where its own acts would have printed.  A job that no worker has
// started when the walk needs it is run by the walk itself, so the walk
// never waits for work nobody does.  Jobs are made and freed by the walk,
// except that a worker reading a pair ahead queues that pair's
// subdirectories below it (Listed.kids), up to listed_cap pairs in all.
//
// A pair read ahead is used only where it was read whole: a side that
// could not be opened or read is read again by the walk, with today's
// words, so a worker's own want of descriptors never shows.  The
// destination side is read relative to the parent's open directory and
// without following links, and it is used only if it is the very
// directory the parent's listing showed; the walk changes nothing in a
// subdirectory before it descends into it.  The listings are snapshots in
// any case: they are only taken a little earlier.
#include "workers.h"
#include "console.h"
#include "copy.h"
#include "listing.h"

#include <condition_variable>
#include <mutex>
#include <thread>

enum {
	MAX_WORKERS = 16,
	RESERVED_FDS = 128,   // for the walk's own directories, one per level
	FDS_PER_WORKER = 64,  // two per pair read ahead, two per copy
	AHEAD_PER_WORKER = 8,
	AHEAD_ENTRIES = 8192, // entries in the pairs read ahead and being read
	COPY_WINDOW = 64,     // the most copies queued ahead of the one the walk takes
};

static struct {
	std::mutex lock;
	std::condition_variable wake; // a job was queued, or the pool stops
	std::condition_variable done; // the job the walk waits for ended
	Job *awaited;
	Job flushes;                  // barriers of sealed batches, taken first
	Job copies;                   // first in, first out
	Job listings;                 // last in, first out: the nearest pairs
	int stopping;
	int listed;                   // pairs read ahead, not yet freed
	int listed_cap;
	int64_t entries;              // their entries, both sides
	int32_t copy_window;          // copies queued at once
	int64_t fd_limit;
	int32_t walk_depth;           // pairs the walk holds open
	int32_t reading;              // pairs workers are reading
	int64_t pairs_read, entries_read;
	std::thread *threads;
	int count;
} pool;

static void queue_job(Job *head, Job *job, int at_front)
{
	Job *after = at_front ? head : head->prev;
	job->state = JOB_QUEUED;
	job->prev = after;
	job->next = after->next;
	after->next->prev = job;
	after->next = job;
}

static void unqueue_job(Job *job)
{
	job->prev->next = job->next;
	job->next->prev = job->prev;
}

// Whether one more pair may be read ahead: the pairs read and being read
// (at the average size so far) must hold fewer than AHEAD_ENTRIES entries.
static int room_to_read(void)
{
	if (pool.pairs_read == 0)
		return pool.reading == 0; // the size of a pair is not known yet
	int64_t average = pool.entries_read / pool.pairs_read;
	return pool.entries + (pool.reading + 1) * average < AHEAD_ENTRIES;
}

// The next job for a worker: a barrier, a copy, else a pair to read while
// there is room.
static Job *next_job(void)
{
	Job *head = pool.flushes.next != &pool.flushes ? &pool.flushes
	            : pool.copies.next != &pool.copies ? &pool.copies : &pool.listings;
	Job *job = head->next;
	if (job == head || (head == &pool.listings && !room_to_read()))
		return nullptr;
	unqueue_job(job);
	return job;
}

// Set on the workers' threads: a pair the walk reads itself, because no
// worker had started it, is the walk's at once and needs no cap.
static thread_local int on_worker;

static void worker_loop(void)
{
	on_worker = 1;
	std::unique_lock<std::mutex> hold(pool.lock);
	for (;;) {
		Job *job = next_job();
		if (job == nullptr && pool.stopping)
			break;
		if (job == nullptr) {
			pool.wake.wait(hold);
			continue;
		}
		job->state = JOB_RUNNING;
		pool.reading += job->kind == JOB_LIST;
		hold.unlock();
		job->run(job);
		hold.lock();
		pool.reading -= job->kind == JOB_LIST;
		job->state = JOB_DONE;
		if (job == pool.awaited)
			pool.done.notify_one();
	}
	hold.unlock();
	free_copy_buffer();
}

// Runs a queued job on the walk's own thread.
static void run_here(Job *job, std::unique_lock<std::mutex> &hold)
{
	unqueue_job(job);
	job->state = JOB_RUNNING;
	hold.unlock();
	job->run(job);
	hold.lock();
	job->state = JOB_DONE;
}

// Waits for a job a worker runs.  While a copy is awaited, the walk takes
// the next queued copy itself (it needs them all, and soon) instead of
// sleeping: a thread woken for every small file costs more than the file.
static void await_job(Job *job, std::unique_lock<std::mutex> &hold)
{
	while (job->state != JOB_DONE) {
		if (job->kind == JOB_COPY && pool.copies.next != &pool.copies) {
			run_here(pool.copies.next, hold);
			continue;
		}
		pool.awaited = job;
		pool.done.wait(hold);
		pool.awaited = nullptr;
	}
}

// Waits for a job the walk needs, running it itself if no worker has.
void finish_job(Job *job)
{
	std::unique_lock<std::mutex> hold(pool.lock);
	if (job->state == JOB_QUEUED)
		run_here(job, hold);
	else
		await_job(job, hold);
}

// Takes back a job the walk no longer needs; answers 1 if it never ran.
int cancel_job(Job *job)
{
	std::unique_lock<std::mutex> hold(pool.lock);
	if (job->state == JOB_QUEUED) {
		unqueue_job(job);
		return 1;
	}
	await_job(job, hold);
	return 0;
}

// The workers the run can afford: each holds descriptors of its own, and
// the walk keeps RESERVED_FDS for its own directories.  One worker is the
// walk alone.  Their threads start only once the walk is seen to wait.
void start_workers(int64_t fd_limit)
{
	int64_t n = (fd_limit - RESERVED_FDS) / FDS_PER_WORKER;
	run.workers = n < 1 ? 1 : n > MAX_WORKERS ? MAX_WORKERS : (int32_t)n;
	pool.flushes.next = pool.flushes.prev = &pool.flushes;
	pool.copies.next = pool.copies.prev = &pool.copies;
	pool.listings.next = pool.listings.prev = &pool.listings;
	if (run.workers == 1)
		return;
	share_heap();
	pool.listed_cap = run.workers * AHEAD_PER_WORKER;
	pool.fd_limit = fd_limit;
	// Reading ahead waits on the disk, and gains from every request in
	// flight; copying spends processor time in the kernel, and more
	// copies than processors only contend for them.
	unsigned cores = std::thread::hardware_concurrency();
	pool.copy_window = cores == 0 || cores >= COPY_WINDOW / 2 ? COPY_WINDOW : 2 * (int32_t)cores;
}

// Starts the workers' threads, the first time a read or a copy would wait
// on a disk.  Where all is in memory the walk is faster alone: handing
// work over costs more than doing it.  On the walk's thread.
void start_threads(void)
{
	if (pool.count > 0 || run.workers == 1)
		return;
	pool.threads = new std::thread[run.workers];
	for (pool.count = 0; pool.count < run.workers; pool.count++)
		pool.threads[pool.count] = std::thread(worker_loop);
}

void stop_workers(void)
{
	if (pool.count == 0)
		return;
	{
		std::lock_guard<std::mutex> hold(pool.lock);
		pool.stopping = 1;
	}
	pool.wake.notify_all();
	for (int i = 0; i < pool.count; i++)
		pool.threads[i].join();
	delete[] pool.threads;
	pool.count = 0;
}

int32_t worker_count(void)
{
	return pool.count;
}

// Copies that wait on round trips spend no processor time while they wait:
// as many are queued as the window holds.
int32_t copy_window(int round_trips)
{
	return round_trips ? COPY_WINDOW : pool.copy_window;
}

void submit_job(Job *job)
{
	Job *head = job->kind == JOB_FLUSH ? &pool.flushes : job->kind == JOB_COPY ? &pool.copies : &pool.listings;
	{
		std::lock_guard<std::mutex> hold(pool.lock);
		queue_job(head, job, 0);
	}
	pool.wake.notify_one();
}

enum { MAX_PARTS = 4 };

int parts_beside(void)
{
	if (run.workers == 1)
		return 1;
	unsigned cores = std::thread::hardware_concurrency();
	int parts = cores < 2 ? 1 : cores > MAX_PARTS ? MAX_PARTS : (int)cores;
	return parts < run.workers ? parts : run.workers;
}

struct PartJob {
	Job job;
	void (*fn)(void *part);
	void *part;
};

static void run_part(Job *job)
{
	PartJob *p = (PartJob *)job;
	p->fn(p->part);
}

// Parts go in the copies' queue, which the workers take before pairs to
// read ahead: the walk waits for them.
void run_beside(void (*fn)(void *part), void **parts, int n)
{
	PartJob jobs[MAX_PARTS];
	start_threads();
	for (int i = 0; i < n - 1; i++) {
		jobs[i] = {{nullptr, nullptr, JOB_COPY, JOB_QUEUED, run_part}, fn, parts[i]};
		submit_job(&jobs[i].job);
	}
	fn(parts[n - 1]);
	for (int i = 0; i < n - 1; i++)
		finish_job(&jobs[i].job);
}

int stop_reading_ahead(void)
{
	std::lock_guard<std::mutex> hold(pool.lock);
	if (pool.listed == 0)
		return 0;
	pool.listed_cap = 0;
	return 1;
}

void count_walk_depth(int step)
{
	if (run.workers == 1)
		return;
	std::lock_guard<std::mutex> hold(pool.lock);
	pool.walk_depth += step;
}


// How many more pairs may be read ahead: each holds two descriptors, which
// the walk, two a level, must never run short of; together they hold no
// more than an eighth of the limit.  Under pool.lock.
static int32_t ahead_room(void)
{
	int64_t spare = pool.fd_limit - RESERVED_FDS / 2 - 2 * (int64_t)pool.walk_depth - 4 * (int64_t)pool.count;
	int64_t fds = spare < pool.fd_limit / 8 ? spare : pool.fd_limit / 8;
	int64_t room = fds / 2 - pool.listed;
	if (pool.listed_cap - pool.listed < room)
		room = pool.listed_cap - pool.listed;
	return room > 0 ? (int32_t)room : 0;
}

static void read_ahead_job(Job *job);

// Queues a pair read ahead of the walk for each subdirectory of a pair
// whose destination directory is open in dst_fd and that has none yet,
// the last first, so that the first is the next taken; within the caps on
// what is read ahead.  Only below a pair whose reading waited: where it
// did not, the tree is in memory, and the walk reads it faster itself.
void queue_kids(const Side *src, int dst_fd, const char *dst_path, Listed ***kids, int32_t *count)
{
	if (!src->waited)
		return;
	const EntryList *dirs = &src->list.dirs;
	if (*kids == nullptr && (*kids = (Listed **)calloc((size_t)dirs->count, sizeof **kids)) == nullptr)
		return;
	*count = dirs->count;
	std::unique_lock<std::mutex> hold(pool.lock);
	int32_t room = ahead_room(), last = -1, queued = 0;
	for (int32_t i = 0; i < dirs->count && room > 0; i++)
		if ((*kids)[i] == nullptr)
			last = i, room--;
	for (int32_t i = last; i >= 0; i--) {
		if ((*kids)[i] != nullptr)
			continue;
		const char *name = dirs->index[i]->name;
		size_t slen = strlen(src->path) + strlen(name) + 2, dlen = strlen(dst_path) + strlen(name) + 2;
		if (slen > PATH_BUF || dlen > PATH_BUF)
			continue; // the walk reports it
		Listed *l = (Listed *)calloc(1, sizeof *l);
		if (l == nullptr)
			break;
		l->src_path = (char *)xmalloc(slen);
		l->dst_path = (char *)xmalloc(dlen);
		join_path(l->src_path, slen, src->path, name);
		join_path(l->dst_path, dlen, dst_path, name);
		l->parent = dst_fd;
		l->name = name;
		l->job.kind = JOB_LIST;
		l->job.run = read_ahead_job;
		queue_job(&pool.listings, &l->job, 1);
		pool.listed++;
		queued++;
		(*kids)[i] = l;
	}
	hold.unlock();
	// As many workers woken as there are pairs: waking all of them for
	// one would cost more than the pair.
	for (int32_t i = 0; i < queued && i < pool.count; i++)
		pool.wake.notify_one();
}

// The entries a pair being read may hold: its share, among the pairs
// being read, of what the budget has left beside the pairs read (-1: any
// number, on the walk's thread).  Under pool.lock.
static int64_t entries_allowed(void)
{
	if (!on_worker)
		return -1;
	int64_t room = AHEAD_ENTRIES - pool.entries;
	return room > 0 ? room / (pool.reading > 0 ? pool.reading : 1) : 0;
}

static int64_t side_entries(const Side *side)
{
	return (int64_t)side->list.files.count + side->list.dirs.count;
}

// A side read ahead that outgrew the budget is given up, its output with
// it: the walk reads it itself, when it comes to it, and holds it alone.
static int give_up_if_cut(Side *side, Recording *out)
{
	if (!listing_cut())
		return 0;
	close_side(side);
	free_recording(out);
	return 1;
}

// A worker's reading of a pair: the source by its path, as the walk reads
// it, then the destination relative to its parent; each side's output
// kept for the walk.  Together they hold no more than the budget's room:
// a larger directory is read by the walk alone.
static void read_ahead(Listed *l)
{
	int64_t cap;
	{
		std::lock_guard<std::mutex> hold(pool.lock);
		cap = entries_allowed();
	}
	Item src = {CURRENT_DIR, l->src_path, l->src_path};
	int64_t waits = times_waited();
	record_into(&l->src_out);
	cap_listing(cap);
	l->src_ok = scan_at(&src, 1, 0, &l->src, nullptr) == 0 && !give_up_if_cut(&l->src, &l->src_out);
	record_into(&l->dst_out);
	if (l->src_ok) {
		init_side(&l->dst, l->dst_path);
		cap_listing(cap < 0 ? -1 : cap - side_entries(&l->src));
		l->dst.fd = open_dir_at(l->parent, l->name, l->dst_path, 0);
		l->dst_ok = l->dst.fd >= 0 && list_side(&l->dst, 1, &l->src) == 0 && !give_up_if_cut(&l->dst, &l->dst_out);
	}
	record_into(nullptr);
	cap_listing(-1);
	l->src.waited = times_waited() != waits;
	l->entries = l->src_ok ? side_entries(&l->src) : 0;
	// What the destination keeps of the source's files counts as entries:
	// it costs less than one each.
	if (l->dst_ok)
		l->entries += side_entries(&l->dst) + (l->dst.list.marks != nullptr ? l->src.list.files.count : 0);
	{
		std::lock_guard<std::mutex> hold(pool.lock);
		pool.entries += l->entries;
		pool.entries_read += l->entries;
		pool.pairs_read++;
	}
	if (l->dst_ok)
		queue_kids(&l->src, l->dst.fd, l->dst_path, &l->kids, &l->kid_count);
}

static void read_ahead_job(Job *job)
{
	read_ahead((Listed *)job);
}

void drop_kids(Listed ***kids, int32_t *count)
{
	for (int32_t i = 0; i < *count; i++)
		drop_listed((*kids)[i]);
	free(*kids);
	*kids = nullptr;
	*count = 0;
}

// Gives up the destination side of a pair read ahead, and all that was
// read below it, relative to it.
void drop_dest(Listed *l)
{
	drop_kids(&l->kids, &l->kid_count);
	if (l->dst_ok)
		close_side(&l->dst);
	l->dst_ok = 0;
	free_recording(&l->dst_out);
}

// Frees a pair read ahead, with whatever of it the walk did not take.
void drop_listed(Listed *l)
{
	if (l == nullptr)
		return;
	cancel_job(&l->job);
	drop_dest(l);
	if (l->src_ok)
		close_side(&l->src);
	free_recording(&l->src_out);
	free(l->src_path);
	free(l->dst_path);
	std::lock_guard<std::mutex> hold(pool.lock);
	pool.listed--;
	pool.entries -= l->entries;
	free(l);
	if (pool.listings.next != &pool.listings)
		pool.wake.notify_one(); // a pair held back by the cap may be read now
}
