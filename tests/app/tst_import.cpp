#include "app/Import.h"
#include "client/FakePipeline.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(Import::Kind)

class TestImport : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString make(const QString &name, const QByteArray &content) const
    {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write(content);
        return file.fileName();
    }

private slots:
    void initTestCase()
    {
        make("flow.json", R"({"procedure": {"name": "Send"}})");
        make("FLOW2.JSON", "[1, 2]");
        make("broken.json", "{\"a\": ");
        make("two.json", "1, 2");
        make("scalar.json", "\"text\"");
        make("notes.txt", "{}");
        QDir(m_dir.path()).mkpath("session-1");
        make("session-1/session.jsonl", "{}\n");
        QDir(m_dir.path()).mkpath("empty-dir");
        QDir(m_dir.path()).mkpath("dir.json");
    }

    void kind_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<Import::Kind>("kind");
        QTest::newRow("json file") << "flow.json" << Import::Kind::Bundle;
        QTest::newRow("capital extension") << "FLOW2.JSON" << Import::Kind::Bundle;
        QTest::newRow("other extension") << "notes.txt" << Import::Kind::Unsupported;
        QTest::newRow("session directory") << "session-1" << Import::Kind::Recording;
        QTest::newRow("directory without session") << "empty-dir" << Import::Kind::Unsupported;
        QTest::newRow("directory named like json") << "dir.json" << Import::Kind::Unsupported;
        QTest::newRow("missing") << "gone.json" << Import::Kind::Unsupported;
    }

    void kind()
    {
        QFETCH(QString, name);
        QFETCH(Import::Kind, kind);
        QCOMPARE(Import::kind(m_dir.filePath(name)), kind);
    }

    void send_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("notify");
        QTest::addColumn<QByteArray>("sent"); // empty: nothing sent

        QTest::newRow("bundle imported")
            << "flow.json" << 200 << QByteArray(R"({"ok": true})") << "Imported flow.json." << false
            << QByteArray(R"({"bundle":{"procedure":{"name":"Send"}},"source":"flow.json"})");
        QTest::newRow("a list is still a bundle")
            << "FLOW2.JSON" << 200 << QByteArray(R"({"ok": true})") << "Imported FLOW2.JSON."
            << false << QByteArray(R"({"bundle":[1,2],"source":"FLOW2.JSON"})");
        QTest::newRow("a bare value is still a bundle")
            << "scalar.json" << 200 << QByteArray(R"({"ok": true})") << "Imported scalar.json."
            << false << QByteArray(R"({"bundle":"text","source":"scalar.json"})");
        QTest::newRow("recording")
            << "session-1" << 200 << QByteArray(R"({"ok": true})") << "Imported session-1." << false
            << QJsonDocument(QJsonObject {{"session_dir", m_dir.filePath("session-1")}}).toJson();
        QTest::newRow("invalid JSON") << "broken.json" << 200 << QByteArray()
                                      << "broken.json is not valid JSON." << false << QByteArray();
        QTest::newRow("two values") << "two.json" << 200 << QByteArray()
                                    << "two.json is not valid JSON." << false << QByteArray();
        QTest::newRow("unsupported")
            << "notes.txt" << 200 << QByteArray()
            << "notes.txt is not a Velko AI workflow or recording." << false << QByteArray();
        QTest::newRow("refused with a reason")
            << "flow.json" << 400 << QByteArray(R"({"error": "bundle has no steps"})")
            << "bundle has no steps" << true << QByteArray("*");
        QTest::newRow("200 without ok") << "flow.json" << 200 << QByteArray(R"({"ok": false})")
                                        << "import failed" << true << QByteArray("*");
        QTest::newRow("answer not an object")
            << "flow.json" << 500 << QByteArray("Internal Server Error")
            << "No answer from the pipeline while importing flow.json." << true << QByteArray("*");
        QTest::newRow("no answer")
            << "flow.json" << 0 << QByteArray()
            << "No answer from the pipeline while importing flow.json." << true << QByteArray("*");
    }

    void send()
    {
        QFETCH(QString, name);
        QFETCH(int, status);
        QFETCH(QByteArray, answer);
        QFETCH(QString, message);
        QFETCH(bool, notify);
        QFETCH(QByteArray, sent);

        FakePipeline pipeline;
        pipeline.setAnswer("/api/import", {status, answer});
        QNetworkAccessManager manager;
        const Import::Result result =
            QCoro::waitFor(Import::send(&manager, pipeline.port(), "tok", m_dir.filePath(name)));
        QCOMPARE(result.message, message);
        QCOMPARE(result.notify, notify);
        const auto requests = pipeline.requests("/api/import");
        QCOMPARE(requests.isEmpty(), sent.isEmpty());
        if (!sent.isEmpty()) {
            QCOMPARE(requests[0].headers.value("x-velko-token"), "tok");
            QCOMPARE(requests[0].headers.value("content-type"), "application/json");
        }
        if (!sent.isEmpty() && sent != "*")
            QCOMPARE(QJsonDocument::fromJson(requests[0].body), QJsonDocument::fromJson(sent));
    }
};

QTEST_GUILESS_MAIN(TestImport)
#include "tst_import.moc"
