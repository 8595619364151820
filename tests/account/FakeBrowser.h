#pragma once

#include "platform/WebAuthSession.h"

#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QUrl>

// Stands in for the user's browser: loads the start page and follows its redirect back to the
// application, as the desktop would; or, when told to, leaves the page open and does nothing.
class FakeBrowser : public QObject
{
    Q_OBJECT

public:
    bool follow = true;
    QList<QUrl> opened;

public Q_SLOTS:
    void openUrl(const QUrl &url)
    {
        opened << url;
        if (!follow)
            return;
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply *reply = m_network.get(request);
        connect(reply, &QNetworkReply::finished, this, [reply] {
            reply->deleteLater();
            WebAuthSession::deliver(reply->header(QNetworkRequest::LocationHeader).toUrl());
        });
    }

private:
    QNetworkAccessManager m_network;
};
