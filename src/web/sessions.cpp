#include "sessions.h"

#include <sodium.h>

namespace tarvo::web {

namespace {
// The failure tables are bounded: beyond this many names or addresses the oldest go.
constexpr std::size_t kMaxFailureEntries = 4096;
}  // namespace

QByteArray RandomToken(int n) {
    CryptoReady();
    QByteArray raw(n, '\0');
    randombytes_buf(raw.data(), static_cast<size_t>(raw.size()));
    return raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool SameSecret(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size() || a.isEmpty()) return false;
    return sodium_memcmp(a.constData(), b.constData(), static_cast<size_t>(a.size())) == 0;
}

QByteArray Sessions::key(const QByteArray& token) {
    unsigned char digest[32];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(token.constData()),
                       static_cast<unsigned long long>(token.size()), nullptr, 0);
    return QByteArray(reinterpret_cast<const char*>(digest), sizeof digest);
}

void Sessions::expire(qint64 nowMs) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        const Session& s = it->second;
        if (nowMs - s.usedMs >= idleMs_ || nowMs - s.startedMs >= lifeMs_)
            it = sessions_.erase(it);
        else
            ++it;
    }
}

const Session& Sessions::open(const QString& user, Role role, qint64 nowMs, QByteArray& token) {
    expire(nowMs);
    if (sessions_.size() >= kMaxSessions) {
        // The least recently used gives way.
        auto oldest = sessions_.begin();
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
            if (it->second.usedMs < oldest->second.usedMs) oldest = it;
        sessions_.erase(oldest);
    }
    token = RandomToken();
    Session s{user, role, RandomToken(), nowMs, nowMs};
    return sessions_.insert_or_assign(key(token), s).first->second;
}

const Session* Sessions::find(const QByteArray& token, qint64 nowMs) {
    if (token.isEmpty() || token.size() > 128) return nullptr;
    auto it = sessions_.find(key(token));
    if (it == sessions_.end()) return nullptr;
    Session& s = it->second;
    if (nowMs - s.usedMs >= idleMs_ || nowMs - s.startedMs >= lifeMs_) {
        sessions_.erase(it);
        return nullptr;
    }
    s.usedMs = nowMs;
    return &s;
}

void Sessions::close(const QByteArray& token) { sessions_.erase(key(token)); }

qint64 Sessions::lockedFor(const std::map<QString, Failures>& table, const QString& k, qint64 nowMs) const {
    auto it = table.find(k);
    if (it == table.end() || it->second.lockedUntilMs <= nowMs) return 0;
    return it->second.lockedUntilMs - nowMs;
}

qint64 Sessions::lockedFor(const QString& user, const QHostAddress& from, qint64 nowMs) const {
    return std::max(lockedFor(byUser_, user, nowMs), lockedFor(byAddress_, from.toString(), nowMs));
}

void Sessions::count(std::map<QString, Failures>& table, const QString& k, qint64 nowMs, int limit) {
    if (table.size() >= kMaxFailureEntries && !table.count(k)) {
        auto oldest = table.begin();
        for (auto it = table.begin(); it != table.end(); ++it)
            if (it->second.firstMs < oldest->second.firstMs) oldest = it;
        table.erase(oldest);
    }
    Failures& f = table[k];
    if (f.count == 0 || nowMs - f.firstMs > kLockOutWindowMs) {
        f.count = 0;  // a lock already set stays until it ends
        f.firstMs = nowMs;
    }
    if (++f.count >= limit) {
        f.lockedUntilMs = nowMs + kLockOutMs;
        f.count = 0;
    }
}

void Sessions::failed(const QString& user, const QHostAddress& from, qint64 nowMs) {
    count(byUser_, user, nowMs, kLockOutFailures);
    count(byAddress_, from.toString(), nowMs, kAddressLockOutFailures);
}

void Sessions::succeeded(const QString& user, const QHostAddress& from) {
    byUser_.erase(user);
    byAddress_.erase(from.toString());
}

}  // namespace tarvo::web
