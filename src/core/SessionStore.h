#pragma once

#include <optional>

#include <QDateTime>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

// The recorded sessions the pipeline keeps under the data directory, as the application sees
// them: listed with date and size, deleted together with everything derived from them, pruned
// after the retention period. Never throws: a file-system or JSON failure skips that item.
//
// Layout under root, all written by the pipeline:
//   capture/sessions/{id}.jsonl, {id}.clicks.jsonl, {id}.audio.jsonl  the session's event logs
//   webapp/recordings/{id}, {id}.*, {id}_*                           its recording entries
//   out/screen.bundles.json                                          review bundles (an array)
//   workflows/{package}/bundle.json                                  workflow packages
//   llm_cache.json                                                   the model-answer cache
// Bundles and packages name their sessions as "screen:{id}" in evidence.sessions.
class SessionStore
{
public:
    struct Session
    {
        QString id;
        QDateTime date; // the main log's modification time; distantPast() when unreadable
        qint64 bytes = 0;
        bool operator==(const Session &) const = default;
    };

    explicit SessionStore(QString root);

    const QString &root() const { return m_root; }

    // Newest first; sessions of equal date keep the listing order.
    QList<Session> list() const;
    // Absolute paths that exist: the main, clicks and audio logs, then the recording entries.
    // Nothing for an id that is empty or holds a '/', which could reach outside the store.
    QStringList files(const QString &id) const;
    // Removes the session's files, drops it from the review bundles (the file is rewritten, or
    // removed when no bundle remains) and removes the workflow packages made from it. Returns
    // what was removed: file names, "the review bundle", "workflow package {name}".
    QStringList remove(const QString &id) const;
    // Removes the sessions older than `days` days except `keep`, and returns their ids. Nothing
    // when days <= 0; a session whose date is unknown is never taken for an old one.
    QStringList prune(int days, const std::optional<QString> &keep) const;
    // Whether llm_cache.json was there and is now gone.
    bool clearModelCache() const;

    // 0 when nothing is there; for a directory, everything inside at any depth. Symbolic links
    // are not followed.
    static qint64 size(const QString &path);
    // bundle.evidence.sessions when that is an array of strings, else empty.
    static QStringList sessions(const QJsonValue &bundle);
    static QDateTime distantPast();

private:
    QString path(const QString &relative) const;

    QString m_root;
};
