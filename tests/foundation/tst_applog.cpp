#include "core/AppLog.h"
#include "core/Paths.h"
#include "core/SerialQueue.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <thread>

class TestAppLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_state;
    QString logFile() const { return Paths::logsDir() + "/app.log"; }

    QStringList lines() const
    {
        QFile file(logFile());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

private slots:
    void init()
    {
        qputenv("XDG_STATE_HOME", (m_state.path() + "/state").toUtf8());
        QFile::remove(logFile());
    }

    void firstWriteCreatesTheLog()
    {
        AppLog::write("web: hello");
        AppLog::flush();
        const QStringList written = lines();
        QCOMPARE(written.size(), 1);
        static const QRegularExpression format(
            "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ web: hello$");
        QVERIFY2(format.match(written.first()).hasMatch(), qPrintable(written.first()));
        struct stat info
        {
        };
        QCOMPARE(::stat(QFile::encodeName(logFile()).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);
    }

    void appendsAndRecreates()
    {
        AppLog::write("one");
        AppLog::write("two\nlines");
        AppLog::flush();
        QCOMPARE(lines().size(), 3);
        QVERIFY(QFile::remove(logFile()));
        AppLog::write("three");
        AppLog::flush();
        QCOMPARE(lines().size(), 1);
        QVERIFY(lines().first().endsWith(" three"));
    }

    void linesFromManyThreadsStayWhole()
    {
        constexpr int threads = 4;
        constexpr int perThread = 200;
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t)
            writers.emplace_back([t] {
                for (int i = 0; i < perThread; ++i)
                    AppLog::write(QStringLiteral("thread %1 line %2 %3")
                                      .arg(t)
                                      .arg(i)
                                      .arg(QString(100, 'x')));
            });
        for (auto &writer : writers)
            writer.join();
        AppLog::flush();
        const QStringList written = lines();
        QCOMPARE(written.size(), threads * perThread);
        QList<int> next(threads, 0);
        static const QRegularExpression shape("Z thread (\\d) line (\\d+) x{100}$");
        for (const QString &line : written) {
            const auto match = shape.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            const int t = match.captured(1).toInt();
            QCOMPARE(match.captured(2).toInt(), next[t]++);
        }
    }

    void serialQueueKeepsOrderAndDrains()
    {
        QList<int> seen;
        {
            SerialQueue queue("velko.test.order");
            for (int i = 0; i < 100; ++i)
                queue.async([&seen, i] { seen.append(i); });
            bool onWorker = false;
            queue.sync([&] { onWorker = queue.isCurrent(); });
            QVERIFY(onWorker);
            QCOMPARE(seen.size(), 100);
            for (int i = 0; i < 100; ++i)
                queue.async([&seen, i] { seen.append(100 + i); });
        }
        QCOMPARE(seen.size(), 200);
        for (int i = 0; i < 200; ++i)
            QCOMPARE(seen[i], i);
    }
};

QTEST_GUILESS_MAIN(TestAppLog)
#include "tst_applog.moc"
