#pragma once

#include <QObject>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <optional>

#include <QCoro/QCoroTask>

// A sign-in in the user's default browser. The page finally sends the browser to a URL of the
// callback scheme; the desktop hands that URL to a second `velko`, which passes it to the running
// instance, which gives it to the session waiting for it (deliver). A browser tab cannot say that
// it was closed, so the waiting side offers cancel() and gives up after a time limit.
//
// Only one session waits at a time, across the whole application: a callback URL carries nothing
// that tells two sessions apart. Opening a session cancels the one waiting before.
class WebAuthSession : public QObject
{
    Q_OBJECT

public:
    enum class End {
        Callback, // the callback URL came back
        Cancelled, // the user closed the window (cancel(), or a newer session took over)
        TimedOut, // the time limit passed
        CouldNotOpen // the browser could not be started
    };
    struct Result
    {
        End end = End::Cancelled;
        QUrl url;
    };

    static constexpr std::chrono::milliseconds defaultTimeLimit = std::chrono::minutes(10);

    explicit WebAuthSession(QObject *parent = nullptr);
    ~WebAuthSession() override;

    // Opens url in the browser and waits until a URL of callbackScheme is delivered, the
    // session is cancelled or the time limit passes.
    QCoro::Task<Result> open(QUrl url, QString callbackScheme);
    // Ends the current wait as if the user closed the window; nothing when none waits.
    void cancel();
    bool isWaiting() const;

    void setTimeLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds timeLimit() const;

    // Gives a callback URL to the session that waits for its scheme. False when none does.
    static bool deliver(const QUrl &callback);

private:
    struct Wait;
    void finish(End end, const QUrl &url = {});

    QTimer m_timer;
    QString m_scheme;
    Wait *m_wait = nullptr;
};
