#!/usr/bin/env bash
# about: generated trees mirrored onto sshfs shares served by a private sshd on 127.0.0.1, one of them from a folder that folds letter case, with many workers and with one, about 40 s
# Network-share stage: a private sshd on a free loopback port, with a host
# key and a client key of its own made here, serves a folder on this
# machine's disk, and sshfs mounts it.  Generated trees are mirrored onto the
# mount with the program's own number of workers and with one (a limit of
# 192 open files leaves it one): standard output, standard error, exit
# status and the resulting tree must be the same, and a second run copies
# nothing.  A second share is served from an exFAT image (through FUSE), a
# folder that folds letter case, and its source holds two names that differ
# only in case: one worker and many must still leave the same tree and say
# the same.  Nothing of the system's own ssh configuration is read or
# changed; sshd and the mounts end with the stage.
set -uo pipefail
cd "$(dirname "$0")/.."
echo "stage_shares: started"
skip() {
	echo "stage_shares: skipped, $1"
	exit 0
}
fail() {
	echo "stage_shares: failed, $1"
	exit 1
}
[ "$(id -u)" -eq 0 ] || skip "mounting needs root"
for tool in sshd ssh-keygen sshfs fusermount prlimit python3; do
	command -v "$tool" >/dev/null || skip "no $tool here"
done
[ -c /dev/fuse ] || skip "no FUSE (/dev/fuse)"

build=${TREEMIR_BUILD:-build}
if [ ! -x "$build/treemir" ]; then
	cmake -S . -B "$build" >/dev/null && cmake --build "$build" --target treemir -j2 >/dev/null ||
		fail "the program did not build"
fi
bin=$(cd "$build" && pwd)/treemir

# On the disk, not in memory: the share must wait on a real file system.
work=$(mktemp -d /var/tmp/treemir-shares.XXXXXX)
sshd_pid="" mounts=() loops=()
cleanup() {
	local m
	for m in "${mounts[@]}"; do
		fusermount -u "$m" 2>/dev/null || umount -l "$m" 2>/dev/null
	done
	[ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null && wait "$sshd_pid" 2>/dev/null
	for m in "${loops[@]}"; do losetup -d "$m" 2>/dev/null; done
	rm -rf "$work"
}
trap cleanup EXIT

# sshd refuses to start without its privilege-separation folder.
[ -d /run/sshd ] || mkdir -p -m 0755 /run/sshd || skip "no /run/sshd for sshd"
keys=$work/keys
mkdir -m 0700 "$keys"
ssh-keygen -q -t ed25519 -N '' -f "$keys/host" && ssh-keygen -q -t ed25519 -N '' -f "$keys/client" ||
	skip "ssh-keygen could not make keys"
cp "$keys/client.pub" "$keys/authorized"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$keys/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $keys/host
AuthorizedKeysFile $keys/authorized
PidFile $keys/sshd.pid
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
EOF
"$(command -v sshd)" -D -e -f "$keys/sshd_config" 2>"$work/sshd.log" &
sshd_pid=$!
for _ in $(seq 50); do
	python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 0.2)" 2>/dev/null && break
	kill -0 "$sshd_pid" 2>/dev/null || skip "sshd did not start: $(tail -n 1 "$work/sshd.log")"
	sleep 0.1
done

# Mounts the folder served (on this machine) on mnt through sshd.
mount_share() { # served mnt
	mkdir -p "$2"
	timeout 30 sshfs "root@127.0.0.1:$1" "$2" -p "$port" \
		-o IdentityFile="$keys/client",StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null \
		-o BatchMode=yes,LogLevel=ERROR -F /dev/null >"$work/sshfs.log" 2>&1 || return 1
	mounts+=("$2")
}
unmount_share() { # mnt
	fusermount -u "$1" || fail "$1 could not be unmounted"
	local m kept=()
	for m in "${mounts[@]}"; do [ "$m" = "$1" ] || kept+=("$m"); done
	mounts=("${kept[@]}")
}

served=$work/served
mkdir "$served"
mount_share "$served" "$work/share" || skip "sshfs could not mount through sshd: $(tail -n 1 "$work/sshfs.log")"

# A tree: name, top directories, files in each, with a few larger than one
# buffer (those the walk copies itself), a read-only file and odd modes.
make_tree() { # root dirs files
	local root=$1 dirs=$2 files=$3 d f
	mkdir -p "$root"
	for d in $(seq "$dirs"); do
		mkdir -p "$root/d$d/sub"
		for f in $(seq "$files"); do
			printf 'file %s of %s\n%*s\n' "$f" "$d" $((f * 37 % 3000)) x >"$root/d$d/f$f"
		done
		printf 'deeper %s\n' "$d" >"$root/d$d/sub/deep"
		head -c $((1100000 + d)) /dev/zero | tr '\0' "$d" >"$root/d$d/large"
		chmod 0640 "$root/d$d/f1"
		chmod 0444 "$root/d$d/f2"
	done
	touch -d @1600000001.5 "$root/d1/f3"
}

# What a tree holds, to compare two: every entry's type and mode, each
# file's size, time to the second and data (directories keep the times of
# their last change).
describe() { # root
	(cd "$1" && find . -mindepth 1 \( -type d -printf '%p %y %m\n' \) -o \
		\( -printf '%p %y %s %m %TY%Tm%Td%TH%TM%TS\n' \) | sed 's/\.[0-9]*$//' | LC_ALL=C sort &&
		find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r md5sum)
}

