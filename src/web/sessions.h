// Signed-in users and failed sign-ins, in memory (a restart signs everyone out). A session is
// known by a random token in its cookie and carries its own token against cross-site requests;
// it ends after `idleMs` unused or `lifeMs` in all. Failed sign-ins lock out the name that was
// tried (kLockOutFailures within kLockOutWindowMs lock it for kLockOutMs), and the address that
// tried after four times as many (behind a reverse proxy every sign-in comes from one address).
#pragma once

#include <map>
#include <optional>

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include "users.h"

namespace tarvo::web {

struct Session {
    QString user;
    Role role = Role::Viewer;
    QByteArray csrf;
    qint64 startedMs = 0;
    qint64 usedMs = 0;
};

class Sessions {
public:
    static constexpr int kLockOutFailures = 5;
    static constexpr int kAddressLockOutFailures = 4 * kLockOutFailures;
    static constexpr qint64 kLockOutWindowMs = 10 * 60 * 1000;
    static constexpr qint64 kLockOutMs = 5 * 60 * 1000;
    static constexpr std::size_t kMaxSessions = 1000;

    Sessions(qint64 idleMs, qint64 lifeMs) : idleMs_(idleMs), lifeMs_(lifeMs) {}

    // A new session; its token (for the cookie) in `token`.
    const Session& open(const QString& user, Role role, qint64 nowMs, QByteArray& token);
    // The session of a cookie's token, its use noted; none when unknown or expired.
    const Session* find(const QByteArray& token, qint64 nowMs);
    void close(const QByteArray& token);
    qint64 idleMs() const { return idleMs_; }

    // How long a sign-in by `user` from `from` must still wait; 0 when it may try.
    qint64 lockedFor(const QString& user, const QHostAddress& from, qint64 nowMs) const;
    void failed(const QString& user, const QHostAddress& from, qint64 nowMs);
    void succeeded(const QString& user, const QHostAddress& from);

private:
    struct Failures {
        int count = 0;
        qint64 firstMs = 0;
        qint64 lockedUntilMs = 0;
    };
    static QByteArray key(const QByteArray& token);
    void expire(qint64 nowMs);
    qint64 lockedFor(const std::map<QString, Failures>& table, const QString& k, qint64 nowMs) const;
    static void count(std::map<QString, Failures>& table, const QString& k, qint64 nowMs, int limit);

    qint64 idleMs_;
    qint64 lifeMs_;
    std::map<QByteArray, Session> sessions_;  // by a digest of the token
    std::map<QString, Failures> byUser_;
    std::map<QString, Failures> byAddress_;
};

// `n` random bytes, as URL-safe base64 without padding.
QByteArray RandomToken(int n = 32);
// Constant-time comparison of two secrets.
bool SameSecret(const QByteArray& a, const QByteArray& b);

}  // namespace tarvo::web
