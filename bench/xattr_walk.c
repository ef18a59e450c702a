/* The peer for qst on an ntfs-3g mount: one thread that walks a tree and,
 * for every entry, asks what qst asks of it (lstat, then the two extended
 * attributes of the raw NTFS times and object ID), printing one line each.
 *
 *     cc -O2 -o xattr_walk bench/xattr_walk.c && ./xattr_walk ROOT
 */
#define _GNU_SOURCE
#include <ftw.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>

static int visit(const char *path, const struct stat *st, int type, struct FTW *ftw) {
  unsigned char times[32], id[64];
  ssize_t t = lgetxattr(path, "system.ntfs_times", times, sizeof times);
  ssize_t o = lgetxattr(path, "system.ntfs_object_id", id, sizeof id);
  printf("%s %lu %zd %zd\n", path, (unsigned long)st->st_ino, t, o);
  (void)type;
  (void)ftw;
  return 0;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s ROOT\n", argv[0]);
    return 2;
  }
  return nftw(argv[1], visit, 64, FTW_PHYS) != 0;
}
