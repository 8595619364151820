#include "TestApp.h"

#include "capture/ControlClient.h"
#include "capture/HostControl.h"

#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>

// Clicks and states as they reach the pipeline through the control socket during a recording.
class TestRecordedActivity : public QObject
{
    Q_OBJECT

private:
    const QString m_token = QString(64, 'a');
    QTemporaryDir m_dir;
    std::unique_ptr<TestApp> m_app;
    std::unique_ptr<HostControl> m_host;
    std::unique_ptr<ControlClient> m_client;
    int m_recordings = 0;

    static bool xrandr(const QStringList &arguments)
    {
        return QProcess::execute("xrandr", arguments) == 0;
    }

    bool record()
    {
        // A click on the bare desktop leaves no window active: make the test window the front.
        if (!xdotool({"search", "--name", "^Velko Test Window$", "windowactivate", "--sync"}))
            return false;
        const QString name = QString::number(++m_recordings);
        m_host = std::make_unique<HostControl>(m_dir.filePath(name + ".sock"), m_token);
        m_host->start();
        m_client = std::make_unique<ControlClient>(m_host->path());
        m_client->send({{"token", m_token},
                        {"cmd", "start"},
                        {"frames_dir", m_dir.filePath(name + "/frames")},
                        {"audio_dir", m_dir.filePath(name + "/audio")},
                        {"audio", false},
                        {"microphone", false}});
        // The first sample reports the front window as it is.
        if (!m_client->readUntil("started"))
            return false;
        return m_client->readUntil("state").has_value();
    }

    // The first click line; the lines after it up to the next frame go to `after`.
    std::optional<QJsonObject> clickAndFrame(QPoint at, QList<QJsonObject> *after)
    {
        if (!clickAt(at))
            return std::nullopt;
        auto click = m_client->readUntil("click");
        if (click && !m_client->readUntil("frame", after, 3000))
            return std::nullopt;
        return click;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(AccessibilityTree::shared().enable());
        m_app = std::make_unique<TestApp>();
        QVERIFY(m_app->ready());
    }

    void cleanup()
    {
        if (m_client) {
            m_client->send({{"cmd", "stop"}});
            m_client->readUntil("done");
        }
        m_client.reset();
        m_host.reset();
    }

    void clickIsReportedWithStateAndFrame()
    {
        QVERIFY(record());
        QList<QJsonObject> after;
        const auto click = clickAndFrame(m_app->centre("save"), &after);
        QVERIFY(click);
        QCOMPARE(click->value("role").toString(), QString("AXButton"));
        QCOMPARE(click->value("label").toString(), QString("Save"));
        QCOMPARE(click->value("parent_role").toString(), QString("AXGroup"));
        QCOMPARE(click->value("parent_label").toString(), QString("Form"));
        QCOMPARE(click->value("display").toInt(), 1);
        QVERIFY(!click->value("app").toString().isEmpty());
        // The state right after the click may come before or after the frame.
        if (after.isEmpty() || after.first().value("type") != "state")
            QVERIFY(m_client->readUntil("state"));
        m_client->send({{"cmd", "stop"}});
        const auto done = m_client->readUntil("done");
        QVERIFY(done);
        QCOMPARE(done->value("verify").toObject().value("clicks").toInt(), 1);
        QVERIFY(done->value("verify").toObject().value("states").toInt() >= 2);
        m_client.reset();
    }

    void focusedPasswordFieldIsGrey()
    {
        QVERIFY(record());
        const QRect field = m_app->rect("password");
        QVERIFY(clickAt(field.center()));
        QVERIFY(xdotool({"type", "--delay", "20", "secret"}));
        // The field is known once its focus reached the sampler; a further click keeps a frame.
        QTest::qWait(800);
        QList<QJsonObject> after;
        QVERIFY(clickAndFrame(field.center() + QPoint(40, 0), &after));
        QList<QJsonObject> lines = after;
        const auto frame = m_client->readUntil("frame", &lines, 3000);
        QVERIFY(frame);
        for (const QJsonObject &line : std::as_const(lines))
            QVERIFY(!line.contains("focus_value") && !line.contains("selected_text"));
        const QImage image = QImageReader(frame->value("path").toString()).read();
        const QPoint inside = (field.topLeft() + QPoint(8, field.height() / 2)) * 1600 / 1920;
        const QRgb pixel = image.pixel(inside);
        QVERIFY2(qAbs(qRed(pixel) - 115) < 12 && qAbs(qGreen(pixel) - 115) < 12 &&
                     qAbs(qBlue(pixel) - 115) < 12,
                 qPrintable(QString::number(pixel, 16)));
    }

    void displayNumbering_data()
    {
        QTest::addColumn<QStringList>("monitors");
        QTest::addColumn<QPoint>("at");
        QTest::addColumn<int>("display");
        QTest::newRow("second of two")
            << QStringList {"LEFT 960/254x1080/286+0+0 screen", "RIGHT 960/254x1080/286+960+0 none"}
            << QPoint(1500, 900) << 2;
        QTest::newRow("outside every monitor")
            << QStringList {"LEFT 960/254x1080/286+0+0 screen"} << QPoint(1500, 900) << 0;
    }

    void displayNumbering()
    {
        QFETCH(QStringList, monitors);
        QFETCH(QPoint, at);
        QFETCH(int, display);
        const auto restore = qScopeGuard([&] {
            for (const QString &monitor : monitors)
                xrandr({"--delmonitor", monitor.section(' ', 0, 0)});
        });
        for (const QString &monitor : monitors)
            QVERIFY(xrandr(QStringList {"--setmonitor"} + monitor.split(' ')));
        QVERIFY(record());
        QVERIFY(clickAt(at));
        const auto click = m_client->readUntil("click");
        QVERIFY(click);
        QCOMPARE(click->value("x").toInt(), at.x());
        QCOMPARE(click->value("display").toInt(), display);
        QCOMPARE(click->contains("display"), display != 0);
    }
};

QTEST_GUILESS_MAIN(TestRecordedActivity)
#include "tst_recordedactivity.moc"
