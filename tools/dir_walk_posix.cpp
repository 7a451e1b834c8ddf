// Folder listing on POSIX: opendir/readdir, and fstatat without following
// links, so a link is reported as one whatever it points at. Paths are the
// bytes given, joined with '/'. Standard output's file is recognised by its
// device and inode number.
#include "dir_walk.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool IsExistingFolder(const char *path) {
    struct stat info;
    return path[0] != 0 && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// Device and inode of the regular file standard output is redirected to;
// found is false for a terminal, a pipe or a closed descriptor.
struct OutputIdentity {
    bool known;
    bool found;
    dev_t device;
    ino_t inode;
};

static OutputIdentity s_output;

static bool IsStandardOutput(const struct stat *info) {
    if (!s_output.known) {
        struct stat out;
        s_output.known = true;
        s_output.found = fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode);
        s_output.device = out.st_dev;
        s_output.inode = out.st_ino;
    }
    return s_output.found && info->st_dev == s_output.device && info->st_ino == s_output.inode;
}

static FolderEntryKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return EntryFile;
    if (S_ISDIR(mode)) return EntryFolder;
    if (S_ISLNK(mode)) return EntryLink;
    return EntryOther;
}

bool ListFolder(const char *root, const char *relativeFolder, FolderVisitor visit, void *context,
                char *why, int whyBytes) {
    char path[PATH_MAX];
    int length = relativeFolder[0] == 0 ? snprintf(path, sizeof path, "%s", root)
                                        : snprintf(path, sizeof path, "%s/%s", root, relativeFolder);
    if (length < 0 || length >= int(sizeof path)) {
        snprintf(why, size_t(whyBytes), "the path is too long");
        return false;
    }
    DIR *folder = opendir(path);
    if (folder == nullptr) {
        snprintf(why, size_t(whyBytes), "%s", strerror(errno));
        return false;
    }
    bool ok = true;
    for (;;) {
        errno = 0;
        struct dirent *item = readdir(folder);
        if (item == nullptr) {
            if (errno != 0) {
                snprintf(why, size_t(whyBytes), "%s", strerror(errno));
                ok = false;
            }
            break;
        }
        const char *name = item->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        struct stat info;
        if (fstatat(dirfd(folder), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            // Gone since readdir, or unreadable: either way the listing is not whole.
            snprintf(why, size_t(whyBytes), "cannot examine '%s': %s", name, strerror(errno));
            ok = false;
            break;
        }
        FolderEntry entry;
        snprintf(entry.name, sizeof entry.name, "%s", name);
        entry.kind = KindOf(info.st_mode);
        entry.size = int64_t(info.st_size);
        entry.isStandardOutput = entry.kind == EntryFile && IsStandardOutput(&info);
        entry.nameExact = true;  // bytes as stored; the caller judges their encoding
        visit(context, &entry);
    }
    closedir(folder);
    return ok;
}
