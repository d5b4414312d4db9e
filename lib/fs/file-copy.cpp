// FSCopy: byte copy of a regular file, durable before it reports success.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file-op.h"
#include "fs-internal.h"
#include "sys-internal.h"

using bv_internal::g_sys;

namespace {

using bv_internal::UniqueFd;

// Large enough that per-call overhead vanishes, small enough to stay in the
// cache and not to fault in a big mapping for every small file.
constexpr size_t kCopyBufferSize = 1 << 20;
// Bytes per in-kernel transfer, and the stride at which writeback of the
// destination is started while the copy goes on.
constexpr size_t kWritebackStride = size_t(8) << 20;

bool IsOutOfSpace(int err) {
    return err == ENOSPC || err == EDQUOT;
}

int OpenRetry(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = g_sys.open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Starts writeback of what has been copied every few MiB, so that the disk
// works while the copy goes on and the final fsync waits only for the tail
// instead of the whole file. Only a hint: the fsync is what guarantees.
class Writeback {
  public:
    Writeback(int fd, bool enabled) : fd_(fd), enabled_(enabled) {}
    void Advance(size_t n) {
        done_ += static_cast<off_t>(n);
        if (enabled_ && done_ - started_ >= static_cast<off_t>(kWritebackStride)) {
            ::sync_file_range(fd_, started_, done_ - started_, SYNC_FILE_RANGE_WRITE);
            started_ = done_;
        }
    }

  private:
    int fd_;
    bool enabled_;
    off_t done_ = 0;
    off_t started_ = 0;
};

// Lets the kernel move the bytes where it can (no round trip through user
// memory). Any refusal or error simply ends this fast path: the buffered loop
// then continues from the current offsets, reports a persistent error as a
// read or write failure and finds the real end of files whose size the
// kernel does not know.
void CopyInKernel(int in, int out, Writeback* wb) {
    for (;;) {
        ssize_t n = g_sys.copy_file_range(in, nullptr, out, nullptr, kWritebackStride, 0);
        if (n <= 0) return;
        wb->Advance(static_cast<size_t>(n));
    }
}

// Returns 0, -1 or -2 as FSCopy does; logs its own failures.
int CopyBuffered(int in, int out, Writeback* wb) {
    char* buf = static_cast<char*>(std::malloc(kCopyBufferSize));
    if (buf == nullptr) {
        int err = errno;
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): FSCopy: malloc(%d): %s (%d)\n",
                   static_cast<int>(kCopyBufferSize), strerror(err), err);
        return -1;
    }
    int result = 0;
    for (;;) {
        ssize_t n = g_sys.read(in, buf, kCopyBufferSize);
        if (n < 0) {
            int err = errno;
            if (err == EINTR) continue;
            FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): CopyFile: read: %s (%d)\n", strerror(err), err);
            errno = err;
            result = -1;
            break;
        }
        if (n == 0) break;
        ssize_t done = 0;
        while (done < n) {
            ssize_t w = g_sys.write(out, buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                // write() returning 0 for a non-empty buffer means the device
                // takes no more; errno may be stale then, so name the cause.
                int err = (w == 0) ? ENOSPC : errno;
                FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): CopyFile: write: %s (%d)\n", strerror(err),
                           err);
                errno = err;
                result = IsOutOfSpace(err) ? -2 : -1;
                break;
            }
            done += w;
            wb->Advance(static_cast<size_t>(w));
        }
        if (result != 0) break;
    }
    std::free(buf);
    return result;
}

}  // namespace

int FSCopy(const ustring& src, const ustring& dst, bool isDelOrigin) {
    UniqueFd in(OpenRetry(src.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (!in.ok()) {
        int err = errno;
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): CopyFile: open(%s): %s (%d)\n", src.c_str(),
                   strerror(err), err);
        errno = err;
        return -1;
    }
    // Opened without O_TRUNC so that a destination naming the source itself
    // (directly, by a hard link or through a symbolic link) is recognised
    // before anything is lost; truncation follows the check.
    UniqueFd out(OpenRetry(dst.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!out.ok()) {
        int err = errno;
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): CopyFile: open(%s): %s (%d)\n", dst.c_str(),
                   strerror(err), err);
        errno = err;
        // Creating the destination takes an inode and may take a block.
        return IsOutOfSpace(err) ? -2 : -1;
    }
    struct stat in_st, out_st;
    if (g_sys.fstat(in.get(), &in_st) != 0 || g_sys.fstat(out.get(), &out_st) != 0) {
        int err = errno;
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): CopyFile: fstat: %s (%d)\n", strerror(err), err);
        errno = err;
        return -1;
    }
    if (in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino) {
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): CopyFile: '%s' and '%s' are the same file\n",
                   src.c_str(), dst.c_str());
        return -1;
    }
    if (S_ISREG(out_st.st_mode) && out_st.st_size != 0 && g_sys.ftruncate(out.get(), 0) != 0) {
        int err = errno;
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): CopyFile: ftruncate(%s): %s (%d)\n", dst.c_str(),
                   strerror(err), err);
        errno = err;
        return IsOutOfSpace(err) ? -2 : -1;
    }

    const bool regular = S_ISREG(in_st.st_mode) && S_ISREG(out_st.st_mode);
    Writeback wb(out.get(), S_ISREG(out_st.st_mode));
    if (regular) {
        ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        CopyInKernel(in.get(), out.get(), &wb);
    }
    int result = CopyBuffered(in.get(), out.get(), &wb);
    // The caller learns the errno of the first failure, not of the flush and
    // closes that follow it.
    int err = errno;
    in.reset();

    // A copy still in the page cache may vanish with a crash or fail to reach
    // a full device; only a clean flush and close make it a copy. The source
    // is never removed before that. EINVAL from fsync: the destination is a
    // special file that has nothing to flush.
    if (g_sys.fsync(out.get()) != 0 && result == 0 && errno != EINVAL) {
        err = errno;
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): CopyFile: fsync(%s): %s (%d)\n", dst.c_str(),
                   strerror(err), err);
        result = IsOutOfSpace(err) ? -2 : -1;
    }
    if (out.Close() != 0 && result == 0) {
        err = errno;
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): CopyFile: close(%s): %s (%d)\n", dst.c_str(),
                   strerror(err), err);
        result = IsOutOfSpace(err) ? -2 : -1;
    }
    if (result == 0 && isDelOrigin && g_sys.unlink(src.c_str()) != 0) {
        err = errno;
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): CopyFile: unlink(%s): %s (%d)\n", src.c_str(),
                   strerror(err), err);
        result = -1;
    }
    errno = err;
    return result;
}
