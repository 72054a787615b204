/* A fake hidraw layer for Wine's device host, loaded with LD_PRELOAD.
 *
 * Wine's HID bus (winebus, inside winedevice.exe) finds hidraw devices with
 * libudev and talks to /dev/hidrawN with ioctls. This library gives it the
 * keyboards of the model host (model_host.cpp) instead of the machine's own:
 *
 *  - /sys/class and /sys/devices/vantel-usb are answered from the model
 *    host's tree under $VANTEL_FAKEHID_DIR/sys, whose directories report the
 *    sysfs magic (libudev ignores any other file system);
 *  - /dev/hidrawN opens two connections to the model host: the descriptor the
 *    caller gets carries input reports (poll and read work unchanged), the
 *    other carries the ioctls, so that the reading thread never swallows an
 *    ioctl's answer;
 *  - the uevent netlink socket becomes a connection on which the model host
 *    sends kernel-format uevents, received as if from the kernel (sender
 *    group 1, root credentials), and /run/udev/control is absent, as it is
 *    where no udev daemon runs.
 *
 * Everything else passes straight to the C library.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <unistd.h>

#define SYSFS_MAGIC 0x62656572
#define MAX_FDS 4096

static char g_dir[1024];  /* $VANTEL_FAKEHID_DIR */
static char g_sys[1100];  /* its sys folder, standing in for /sys */
static size_t g_sys_len;

enum fake_kind { NONE = 0, NODE, MONITOR };
static struct {
    enum fake_kind kind;
    int ioctl_fd;
    pthread_mutex_t lock;
} g_fds[MAX_FDS];

#define REAL(name) static __typeof__(name) *real_##name; if (!real_##name) real_##name = dlsym(RTLD_NEXT, #name)

__attribute__((constructor)) static void fakehid_init(void) {
    const char *dir = getenv("VANTEL_FAKEHID_DIR");
    if (!dir || !*dir || strlen(dir) >= sizeof g_dir) return;
    strcpy(g_dir, dir);
    snprintf(g_sys, sizeof g_sys, "%s/sys", g_dir);
    g_sys_len = strlen(g_sys);
    for (int i = 0; i < MAX_FDS; ++i) pthread_mutex_init(&g_fds[i].lock, NULL);
}

/* The parts of /sys that the model host provides. */
static int faked_sys_path(const char *path) {
    static const char *const prefixes[] = {"/sys/class", "/sys/devices/vantel-usb"};
    for (size_t i = 0; i < sizeof prefixes / sizeof *prefixes; ++i) {
        size_t n = strlen(prefixes[i]);
        if (strncmp(path, prefixes[i], n) == 0 && (path[n] == '\0' || path[n] == '/')) return 1;
    }
    return 0;
}

/* Joins a relative name to the folder of `dirfd`, when the name could lead
 * into a faked part; returns 0 when it cannot. */
static int absolute_of(int dirfd, const char *name, char *out, size_t size) {
    if (name[0] == '/') {
        snprintf(out, size, "%s", name);
        return 1;
    }
    /* Cheap test first: only these first components can enter a faked part
     * from outside the fake tree. */
    size_t first = strcspn(name, "/");
    if (!((first == 3 && strncmp(name, "sys", 3) == 0) || (first == 5 && strncmp(name, "class", 5) == 0) ||
          (first == 10 && strncmp(name, "vantel-usb", 10) == 0)))
        return 0;
    char dir[1024];
    ssize_t n;
    if (dirfd == AT_FDCWD) {
        if (!getcwd(dir, sizeof dir)) return 0;
        n = (ssize_t)strlen(dir);
    } else {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        REAL(readlink);
        n = real_readlink(link, dir, sizeof dir - 1);
        if (n <= 0) return 0;
        dir[n] = '\0';
    }
    snprintf(out, size, "%s%s%s", dir, (n == 1 && dir[0] == '/') ? "" : "/", name);
    return 1;
}

/* The path to use instead of (dirfd, path): `path` itself unless it leads
 * into a faked part of /sys. */
