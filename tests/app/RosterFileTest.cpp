#include "RosterFile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using testing::HasSubstr;

QByteArray contentOf(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

void write(const QString& path, const QByteArray& content) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(content), content.size());
}

// Everything an entry carries survives a save and a load, into a folder that does not exist
// yet; the file lists only the functions that differ from the defaults.
TEST(RosterFile, SavesAndLoadsARosterUnchanged) {
    RosterEntry shunter{.name = "Köf II", .address = 10239, .speedMode = 0};
    shunter.functionLabels[0] = "Spitzenlicht";
    shunter.functionLabels[28] = "Glocke – läuten ♪";
    shunter.momentaryFunctions = functionBit(3) | functionBit(28); // and F2 no longer
    const RosterEntry express{.name = "Ταχεία \"Express\" \\ 1", .address = 128, .speedMode = 2};
    const RosterEntry plain{.name = "Class 20", .address = 20};
    Roster roster;
    ASSERT_TRUE(roster.store(shunter));
    ASSERT_TRUE(roster.store(express));
    ASSERT_TRUE(roster.store(plain));

    const QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("data/dcc-cab/roster.json");
    std::string why;
    ASSERT_TRUE(RosterFile::save(roster, path.toStdString(), &why)) << why;
    const RosterFile::Loaded loaded = RosterFile::load(path.toStdString());

    EXPECT_EQ(loaded.problem, std::nullopt);
    EXPECT_EQ(loaded.roster, roster);
    EXPECT_EQ(QString::fromUtf8(contentOf(path)).count("\"number\""), 4); // F0, F2, F3, F28
}

TEST(RosterFile, AMissingFileIsAnEmptyRosterAndOptionalFieldsMayBeLeftOut) {
    const QTemporaryDir dir;
    const QString path = dir.filePath("roster.json");
    const RosterFile::Loaded missing = RosterFile::load(path.toStdString());
    EXPECT_TRUE(missing.roster.entries().empty());
    EXPECT_EQ(missing.problem, std::nullopt);
    EXPECT_TRUE(QDir(dir.path()).isEmpty());

    write(path, R"({"version": 1, "locomotives": [{"name": "Tank", "address": 7,
                   "functions": [{"number": 1, "label": "Bell"}]}]})");
    RosterEntry tank{.name = "Tank", .address = 7};
    tank.functionLabels[1] = "Bell";
    const RosterFile::Loaded loaded = RosterFile::load(path.toStdString());
    EXPECT_EQ(loaded.problem, std::nullopt);
    ASSERT_EQ(loaded.roster.entries().size(), 1U);
    EXPECT_EQ(loaded.roster.entries()[0], tank);
}

// A damaged file gives an empty roster and a problem naming the file and what is wrong; the file
// is kept aside, byte for byte, under a name the problem gives.
TEST(RosterFile, ADamagedFileIsKeptAsideAndGivesAnEmptyRoster) {
    const struct {
        const char* damage;
        QByteArray content;
        const char* told;
    } cases[] = {
        {"not JSON", R"({"version": 1, "locomotives": [)", "not JSON"},
        {"not an object", "[]", "one object"},
        {"no locomotives", R"({"version": 1})", "\"locomotives\""},
        {"address as text", R"({"version": 1, "locomotives": [{"name": "A", "address": "3"}]})",
         "\"address\" the text \"3\""},
        {"unknown field", R"({"version": 1, "locomotives": [{"name": "A", "adress": 3}]})",
         "\"adress\""},
        {"speed steps", R"({"version": 1, "locomotives": [{"name": "A", "address": 3,
          "speedSteps": 27}]})",
         "27"},
        {"duplicate address", R"({"version": 1, "locomotives": [{"name": "A", "address": 3},
          {"name": "B", "address": 3}]})",
         "locomotive 2 (\"B\")"},
        {"address 0", R"({"version": 1, "locomotives": [{"name": "A", "address": 0}]})",
         "locomotive 1 (\"A\")"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.damage);
        const QTemporaryDir dir;
        const QString path = dir.filePath("roster.json");
        write(path, each.content);

        const RosterFile::Loaded loaded = RosterFile::load(path.toStdString());

        EXPECT_TRUE(loaded.roster.entries().empty());
        ASSERT_TRUE(loaded.problem.has_value());
        EXPECT_THAT(*loaded.problem, HasSubstr(path.toStdString() + " is damaged"));
        EXPECT_THAT(*loaded.problem, HasSubstr(each.told));
        const QStringList aside = QDir(dir.path()).entryList({"roster.json.*"}, QDir::Files);
        ASSERT_EQ(aside.size(), 1);
        EXPECT_TRUE(
            QRegularExpression(R"(^roster\.json\.damaged-\d{8}-\d{6}$)").match(aside[0]).hasMatch())
            << aside[0].toStdString();
        EXPECT_THAT(*loaded.problem, HasSubstr(dir.filePath(aside[0]).toStdString()));
        EXPECT_EQ(contentOf(dir.filePath(aside[0])), each.content);
        EXPECT_FALSE(QFile::exists(path));
    }
}

// However fast damaged files follow one another, none kept aside is replaced.
TEST(RosterFile, EveryDamagedFileKeptAsideStays) {
    const QTemporaryDir dir;
    const QString path = dir.filePath("roster.json");
    for (const QByteArray content : {"first", "second", "third"}) {
        write(path, content);
        EXPECT_TRUE(RosterFile::load(path.toStdString()).problem.has_value());
    }
    QStringList kept;
    for (const QString& name : QDir(dir.path()).entryList(QDir::Files)) {
        kept << QString::fromUtf8(contentOf(dir.filePath(name)));
    }
    kept.sort();
    EXPECT_EQ(kept, QStringList({"first", "second", "third"}));
}

TEST(RosterFile, SaveSaysWhyItCannot) {
    const QTemporaryDir dir;
    write(dir.filePath("in-the-way"), "a file, not a folder");
    const std::string path = dir.filePath("in-the-way/roster.json").toStdString();
    std::string why;
    EXPECT_FALSE(RosterFile::save(Roster{}, path, &why));
    EXPECT_THAT(why, HasSubstr(path));
}

} // namespace
