// Reading a file named by an operator (a configuration file, a message file) without letting
// whatever is found at that path hold the loop: a FIFO or a device put in the file's place
// between a check and the open would block open() or a read for ever.
#pragma once

#include <limits>

#include <QByteArray>
#include <QString>

namespace tarvo {

struct PlainFile {
    enum Status {
        Read,      // `bytes` holds what was read
        Missing,   // nothing at the path
        NotPlain,  // a directory, FIFO, device or socket, or a file of the system (/proc,
                   // /sys) that says it is empty and is not: nothing was read
        NoAccess,  // it could not be opened
        Failed,    // the read failed
        TooLarge,  // larger than the caller takes: nothing was read (`size` says how large)
    };
    Status status = Missing;
    QByteArray bytes;
    // The file's size and modification time (nanoseconds since the epoch) when it was opened.
    qint64 size = 0;
    qint64 modified = 0;
    // The system's words for a failed open or read.
    QString error;
};

// Opens `path` without blocking, checks that what was opened is a regular file of at most
// `maxSize` bytes (fstat, before a byte is read), and reads at most `limit` bytes of it, and never
// more than its size when it was opened: a file that grows while it is read is not followed. A
// file whose size reads 0 is tried for one byte: the files of /proc and /sys say 0 whatever they
// hold, and are refused as NotPlain, so that what they give is never taken for an empty file.
PlainFile ReadPlainFile(const QString& path, qint64 limit,
                        qint64 maxSize = std::numeric_limits<qint64>::max());

}  // namespace tarvo
