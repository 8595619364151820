#include "app/NotificationPresenter.h"

#include "core/AppLog.h"

using Outcome = PipelineClient::Outcome;

NotificationPresenter::Content NotificationPresenter::content(const Outcome &outcome)
{
    switch (outcome.kind()) {
    case Outcome::Kind::WorkflowReady:
        return {QStringLiteral("Workflow ready to review"), outcome.name(), {}};
    case Outcome::Kind::CouldNotRead:
        return {QStringLiteral("Could not read the process"),
                QStringLiteral("The recording is kept — open Velko AI and press Retry. ") +
                    outcome.reason(),
                {}};
    case Outcome::Kind::Failed:
        return {QStringLiteral("Velko AI"), outcome.reason(), {}};
    case Outcome::Kind::NeedsYou:
        return {QStringLiteral("%1 needs your help").arg(outcome.workflow()),
                outcome.question().isEmpty()
                    ? QStringLiteral("It stopped to ask you something — open Velko AI to answer.")
                    : outcome.question(),
                {{QStringLiteral("open"), QStringLiteral("run")}}};
    case Outcome::Kind::Notice:
        return {outcome.title(), outcome.body(), {}};
    }
    return {};
}

NotificationPresenter::NotificationPresenter(Notifications *notifications, QObject *parent)
    : QObject(parent)
    , m_notifications(notifications)
{
    notifications->setParent(this);
    connect(notifications, &Notifications::clicked, this, &NotificationPresenter::clicked);
}

QCoro::Task<> NotificationPresenter::notify(Outcome outcome)
{
    const Content shown = content(outcome);
    QPointer<Notifications> notifications = m_notifications;
    if (!notifications)
        co_return;
    const std::optional<QString> error =
        co_await notifications->show(shown.title, shown.body, shown.userInfo);
    AppLog::write(QStringLiteral("notification \"%1\": %2")
                      .arg(shown.title,
                           error ? QStringLiteral("not delivered — ") + *error
                                 : QStringLiteral("delivered")));
}

QCoro::Task<> NotificationPresenter::requestAuthorization()
{
    QPointer<Notifications> notifications = m_notifications;
    if (!notifications)
        co_return;
    const std::optional<QString> error = co_await notifications->authorize();
    AppLog::write(
        QStringLiteral("notifications: authorization %1")
            .arg(error ? QStringLiteral("not granted — ") + *error : QStringLiteral("granted")));
}
