#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <qcoro/qcorotask.h>

#include <optional>

// The desktop's user notifications: banners that show at once and report a click.
class Notifications : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Shows one notification now, without sound. Nothing when it was delivered, else why not.
    virtual QCoro::Task<std::optional<QString>> show(QString title, QString body,
                                                     QVariantMap userInfo) = 0;
    // Whether notifications can be shown at all: nothing when they can, else why not.
    virtual QCoro::Task<std::optional<QString>> authorize() = 0;

signals:
    // The user clicked a notification this object showed.
    void clicked(const QVariantMap &userInfo);
};