static const char *mapped(int dirfd, const char *path, char *buffer, size_t size) {
    if (!g_dir[0] || !path) return path;
    char full[2048];
    if (!absolute_of(dirfd, path, full, sizeof full)) return path;
    if (!faked_sys_path(full)) return path;
    snprintf(buffer, size, "%s%s", g_sys, full + 4);
    return buffer;
}

static int fd_in_fake_tree(int fd) {
    if (!g_dir[0]) return 0;
    char link[64], target[1024];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    REAL(readlink);
    ssize_t n = real_readlink(link, target, sizeof target - 1);
    if (n <= 0) return 0;
    target[n] = '\0';
    return strncmp(target, g_sys, g_sys_len) == 0;
}

/* ------------------------------------------------------------ model host */

static int connect_host(const char *hello) {
    REAL(socket);
    int fd = real_socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_un addr = {.sun_family = AF_UNIX};
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/host.sock", g_dir);
    char reply[16] = {0};
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) < 0 || send(fd, hello, strlen(hello), 0) < 0 ||
        recv(fd, reply, sizeof reply - 1, 0) <= 0 || strcmp(reply, "ok") != 0) {
        close(fd);
        errno = ENOENT;
        return -1;
    }
    return fd;
}

static int open_node(const char *path) {
    unsigned number;
    int used = 0;
    if (sscanf(path, "/dev/hidraw%u%n", &number, &used) != 1 || path[used] != '\0') return -2;
    char hello[64];
    snprintf(hello, sizeof hello, "read hidraw%u", number);
    int fd = connect_host(hello);
    if (fd < 0) return -1;
    snprintf(hello, sizeof hello, "ioctl hidraw%u", number);
    int ioctl_fd = connect_host(hello);
    if (ioctl_fd < 0 || fd >= MAX_FDS) {
        close(fd);
        if (ioctl_fd >= 0) close(ioctl_fd);
        errno = ENOENT;
        return -1;
    }
    pthread_mutex_lock(&g_fds[fd].lock);
    g_fds[fd].kind = NODE;
    g_fds[fd].ioctl_fd = ioctl_fd;
    pthread_mutex_unlock(&g_fds[fd].lock);
    return fd;
}

/* One ioctl on a node: the request code and the argument buffer go to the
 * host; its answer is the return value, errno and the buffer's new bytes. */
static int node_ioctl(int fd, unsigned long request, void *arg) {
    size_t size = _IOC_SIZE(request);
    unsigned char *message = malloc(8 + size);
    if (!message) return errno = ENOMEM, -1;
    uint32_t header[2] = {(uint32_t)request, (uint32_t)size};
    memcpy(message, header, 8);
    if (size) memcpy(message + 8, arg, size);
    int result = -1, error = ENODEV;
    pthread_mutex_lock(&g_fds[fd].lock);
    int channel = g_fds[fd].ioctl_fd;
    if (send(channel, message, 8 + size, MSG_NOSIGNAL) == (ssize_t)(8 + size)) {
        ssize_t n = recv(channel, message, 8 + size, 0);
        if (n >= 8) {
            int32_t answer[2];
            memcpy(answer, message, 8);
            result = answer[0];
            error = answer[1];
            if (n > 8) memcpy(arg, message + 8, (size_t)n - 8);
        }
    }
    pthread_mutex_unlock(&g_fds[fd].lock);
    free(message);
    if (result < 0) errno = error;
    return result;
}

/* ------------------------------------------------------------ interposed */

static int open_common(int dirfd, const char *path, int flags, mode_t mode) {
    REAL(openat);
    if (g_dir[0] && path && strncmp(path, "/dev/hidraw", 11) == 0) {
        int fd = open_node(path);
        if (fd != -2) return fd;
    }
    char buffer[2048];
    return real_openat(dirfd, mapped(dirfd, path, buffer, sizeof buffer), flags, mode);
}

#define MODE_ARG(flags) \
    mode_t mode = 0; \
    if ((flags) & (O_CREAT | __O_TMPFILE)) { va_list ap; va_start(ap, flags); mode = va_arg(ap, mode_t); va_end(ap); }

