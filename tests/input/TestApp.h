#pragma once

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRect>
#include <QTest>

// The test window (testapp.cpp) in a process of its own, and xdotool to act on the desktop.
class TestApp
{
public:
    explicit TestApp(const QString &title = "Velko Test Window")
    {
        m_process.setProgram(VELKO_TESTAPP);
        m_process.setArguments({"--title", title});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
    }
    ~TestApp()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // Waits until the window is shown and active and its controls are known. A loaded machine
    // can take many seconds to start a toolkit application with accessibility on.
    bool ready()
    {
        const QDeadlineTimer deadline(30000);
        while (m_controls.isEmpty() && !deadline.hasExpired() &&
               m_process.state() != QProcess::NotRunning) {
            if (m_process.canReadLine() || m_process.waitForReadyRead(100))
                m_controls = QJsonDocument::fromJson(m_process.readLine()).object();
        }
        return !m_controls.isEmpty();
    }

    qint64 pid() const { return m_controls.value("pid").toInteger(); }
    QRect rect(const QString &control) const
    {
        const QJsonObject r = m_controls.value(control).toObject();
        return QRect(r.value("x").toInt(), r.value("y").toInt(), r.value("w").toInt(),
                     r.value("h").toInt());
    }
    QPoint centre(const QString &control) const { return rect(control).center(); }

private:
    QProcess m_process;
    QJsonObject m_controls;
};

inline bool xdotool(const QStringList &args)
{
    QProcess process;
    process.start("xdotool", args);
    return process.waitForFinished(10000) && process.exitCode() == 0;
}

inline bool clickAt(QPoint point, int button = 1)
{
    return xdotool({"mousemove", QString::number(point.x()), QString::number(point.y()), "click",
                    QString::number(button)});
}
