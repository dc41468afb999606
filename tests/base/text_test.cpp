// Texts held by one pointer: copies share, the last holder frees, and whatever a QString field
// allowed (comparing, joining, converting) still gives the same result.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "base/text.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << s.toStdString(); }

namespace tarvo {
namespace {

TEST(Text, HoldsWhatItWasGivenAndComparesAsTheQStringWould) {
    const struct {
        QString given;
    } cases[] = {{QString()}, {QStringLiteral("")}, {QStringLiteral(" ")}, {QStringLiteral("Morning news")},
                 {QStringLiteral("Wedensday")}, {QString::fromUtf8("Ääni – 日本 \xF0\x9F\x8E\xB5")},
                 {QString(70000, QLatin1Char('x'))}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given.left(20).toStdString());
        const Text t = c.given;
        EXPECT_EQ(t.toString(), c.given);
        EXPECT_EQ(QString(t), c.given);
        EXPECT_EQ(t.size(), c.given.size());
        EXPECT_EQ(t.isEmpty(), c.given.isEmpty());
        EXPECT_TRUE(t == c.given);
        EXPECT_TRUE(c.given == t);
        EXPECT_TRUE(t == Text(c.given));
        EXPECT_FALSE(t == c.given + QLatin1Char('!'));
        EXPECT_EQ(t + QStringLiteral(" - Missed"), c.given + QStringLiteral(" - Missed"));
        EXPECT_EQ(QStringLiteral("Title:") + t, QStringLiteral("Title:") + c.given);
    }
    EXPECT_TRUE(Text("Sunday") == "Sunday");
    EXPECT_TRUE(Text("Sunday") == QLatin1String("Sunday"));
    EXPECT_FALSE(Text("Sunday") == "sunday");
}

TEST(Text, CopiesShareAndTheLastHolderFrees) {
    // Under the address sanitizer a double free, a use after free or a leak fails this test.
    std::vector<Text> many;
    {
        Text first = QStringLiteral("shared by many rows");
        for (int i = 0; i < 1000; ++i) many.push_back(first);
        first = first;                      // assigned to itself: still held
        EXPECT_EQ(first, many.front());
        Text moved = std::move(first);
        EXPECT_TRUE(first.isEmpty());       // NOLINT: a moved-from text is empty
        EXPECT_EQ(moved.toString(), QStringLiteral("shared by many rows"));
        moved = Text();
        first = many.back();
    }
    many.resize(1);
    many.front() = many.front();
    EXPECT_EQ(many.front().toString(), QStringLiteral("shared by many rows"));
    Text other = QStringLiteral("other");
    std::swap(other, many.front());
    EXPECT_EQ(other.toString(), QStringLiteral("shared by many rows"));
    EXPECT_EQ(many.front().toString(), QStringLiteral("other"));
}

}  // namespace
}  // namespace tarvo
