#include "users.h"

#include <sodium.h>

#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

namespace tarvo::web {

namespace {
constexpr qint64 kMaxUsersFile = 256 * 1024;
}  // namespace

bool CryptoReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

QString RoleName(Role r) { return r == Role::Editor ? QStringLiteral("editor") : QStringLiteral("viewer"); }

std::optional<Role> RoleFromName(const QString& name) {
    if (name == QLatin1String("viewer")) return Role::Viewer;
    if (name == QLatin1String("editor")) return Role::Editor;
    return std::nullopt;
}

bool ValidUserName(const QString& name) {
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    return re.match(name).hasMatch();
}

bool ReadUsers(const QString& path, std::vector<User>& users, QString& error) {
    users.clear();
    QFile f(path);
    if (!f.exists()) return true;
    if (!f.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return false;
    }
    if (f.size() > kMaxUsersFile) {
        error = QStringLiteral("%1 is larger than %2 KB").arg(path).arg(kMaxUsersFile / 1024);
        return false;
    }
    const QList<QByteArray> lines = f.read(kMaxUsersFile).split('\n');
    int number = 0;
    for (const QByteArray& raw : lines) {
        ++number;
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#')) continue;
        const QList<QByteArray> fields = line.split(' ');
        User u;
        u.name = QString::fromUtf8(fields.value(0));
        const std::optional<Role> role = RoleFromName(QString::fromUtf8(fields.value(1)));
        u.hash = fields.value(2);
        if (fields.size() != 3 || !ValidUserName(u.name) || !role || !u.hash.startsWith("$argon2id$")) {
            error = QStringLiteral("%1 line %2 is not NAME ROLE HASH").arg(path).arg(number);
            users.clear();
            return false;
        }
        u.role = *role;
        users.push_back(u);
    }
    return true;
}

bool AddUser(const QString& path, const QString& name, Role role, const QByteArray& password, QString& error) {
    if (!ValidUserName(name)) {
        error = QStringLiteral("a user name is 1 to 64 letters, digits, '.', '_' or '-'");
        return false;
    }
    if (password.size() < 8) {
        error = QStringLiteral("a password has at least 8 characters");
        return false;
    }
    std::vector<User> users;
    if (!ReadUsers(path, users, error)) return false;
    const QByteArray hash = HashPassword(password);
    if (hash.isEmpty()) {
        error = QStringLiteral("the password could not be hashed (out of memory?)");
        return false;
    }
    bool found = false;
    for (User& u : users) {
        if (u.name != name) continue;
        u.role = role;
        u.hash = hash;
        found = true;
    }
    if (!found) users.push_back({name, role, hash});
    QByteArray text = "# The web console's users: NAME ROLE HASH (tarvo-engined --add-user)\n";
    for (const User& u : users) text += u.name.toUtf8() + ' ' + RoleName(u.role).toUtf8() + ' ' + u.hash + '\n';
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) ||
        !out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || out.write(text) != text.size() ||
        !out.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

QByteArray HashPassword(const QByteArray& password) {
    if (!CryptoReady()) return {};
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(out, password.constData(), static_cast<unsigned long long>(password.size()),
                              crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return {};
    return QByteArray(out);
}

bool PasswordMatches(const QByteArray& hash, const QByteArray& password) {
    if (!CryptoReady() || hash.size() >= crypto_pwhash_STRBYTES) return false;
    return crypto_pwhash_str_verify(hash.constData(), password.constData(),
                                    static_cast<unsigned long long>(password.size())) == 0;
}

}  // namespace tarvo::web