# One run: its standard output (the timing of its summary left out),
# standard error and exit status, in files named after tag.
run() { # tag limit source dest
	local tag=$1 limit=() status=0
	[ "$2" = one ] && limit=(prlimit --nofile=192:192)
	timeout 120 "${limit[@]}" "$bin" "$3" "$4" >"$work/$tag.out" 2>"$work/$tag.err" || status=$?
	echo "$status" >"$work/$tag.status"
	sed -i "s/ in [0-9]* second(s)\$//" "$work/$tag.out"
}
same_file() { # a b what-differs
	cmp -s "$1" "$2" || { diff "$1" "$2" | head -n 20; fail "$3"; }
}
same_run() { # what tagA tagB
	local x
	for x in out err status; do
		same_file "$work/$2.$x" "$work/$3.$x" "$1: the $x of many workers and of one differ"
	done
}
summary_of() { # tag
	tail -n 1 "$work/$1.out" | tr '\r' '\n' | tail -n 1
}

# Mirrors source onto dest (a folder below the mount), served from backing,
# with many workers and with one, each onto the same starting tree on a
# fresh mount; then once more with each, which must copy nothing where
# rest is 1, and leave a mirror of the source, its modes compared where
# modes is 1.
compare_runs() { # name source served mnt dest-below rest modes
	local name=$1 S=$2 served=$3 mnt=$4 below=$5 rest=$6 modes=$7 tag
	rm -rf "$served/$below.start"
	cp -a "$served/$below" "$served/$below.start" 2>/dev/null || mkdir -p "$served/$below.start"
	for tag in many one; do
		unmount_share "$mnt"
		rm -rf "$served/$below" && cp -a "$served/$below.start" "$served/$below"
		mount_share "$served" "$mnt" || fail "$name: the share could not be mounted again"
		run "$name-$tag" "$tag" "$S" "$mnt/$below"
		describe "$served/$below" >"$work/$name-$tag.tree"
		unmount_share "$mnt"
		mount_share "$served" "$mnt" || fail "$name: the share could not be mounted again"
		run "$name-$tag-again" "$tag" "$S" "$mnt/$below"
	done
	same_run "$name" "$name-many" "$name-one"
	same_run "$name, the second run" "$name-many-again" "$name-one-again"
	same_file "$work/$name-many.tree" "$work/$name-one.tree" "$name: the trees of many workers and of one differ"
	if [ "$rest" = 1 ]; then
		[ "$(cat "$work/$name-many.status")" = 0 ] && [ ! -s "$work/$name-many.err" ] || {
			cat "$work/$name-many.err"
			fail "$name: the run failed"
		}
		# exFAT shows one mode for every item: there the modes are left out.
		local keep='modes || NF < 3 { print; next } { $3 = $4 = ""; print }'
		describe "$S" | awk -v modes="$modes" "$keep" >"$work/$name-source.tree"
		awk -v modes="$modes" "$keep" "$work/$name-many.tree" >"$work/$name-mirror.tree"
		cmp -s "$work/$name-source.tree" "$work/$name-mirror.tree" || {
			diff "$work/$name-source.tree" "$work/$name-mirror.tree" | tail -n 8
			fail "$name: the mirror differs from its source"
		}
		case "$(summary_of "$name-many-again")" in
		*",0 copied,0 deleted") ;;
		*) fail "$name: the second run did something: $(summary_of "$name-many-again")" ;;
		esac
	fi
	rm -rf "$served/$below.start"
}

passed=()
S1=$work/src1
make_tree "$S1" 8 40
mkdir -p "$served/D"
compare_runs "initial copy" "$S1" "$served" "$work/share" D 1 1
passed+=("an initial copy")

# Changes of every kind against the mirror: rewritten, removed, added
# files and a directory gone.
for d in 1 3 5; do printf 'changed %s\n' "$d" >"$S1/d$d/f7"; done
rm -f "$S1/d2/f9" "$S1/d4/f10"
rm -rf "$S1/d6/sub"
for f in 1 2 3 4 5; do printf 'new %s\n' "$f" >"$S1/d7/new$f"; done
compare_runs "changes" "$S1" "$served" "$work/share" D 1 1
passed+=("changes")

# A share served from a folder that folds letter case.
folded=""
if command -v mkfs.exfat >/dev/null && command -v mount.exfat-fuse >/dev/null &&
	truncate -s 64M "$work/exfat.img" && mkfs.exfat "$work/exfat.img" >/dev/null 2>&1; then
	if dev=$(losetup -f --show "$work/exfat.img" 2>/dev/null); then
		loops+=("$dev")
		mkdir "$work/exserved"
		if timeout 30 mount.exfat-fuse "$dev" "$work/exserved" >/dev/null 2>&1; then
			mounts+=("$work/exserved")
			folded=1
		fi
	fi
fi
if [ -n "$folded" ]; then
	mount_share "$work/exserved" "$work/exshare" || fail "the exFAT share could not be mounted"
	S2=$work/src2
	make_tree "$S2" 3 20
	mkdir -p "$work/exserved/D"
	compare_runs "a folding share" "$S2" "$work/exserved" "$work/exshare" D 1 0
	# Two names that fold to one: the later in name order must win, as
	# with one worker, and each run says the same with many.
	mkdir -p "$S2/d2/cases"
	for f in Ab aB ab AB; do printf 'this is %s\n' "$f" >"$S2/d2/cases/$f"; done
	printf 'lower\n' >"$S2/d3/name" && printf 'UPPER\n' >"$S2/d3/NAME"
	compare_runs "names that fold to one" "$S2" "$work/exserved" "$work/exshare" D 0 0
	passed+=("a share that folds case")
else
	echo "stage_shares: no exFAT image could be mounted here: the folding share is left out"
fi

echo "stage_shares: passed: ${passed[*]}"