int open(const char *path, int flags, ...) { MODE_ARG(flags); return open_common(AT_FDCWD, path, flags, mode); }
int open64(const char *path, int flags, ...) { MODE_ARG(flags); return open_common(AT_FDCWD, path, flags, mode); }
int __open_2(const char *path, int flags) { return open_common(AT_FDCWD, path, flags, 0); }
int __open64_2(const char *path, int flags) { return open_common(AT_FDCWD, path, flags, 0); }
int openat(int dirfd, const char *path, int flags, ...) { MODE_ARG(flags); return open_common(dirfd, path, flags, mode); }
int openat64(int dirfd, const char *path, int flags, ...) { MODE_ARG(flags); return open_common(dirfd, path, flags, mode); }
int __openat_2(int dirfd, const char *path, int flags) { return open_common(dirfd, path, flags, 0); }
int __openat64_2(int dirfd, const char *path, int flags) { return open_common(dirfd, path, flags, 0); }

FILE *fopen(const char *path, const char *how) {
    REAL(fopen);
    char buffer[2048];
    return real_fopen(mapped(AT_FDCWD, path, buffer, sizeof buffer), how);
}
FILE *fopen64(const char *path, const char *how) { return fopen(path, how); }

DIR *opendir(const char *path) {
    REAL(opendir);
    char buffer[2048];
    return real_opendir(mapped(AT_FDCWD, path, buffer, sizeof buffer));
}

#define MAP_AT(fn, ret, proto, ...) \
    ret fn proto { \
        REAL(fn); \
        char buffer[2048]; \
        return real_##fn(__VA_ARGS__); \
    }

#define P(dirfd, path) mapped(dirfd, path, buffer, sizeof buffer)
MAP_AT(stat, int, (const char *path, struct stat *st), P(AT_FDCWD, path), st)
MAP_AT(stat64, int, (const char *path, struct stat64 *st), P(AT_FDCWD, path), st)
MAP_AT(lstat, int, (const char *path, struct stat *st), P(AT_FDCWD, path), st)
MAP_AT(lstat64, int, (const char *path, struct stat64 *st), P(AT_FDCWD, path), st)
MAP_AT(fstatat, int, (int dirfd, const char *path, struct stat *st, int flags), dirfd, P(dirfd, path), st, flags)
MAP_AT(fstatat64, int, (int dirfd, const char *path, struct stat64 *st, int flags), dirfd, P(dirfd, path), st, flags)
MAP_AT(statx, int, (int dirfd, const char *path, int flags, unsigned mask, struct statx *st), dirfd, P(dirfd, path), flags, mask, st)

/* The model's uevents come as the kernel's: no udev daemon runs here, even
 * where the machine has one, so that no process waits for its messages. */
static int udev_control(const char *path) { return g_dir[0] && path && strcmp(path, "/run/udev/control") == 0; }

int access(const char *path, int how) {
    REAL(access);
    char buffer[2048];
    if (udev_control(path)) return errno = ENOENT, -1;
    return real_access(P(AT_FDCWD, path), how);
}
MAP_AT(faccessat, int, (int dirfd, const char *path, int how, int flags), dirfd, P(dirfd, path), how, flags)
MAP_AT(readlink, ssize_t, (const char *path, char *out, size_t size), P(AT_FDCWD, path), out, size)
MAP_AT(readlinkat, ssize_t, (int dirfd, const char *path, char *out, size_t size), dirfd, P(dirfd, path), out, size)
MAP_AT(statfs, int, (const char *path, struct statfs *st), P(AT_FDCWD, path), st)
MAP_AT(statfs64, int, (const char *path, struct statfs64 *st), P(AT_FDCWD, path), st)

char *realpath(const char *path, char *resolved) {
    REAL(realpath);
    char buffer[2048];
    const char *use = mapped(AT_FDCWD, path, buffer, sizeof buffer);
    char *out = real_realpath(use, resolved);
    /* Give the answer in /sys terms again. */
    if (out && use != path && strncmp(out, g_sys, g_sys_len) == 0) {
        memmove(out + 4, out + g_sys_len, strlen(out + g_sys_len) + 1);
        memcpy(out, "/sys", 4);
    }
    return out;
}

int fstatfs(int fd, struct statfs *st) {
    REAL(fstatfs);
    int r = real_fstatfs(fd, st);
    if (r == 0 && fd_in_fake_tree(fd)) st->f_type = SYSFS_MAGIC;
    return r;
}

