#include "core/SessionStore.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr qint64 day = 86400;

// One reference instant for every file, in whole seconds, so that files given the same age get
// the same modification time however long writing them takes.
QDateTime now()
{
    static const QDateTime reference =
        QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
    return reference;
}

// Writes root/relative with the content, its modification time `ageSeconds` before now().
bool put(const QString &root, const QString &relative, const QByteArray &content = "{}\n",
         qint64 ageSeconds = 0)
{
    const QString path = root + '/' + relative;
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.flush())
        return false;
    return file.setFileTime(now().addSecs(-ageSeconds), QFileDevice::FileModificationTime);
}

QByteArray bundle(const QStringList &sessions)
{
    QJsonObject evidence {{"sessions", QJsonArray::fromStringList(sessions)}};
    return QJsonDocument(QJsonObject {{"evidence", evidence}}).toJson(QJsonDocument::Compact);
}

QStringList relative(const QString &root, const QStringList &paths)
{
    QStringList result;
    for (const QString &path : paths)
        result.append(QDir(root).relativeFilePath(path));
    return result;
}

// Every file and directory under root, relative, sorted.
QStringList tree(const QString &root)
{
    QStringList result;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        result.append(QDir(root).relativeFilePath(it.next()));
    result.sort();
    return result;
}

} // namespace

class TestSessionStore : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString root() const { return m_dir->path(); }

