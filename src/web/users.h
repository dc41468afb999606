// The console's users: a file of the engine's own in the program folder, one line a user
// ("NAME ROLE HASH"), the hash libsodium's Argon2id string (crypto_pwhash_str), so that the file
// holds no password. Written whole through a temporary file, readable by its owner only.
#pragma once

#include <optional>
#include <vector>

#include <QByteArray>
#include <QString>

namespace tarvo::web {

enum class Role { Viewer, Editor };

inline const QString kUsersFileName = QStringLiteral("TarvoUsers.txt");

struct User {
    QString name;
    Role role = Role::Viewer;
    QByteArray hash;
};

QString RoleName(Role r);
std::optional<Role> RoleFromName(const QString& name);
// 1 to 64 of letters, digits, '.', '_' and '-'.
bool ValidUserName(const QString& name);

// The users in the file; none when there is no file. False with the reason when it cannot be read
// or a line is not a user (the file is then not used at all).
bool ReadUsers(const QString& path, std::vector<User>& users, QString& error);
// Adds the user, or gives an existing one the new role and password.
bool AddUser(const QString& path, const QString& name, Role role, const QByteArray& password, QString& error);

// Slow on purpose (about a tenth of a second and 64 MiB): never call them on the loop.
QByteArray HashPassword(const QByteArray& password);
bool PasswordMatches(const QByteArray& hash, const QByteArray& password);

// False when libsodium cannot be used on this machine.
bool CryptoReady();

}  // namespace tarvo::web
