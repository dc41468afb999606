// The console's own request parsing, sessions and users file.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "web/http.h"
#include "web/sessions.h"
#include "web/users.h"

namespace tarvo::web {
namespace {

TEST(HttpRequests, AreTakenWhenWholeAndRefusedBeyondTheirBounds) {
    HttpLimits small;
    small.requestLine = 64;
    small.header = 256;
    small.headerFields = 4;
    small.body = 16;
    struct Case {
        const char* name;
        QByteArray bytes;
        ParseStatus status;
        int error;
    };
    const QByteArray longLine = "GET /" + QByteArray(80, 'a') + " HTTP/1.1\r\n\r\n";
    QByteArray manyFields = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 5; ++i) manyFields += "X-" + QByteArray::number(i) + ": 1\r\n";
    manyFields += "\r\n";
    const std::vector<Case> cases = {
        {"whole", "GET /api/status HTTP/1.1\r\nHost: a\r\n\r\n", ParseStatus::Complete, 0},
        {"blank lines first", "\r\n\r\nGET / HTTP/1.1\r\n\r\n", ParseStatus::Complete, 0},
        {"head not ended", "GET / HTTP/1.1\r\nHost: a\r\n", ParseStatus::NeedMore, 0},
        {"body not all here", "POST /api/login HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345", ParseStatus::NeedMore, 0},
        {"request line too long, ended", longLine, ParseStatus::Bad, 414},
        {"request line too long, unended", "GET /" + QByteArray(80, 'a'), ParseStatus::Bad, 414},
        {"head too long", "GET / HTTP/1.1\r\nX: " + QByteArray(300, 'b'), ParseStatus::Bad, 431},
        {"too many fields", manyFields, ParseStatus::Bad, 431},
        {"body too long", "POST / HTTP/1.1\r\nContent-Length: 17\r\n\r\n", ParseStatus::Bad, 413},
        {"two lengths", "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", ParseStatus::Bad, 400},
        {"length not a number", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", ParseStatus::Bad, 400},
        {"chunked", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", ParseStatus::Bad, 501},
        {"HTTP/2 line", "GET / HTTP/2.0\r\n\r\n", ParseStatus::Bad, 505},
        {"no version", "GET /\r\n\r\n", ParseStatus::Bad, 400},
        {"absolute target", "GET http://x/ HTTP/1.1\r\n\r\n", ParseStatus::Bad, 400},
        {"climbing path", "GET /a/%2e%2e/b HTTP/1.1\r\n\r\n", ParseStatus::Bad, 400},
        {"dots in a name", "GET /a/..b HTTP/1.1\r\n\r\n", ParseStatus::Complete, 0},
        {"folded field", "GET / HTTP/1.1\r\nX: a\r\n b\r\n\r\n", ParseStatus::Bad, 400},
        {"field without a name", "GET / HTTP/1.1\r\n: a\r\n\r\n", ParseStatus::Bad, 400},
        {"space before the colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", ParseStatus::Bad, 400},
        {"control in a value", QByteArray("GET / HTTP/1.1\r\nX: a\x01z\r\n\r\n"), ParseStatus::Bad, 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpRequest rq;
        const ParseResult r = ParseRequest(c.bytes, small, rq);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.errorStatus, c.error);
    }
}

TEST(HttpRequests, GiveTheirPartsAndWhereTheNextBegins) {
    const QByteArray two = "POST /api/x?since=5&filter=a+b%21 HTTP/1.1\r\nHost: h:1\r\nCookie: a=1; tarvo_session=\"tok\"\r\n"
                           "Content-Length: 3\r\nConnection: close\r\n\r\nabcGET / HTTP/1.0\r\n\r\n";
    HttpRequest rq;
    const ParseResult r = ParseRequest(two, HttpLimits(), rq);
    ASSERT_EQ(r.status, ParseStatus::Complete);
    EXPECT_EQ(two.mid(r.consumed), "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(rq.method, "POST");
    EXPECT_EQ(rq.path, "/api/x");
    EXPECT_EQ(rq.query.queryItemValue(QStringLiteral("since")), QStringLiteral("5"));
    EXPECT_EQ(rq.query.queryItemValue(QStringLiteral("filter"), QUrl::FullyDecoded), QStringLiteral("a b!"));
    EXPECT_EQ(rq.header("host"), "h:1");
    EXPECT_EQ(rq.body, "abc");
    EXPECT_FALSE(rq.keepAlive());
    EXPECT_EQ(CookieValue(rq.header("cookie"), "tarvo_session"), "tok");
    EXPECT_EQ(CookieValue("xtarvo_session=1; tarvo_sessionx=2", "tarvo_session"), "");

    HttpRequest old;
    ASSERT_EQ(ParseRequest(two.mid(r.consumed), HttpLimits(), old).status, ParseStatus::Complete);
    EXPECT_FALSE(old.keepAlive()) << "HTTP/1.0 closes unless asked otherwise";
}

TEST(ConsoleSessions, ExpireAndLockOutRepeatedFailures) {
    Sessions s(1000, 5000);
    QByteArray token;
    const QByteArray csrf = s.open(QStringLiteral("ann"), Role::Editor, 0, token).csrf;
    EXPECT_FALSE(token.isEmpty());
    EXPECT_NE(csrf, token);
    ASSERT_NE(s.find(token, 900), nullptr) << "used within its idle time";
    ASSERT_NE(s.find(token, 1800), nullptr) << "each use counts from then";
    EXPECT_EQ(s.find(token + "x", 1800), nullptr);
    EXPECT_EQ(s.find(token, 2900), nullptr) << "unused for a second";
    EXPECT_EQ(s.find(token, 3000), nullptr) << "and gone";

    QByteArray busy;
    s.open(QStringLiteral("bob"), Role::Viewer, 0, busy);
    for (qint64 t = 900; t < 5000; t += 900) EXPECT_NE(s.find(busy, t), nullptr);
    EXPECT_EQ(s.find(busy, 5000), nullptr) << "used all along, but over its whole life";

    const QHostAddress here(QStringLiteral("127.0.0.1"));
    const QHostAddress there(QStringLiteral("127.0.0.2"));
    for (int i = 0; i < Sessions::kLockOutFailures - 1; ++i) s.failed(QStringLiteral("ann"), here, 100 + i);
    EXPECT_EQ(s.lockedFor(QStringLiteral("ann"), here, 200), 0);
    s.failed(QStringLiteral("ann"), here, 200);
    EXPECT_EQ(s.lockedFor(QStringLiteral("ann"), there, 200), Sessions::kLockOutMs) << "the name is locked";
    EXPECT_EQ(s.lockedFor(QStringLiteral("cat"), here, 200), 0) << "not yet the address";
    EXPECT_EQ(s.lockedFor(QStringLiteral("ann"), here, 200 + Sessions::kLockOutMs), 0) << "for a while";
    for (int i = 0; i < Sessions::kAddressLockOutFailures; ++i) s.failed(QStringLiteral("n") + QString::number(i), here, 300);
    EXPECT_EQ(s.lockedFor(QStringLiteral("cat"), here, 300), Sessions::kLockOutMs) << "many names from one address";
    EXPECT_EQ(s.lockedFor(QStringLiteral("cat"), there, 300), 0);

    for (int i = 0; i < Sessions::kLockOutFailures - 1; ++i) s.failed(QStringLiteral("dan"), there, i * Sessions::kLockOutWindowMs);
    EXPECT_EQ(s.lockedFor(QStringLiteral("dan"), there, 4 * Sessions::kLockOutWindowMs), 0) << "failures far apart";
}

TEST(ConsoleUsers, AreAddedReplacedAndNeverKeptInClear) {
    QTemporaryDir dir;
    const QString path = dir.filePath(kUsersFileName);
    QString error;
    ASSERT_TRUE(AddUser(path, QStringLiteral("ann"), Role::Viewer, "first password", error)) << error.toStdString();
    ASSERT_TRUE(AddUser(path, QStringLiteral("bob"), Role::Editor, "bob's password", error));
    ASSERT_TRUE(AddUser(path, QStringLiteral("ann"), Role::Editor, "second password", error));
    EXPECT_FALSE(AddUser(path, QStringLiteral("ann bob"), Role::Editor, "a password", error));
    EXPECT_FALSE(AddUser(path, QStringLiteral("eve"), Role::Editor, "short", error));

    std::vector<User> users;
    ASSERT_TRUE(ReadUsers(path, users, error));
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].role, Role::Editor);
    EXPECT_TRUE(PasswordMatches(users[0].hash, "second password"));
    EXPECT_FALSE(PasswordMatches(users[0].hash, "first password"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_FALSE(f.readAll().contains("password"));
    EXPECT_EQ(f.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());

    // A file with a line that is no user is not used at all.
    f.close();
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("mallory editor plaintext\n");
    f.close();
    EXPECT_FALSE(ReadUsers(path, users, error));
    EXPECT_TRUE(users.empty());
}

}  // namespace
}  // namespace tarvo::web