private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void list_data()
    {
        QTest::addColumn<QStringList>("logs"); // name@age in days
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("only the main log makes a session")
            << QStringList {"a.jsonl", "a.clicks.jsonl", "a.audio.jsonl", "b.clicks.jsonl",
                            "notes.txt"}
            << QStringList {"a"};
        QTest::newRow("newest first, equal dates in listing order")
            << QStringList {"a.jsonl@3", "b.jsonl@1", "c.jsonl@3"} << QStringList {"b", "a", "c"};
        QTest::newRow("unreadable date sorts last")
            << QStringList {"a.jsonl@400", "z.jsonl@dangling"} << QStringList {"a", "z"};
        QTest::newRow("no sessions") << QStringList() << QStringList();
    }

    void list()
    {
        QFETCH(QStringList, logs);
        QFETCH(QStringList, expected);
        for (const QString &log : logs) {
            const QString name = log.section('@', 0, 0);
            const QString age = log.section('@', 1);
            const QString path = root() + "/capture/sessions/" + name;
            if (age == "dangling") {
                QVERIFY(QFile::link(root() + "/nowhere", path));
                continue;
            }
            QVERIFY(put(root(), "capture/sessions/" + name, "{}\n", age.toLongLong() * day));
        }
        QStringList ids;
        const auto sessions = SessionStore(root()).list();
        for (const auto &session : sessions)
            ids.append(session.id);
        QCOMPARE(ids, expected);
        if (expected.contains("z"))
            QCOMPARE(sessions.last().date, SessionStore::distantPast());
    }

    void sessionBytesAndDate()
    {
        QVERIFY(put(root(), "capture/sessions/a.jsonl", "0123456789", 2 * day));
        QVERIFY(put(root(), "capture/sessions/a.clicks.jsonl", "12345"));
        QVERIFY(put(root(), "webapp/recordings/a_frames/1.jpg", QByteArray(50, 'x')));
        QVERIFY(put(root(), "webapp/recordings/a_frames/deep/2.jpg", QByteArray(20, 'x')));
        QVERIFY(put(root(), "webapp/recordings/ab.mp4", QByteArray(1000, 'x')));
        const auto sessions = SessionStore(root()).list();
        QCOMPARE(sessions.size(), 1);
        QCOMPARE(sessions[0].bytes, 85);
        const QDateTime expected = QFileInfo(root() + "/capture/sessions/a.jsonl").lastModified();
        QCOMPARE(sessions[0].date, expected);
        QVERIFY(sessions[0].date < QDateTime::currentDateTimeUtc().addSecs(-day));
    }

    void files_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("logs, then recording entries")
            << "a"
            << QStringList {"capture/sessions/a.jsonl", "capture/sessions/a.audio.jsonl",
                            "webapp/recordings/a", "webapp/recordings/a.mp4",
                            "webapp/recordings/a_frames"};
        QTest::newRow("recordings only") << "b" << QStringList {"webapp/recordings/b.mp4"};
        QTest::newRow("unknown") << "c" << QStringList();
        QTest::newRow("empty id would match hidden entries") << "" << QStringList();
        QTest::newRow("id reaching outside") << "../../outside" << QStringList();
    }

    void files()
    {
        QFETCH(QString, id);
        QFETCH(QStringList, expected);
        for (const char *file :
             {"capture/sessions/a.jsonl", "capture/sessions/a.audio.jsonl", "webapp/recordings/a",
              "webapp/recordings/a.mp4", "webapp/recordings/a_frames/1.jpg", "webapp/recordings/ab",
              "webapp/recordings/b.mp4", "webapp/recordings/.hidden", "outside.jsonl"})
            QVERIFY(put(root(), file));
        QCOMPARE(relative(root(), SessionStore(root()).files(id)), expected);
    }

    void size_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("nothing there") << "missing" << qint64(0);
        QTest::newRow("file") << "dir/one" << qint64(3);
        QTest::newRow("directory at any depth") << "dir" << qint64(3 + 4 + 5);
        QTest::newRow("link to a directory is not followed") << "link" << qint64(0);
    }

    void size()
    {
        QFETCH(QString, target);
        QFETCH(qint64, expected);
        QVERIFY(put(root(), "dir/one", "abc"));
        QVERIFY(put(root(), "dir/sub/two", "abcd"));
        QVERIFY(put(root(), "dir/sub/deeper/three", "abcde"));
        QVERIFY(QFile::link(root() + "/dir", root() + "/dir/sub/loop"));
        QVERIFY(QFile::link(root() + "/dir", root() + "/link"));
        QCOMPARE(SessionStore::size(root() + '/' + target), expected);
    }

    void sessionsOfBundle_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("strings") << bundle({"screen:a", "b"}) << QStringList {"screen:a", "b"};
        QTest::newRow("a non-string")
            << QByteArray(R"({"evidence":{"sessions":["a",1]}})") << QStringList();
        QTest::newRow("not an array")
            << QByteArray(R"({"evidence":{"sessions":"screen:a"}})") << QStringList();
        QTest::newRow("no evidence") << QByteArray(R"({"sessions":["screen:a"]})") << QStringList();
        QTest::newRow("not an object") << QByteArray(R"(["screen:a"])") << QStringList();
    }

    void sessionsOfBundle()
    {
        QFETCH(QByteArray, json);
        QFETCH(QStringList, expected);
        const QJsonDocument document = QJsonDocument::fromJson(json);
        const QJsonValue value =
            document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
        QCOMPARE(SessionStore::sessions(value), expected);
    }

    void remove_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QByteArray>("bundles"); // null: no bundles file
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QByteArray>("bundlesAfter"); // null: file gone
        const QByteArray onlyA = "[" + bundle({"screen:a"}) + "]";
        const QByteArray aAndB =
            "[" + bundle({"screen:a", "screen:x"}) + "," + bundle({"screen:b"}) + "]";
        const QByteArray onlyB = QJsonDocument::fromJson("[" + bundle({"screen:b"}) + "]")
                                     .toJson(QJsonDocument::Indented);
        const QStringList aFiles {"a.jsonl", "a.clicks.jsonl", "a.audio.jsonl",
                                  "a",       "a.mp4",          "a_frames"};
        QTest::newRow("last bundle of the session removes the file")
            << "a" << onlyA << aFiles + QStringList {"the review bundle", "workflow package wf1"}
            << QByteArray();
        QTest::newRow("remaining bundles rewritten pretty-printed")
            << "a" << aAndB << aFiles + QStringList {"the review bundle", "workflow package wf1"}
            << onlyB;
        QTest::newRow("malformed bundles left alone")
            << "a" << QByteArray("[{") << aFiles + QStringList {"workflow package wf1"}
            << QByteArray("[{");
        QTest::newRow("an array holding a non-object is left alone")
            << "a"
            << "[" + bundle({"screen:a"}) + ",3]" << aFiles + QStringList {"workflow package wf1"}
            << "[" + bundle({"screen:a"}) + ",3]";
        QTest::newRow("no bundles file")
            << "a" << QByteArray() << aFiles + QStringList {"workflow package wf1"} << QByteArray();
        QTest::newRow("other session")
            << "b" << onlyA << QStringList {"b.jsonl", "workflow package wf1"} << onlyA;
        QTest::newRow("unknown session") << "c" << onlyA << QStringList() << onlyA;
        QTest::newRow("id reaching outside") << "../../outside" << onlyA << QStringList() << onlyA;
    }

    void remove()
    {
        QFETCH(QString, id);
        QFETCH(QByteArray, bundles);
        QFETCH(QStringList, expected);
        QFETCH(QByteArray, bundlesAfter);
        for (const char *file :
             {"capture/sessions/a.jsonl", "capture/sessions/a.clicks.jsonl",
              "capture/sessions/a.audio.jsonl", "capture/sessions/b.jsonl", "webapp/recordings/a",
              "webapp/recordings/a.mp4", "webapp/recordings/a_frames/1.jpg", "webapp/recordings/ab",
              "outside.jsonl"})
            QVERIFY(put(root(), file));
        QVERIFY(put(root(), "workflows/wf1/bundle.json", bundle({"screen:b", "screen:a"})));
        QVERIFY(put(root(), "workflows/wf1/steps.json"));
        QVERIFY(put(root(), "workflows/wf2/bundle.json", bundle({"a"})));
        QVERIFY(put(root(), "workflows/wf3/bundle.json", "{screen:a"));
        // A package that links elsewhere loses the link, never the target.
        QVERIFY(put(root(), "elsewhere/bundle.json", bundle({"screen:zzz"})));
        const auto bundlesMode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
        if (!bundles.isNull()) {
            QVERIFY(put(root(), "out/screen.bundles.json", bundles));
            QVERIFY(QFile::setPermissions(root() + "/out/screen.bundles.json", bundlesMode));
        }
        const QStringList before = tree(root());

        QCOMPARE(SessionStore(root()).remove(id), expected);

        QFile bundlesFile(root() + "/out/screen.bundles.json");
        QCOMPARE(bundlesFile.exists(), !bundlesAfter.isNull());
        if (bundlesFile.open(QIODevice::ReadOnly)) {
            QCOMPARE(bundlesFile.readAll(), bundlesAfter);
            // The pipeline's file keeps the access it gave it.
            QCOMPARE(bundlesFile.permissions() & QFile::Permissions(0x0fff),
                     QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup);
        }
        QStringList gone;
        const QStringList after = tree(root());
        for (const QString &entry : before) {
            if (!after.contains(entry))
                gone.append(entry);
        }
        QVERIFY(!gone.contains("webapp/recordings/ab"));
        QVERIFY(!gone.contains("outside.jsonl"));
        QVERIFY(after.contains("workflows/wf2/bundle.json"));
        QVERIFY(after.contains("workflows/wf3/bundle.json"));
        QCOMPARE(gone.contains("workflows/wf1"), expected.contains("workflow package wf1"));
    }

    void removeLeavesLinkTargets()
    {
        QVERIFY(put(root(), "capture/sessions/a.jsonl"));
        QVERIFY(put(root(), "elsewhere/frames/1.jpg"));
        QVERIFY(put(root(), "elsewhere/bundle.json", bundle({"screen:a"})));
        QVERIFY(QDir(root()).mkpath("webapp/recordings"));
        QVERIFY(QDir(root()).mkpath("workflows"));
        QVERIFY(QFile::link(root() + "/elsewhere/frames", root() + "/webapp/recordings/a_frames"));
        QVERIFY(QFile::link(root() + "/elsewhere", root() + "/workflows/linked"));
        QCOMPARE(SessionStore(root()).remove("a"),
                 QStringList({"a.jsonl", "a_frames", "workflow package linked"}));
        QVERIFY(QFile::exists(root() + "/elsewhere/frames/1.jpg"));
        QVERIFY(QFile::exists(root() + "/elsewhere/bundle.json"));
        QVERIFY(!QFileInfo::exists(root() + "/workflows/linked"));
    }

    void prune_data()
    {
        QTest::addColumn<int>("days");
        QTest::addColumn<QString>("keep"); // null: none
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("zero days") << 0 << QString() << QStringList();
        QTest::newRow("negative days") << -3 << QString() << QStringList();
        QTest::newRow("older than 30 days") << 30 << QString() << QStringList {"old", "current"};
        QTest::newRow("current is kept") << 30 << "current" << QStringList {"old"};
        QTest::newRow("older than 5 days")
            << 5 << QString() << QStringList {"recent", "old", "current"};
        QTest::newRow("a retention beyond the calendar")
            << 2000000000 << QString() << QStringList();
    }

    void prune()
    {
        QFETCH(int, days);
        QFETCH(QString, keep);
        QFETCH(QStringList, expected);
        QVERIFY(put(root(), "capture/sessions/new.jsonl", "{}", 1 * day));
        QVERIFY(put(root(), "capture/sessions/recent.jsonl", "{}", 10 * day));
        QVERIFY(put(root(), "capture/sessions/old.jsonl", "{}", 40 * day));
        QVERIFY(put(root(), "webapp/recordings/old.mp4", "{}"));
        QVERIFY(put(root(), "capture/sessions/current.jsonl", "{}", 41 * day));
        // Its date cannot be read, so it is not known to be old.
        QVERIFY(QFile::link(root() + "/nowhere", root() + "/capture/sessions/undated.jsonl"));

        const SessionStore store(root());
        const std::optional<QString> except = keep.isNull() ? std::nullopt : std::optional(keep);
        QCOMPARE(store.prune(days, except), expected);
        QStringList left;
        for (const auto &session : store.list())
            left.append(session.id);
        for (const QString &id : expected)
            QVERIFY(!left.contains(id));
        QCOMPARE(left.size() + expected.size(), 5);
        QCOMPARE(QFile::exists(root() + "/webapp/recordings/old.mp4"), !expected.contains("old"));
    }

    void clearModelCache_data()
    {
        QTest::addColumn<bool>("present");
        QTest::newRow("present") << true;
        QTest::newRow("absent") << false;
    }

    void clearModelCache()
    {
        QFETCH(bool, present);
        if (present)
            QVERIFY(put(root(), "llm_cache.json"));
        QCOMPARE(SessionStore(root()).clearModelCache(), present);
        QVERIFY(!QFile::exists(root() + "/llm_cache.json"));
    }
};

QTEST_GUILESS_MAIN(TestSessionStore)
#include "tst_sessionstore.moc"
