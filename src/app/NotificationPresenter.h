#pragma once

#include "core/PipelineClient.h"
#include "platform/Notifications.h"

#include <QObject>
#include <QPointer>
#include <QVariantMap>

#include <qcoro/qcorotask.h>

// Turns the pipeline's outcomes into desktop notifications, logs whether each was delivered,
// and reports clicks on them.
class NotificationPresenter : public QObject
{
    Q_OBJECT

public:
    struct Content
    {
        QString title;
        QString body;
        QVariantMap userInfo; // "open": "run" asks to open the run page
    };

    static Content content(const PipelineClient::Outcome &outcome);

    // Takes ownership of `notifications`.
    explicit NotificationPresenter(Notifications *notifications, QObject *parent = nullptr);

    // Shows the notification for one outcome and logs the result.
    QCoro::Task<> notify(PipelineClient::Outcome outcome);
    // Checks that notifications can be shown and logs the answer.
    QCoro::Task<> requestAuthorization();

signals:
    // A notification was clicked; its user info tells what to open.
    void clicked(const QVariantMap &userInfo);

private:
    QPointer<Notifications> m_notifications;
};
