#include "store/plain_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <QFile>

namespace tarvo {

namespace {

QString systemError(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

PlainFile ReadPlainFile(const QString& path, qint64 limit, qint64 maxSize) {
    PlainFile out;
    const QByteArray name = QFile::encodeName(path);
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    Descriptor fd(::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        const int err = errno;
        out.status = (err == ENOENT || err == ENOTDIR) ? PlainFile::Missing : PlainFile::NoAccess;
        out.error = systemError(err);
        return out;
    }
    // What was opened is checked, not what the path named a moment before.
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        out.status = PlainFile::Failed;
        out.error = systemError(errno);
        return out;
    }
    if (!S_ISREG(st.st_mode)) {
        out.status = PlainFile::NotPlain;
        return out;
    }
    out.size = st.st_size;
    out.modified = static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    if (out.size > maxSize) {
        out.status = PlainFile::TooLarge;
        return out;
    }
    if (out.size == 0) {
        char probe = 0;
        ssize_t n;
        do {
            n = ::read(fd.get(), &probe, 1);
        } while (n < 0 && errno == EINTR);
        // Something to read in a file of no size, or a read that would wait: not a plain file.
        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
            out.status = PlainFile::NotPlain;
            return out;
        }
        if (n < 0) {
            out.status = PlainFile::Failed;
            out.error = systemError(errno);
            return out;
        }
    }
    const qint64 wanted = std::clamp<qint64>(limit, 0, out.size);
    out.bytes.resize(wanted);
    qint64 got = 0;
    while (got < wanted) {
        const ssize_t n =
            ::read(fd.get(), out.bytes.data() + got, static_cast<size_t>(wanted - got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            out.status = PlainFile::Failed;
            out.error = systemError(errno);
            out.bytes.clear();
            return out;
        }
        if (n == 0) break;  // cut short meanwhile: what is there is what the file holds
        got += n;
    }
    out.bytes.truncate(got);
    out.status = PlainFile::Read;
    return out;
}

}  // namespace tarvo
