// The least kernel work any scanner of a tree must do: read every folder with
// getdents64 and stat every entry once. Nothing is kept and hard links are
// counted each time they are seen, so the total is only a sanity figure; the
// time is the floor the real scanner is measured against.
//
// Usage: bramwex_floor_walk [-t THREADS] PATH   prints "BYTES<TAB>ENTRIES".
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

struct linux_dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

// Queued folders are open descriptors, opened relative to their parent while
// it is still open, so no path is ever resolved twice. Past this many queued
// descriptors a thread descends itself instead of queueing (fd limit).
static size_t queue_cap;
static int* queue;
static size_t queued, pending;  // pending = queued + being read
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
static uint64_t total_bytes, total_entries;

struct tally {
    uint64_t bytes, entries;
};

static int push(int fd) {
    pthread_mutex_lock(&lock);
    int ok = queued < queue_cap;
    if (ok) {
        queue[queued++] = fd;
        pending++;
        pthread_cond_signal(&wake);
    }
    pthread_mutex_unlock(&lock);
    return ok;
}

static void walk(int fd, struct tally* t) {
    char buf[32768] __attribute__((aligned(8)));
    long n;
    while ((n = syscall(SYS_getdents64, fd, buf, sizeof buf)) > 0) {
        for (long off = 0; off < n;) {
            struct linux_dirent64* d = (struct linux_dirent64*)(buf + off);
            off += d->d_reclen;
            const char* name = d->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) {
                continue;
            }
            struct stat st;
            if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            t->bytes += (uint64_t)st.st_blocks * 512;
            t->entries++;
            if (S_ISDIR(st.st_mode)) {
                int sub = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0 && !push(sub)) {
                    walk(sub, t);
                }
            }
        }
    }
    close(fd);
}

static void* worker(void* arg) {
    (void)arg;
    struct tally t = {0, 0};
    pthread_mutex_lock(&lock);
    for (;;) {
        while (queued == 0 && pending > 0) {
            pthread_cond_wait(&wake, &lock);
        }
        if (queued == 0) {
            break;
        }
        int fd = queue[--queued];  // newest first keeps the queue short
        pthread_mutex_unlock(&lock);
        walk(fd, &t);
        pthread_mutex_lock(&lock);
        if (--pending == 0) {
            pthread_cond_broadcast(&wake);
        }
    }
    total_bytes += t.bytes;
    total_entries += t.entries;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(int argc, char** argv) {
    int threads = 8, opt;
    while ((opt = getopt(argc, argv, "t:")) != -1) {
        if (opt != 't' || (threads = atoi(optarg)) < 1) {
            fprintf(stderr, "usage: %s [-t THREADS] PATH\n", argv[0]);
            return 2;
        }
    }
    if (optind + 1 != argc) {
        fprintf(stderr, "usage: %s [-t THREADS] PATH\n", argv[0]);
        return 2;
    }
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    queue_cap = rl.rlim_cur > 1024 ? rl.rlim_cur / 2 : 256;
    queue = malloc(queue_cap * sizeof *queue);

    struct stat st;
    int root = open(argv[optind], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0 || fstat(root, &st) != 0 || !queue) {
        perror(argv[optind]);
        return 1;
    }
    total_bytes = (uint64_t)st.st_blocks * 512;
    total_entries = 1;
    push(root);

    pthread_t* ids = calloc((size_t)threads, sizeof *ids);
    for (int i = 0; i < threads; i++) {
        pthread_create(&ids[i], NULL, worker, NULL);
    }
    for (int i = 0; i < threads; i++) {
        pthread_join(ids[i], NULL);
    }
    printf("%llu\t%llu\n", (unsigned long long)total_bytes, (unsigned long long)total_entries);
    return 0;
}