int fstatfs64(int fd, struct statfs64 *st) {
    REAL(fstatfs64);
    int r = real_fstatfs64(fd, st);
    if (r == 0 && fd_in_fake_tree(fd)) st->f_type = SYSFS_MAGIC;
    return r;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd >= 0 && fd < MAX_FDS && g_fds[fd].kind == NODE && _IOC_TYPE(request) == 'H') {
        return node_ioctl(fd, request, arg);
    }
    REAL(ioctl);
    return real_ioctl(fd, request, arg);
}

int close(int fd) {
    REAL(close);
    if (fd >= 0 && fd < MAX_FDS && g_fds[fd].kind != NONE) {
        pthread_mutex_lock(&g_fds[fd].lock);
        if (g_fds[fd].kind == NODE) real_close(g_fds[fd].ioctl_fd);
        g_fds[fd].kind = NONE;
        pthread_mutex_unlock(&g_fds[fd].lock);
    }
    return real_close(fd);
}

/* The uevent socket. */
int socket(int domain, int type, int protocol) {
    REAL(socket);
    if (g_dir[0] && domain == AF_NETLINK && protocol == NETLINK_KOBJECT_UEVENT) {
        int fd = connect_host("monitor");
        if (fd >= 0 && fd < MAX_FDS) {
            if (type & SOCK_NONBLOCK) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            g_fds[fd].kind = MONITOR;
            return fd;
        }
        if (fd >= 0) close(fd);
    }
    return real_socket(domain, type, protocol);
}

static int is_monitor(int fd) { return fd >= 0 && fd < MAX_FDS && g_fds[fd].kind == MONITOR; }

int bind(int fd, const struct sockaddr *addr, socklen_t length) {
    REAL(bind);
    if (is_monitor(fd)) return 0;
    return real_bind(fd, addr, length);
}

int setsockopt(int fd, int level, int name, const void *value, socklen_t length) {
    REAL(setsockopt);
    if (is_monitor(fd)) return 0;
    return real_setsockopt(fd, level, name, value, length);
}

int getsockname(int fd, struct sockaddr *addr, socklen_t *length) {
    REAL(getsockname);
    if (is_monitor(fd)) {
        struct sockaddr_nl nl = {.nl_family = AF_NETLINK, .nl_pid = (uint32_t)getpid()};
        size_t n = *length < sizeof nl ? *length : sizeof nl;
        memcpy(addr, &nl, n);
        *length = sizeof nl;
        return 0;
    }
    return real_getsockname(fd, addr, length);
}

ssize_t recvmsg(int fd, struct msghdr *msg, int flags) {
    REAL(recvmsg);
    if (!is_monitor(fd)) return real_recvmsg(fd, msg, flags);
    struct msghdr plain = *msg;
    plain.msg_name = NULL;
    plain.msg_namelen = 0;
    plain.msg_control = NULL;
    plain.msg_controllen = 0;
    ssize_t n = real_recvmsg(fd, &plain, flags & ~MSG_CMSG_CLOEXEC);
    if (n < 0) return n;
    msg->msg_flags = plain.msg_flags;
    if (msg->msg_name && msg->msg_namelen >= sizeof(struct sockaddr_nl)) {
        struct sockaddr_nl kernel = {.nl_family = AF_NETLINK, .nl_pid = 0, .nl_groups = 1};
        memcpy(msg->msg_name, &kernel, sizeof kernel);
        msg->msg_namelen = sizeof kernel;
    }
    if (msg->msg_control && msg->msg_controllen >= CMSG_SPACE(sizeof(struct ucred))) {
        struct cmsghdr *c = (struct cmsghdr *)msg->msg_control;
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_CREDENTIALS;
        c->cmsg_len = CMSG_LEN(sizeof(struct ucred));
        struct ucred root = {.pid = 0, .uid = 0, .gid = 0};
        memcpy(CMSG_DATA(c), &root, sizeof root);
        msg->msg_controllen = CMSG_SPACE(sizeof(struct ucred));
    } else {
        msg->msg_controllen = 0;
    }
    return n;
}
