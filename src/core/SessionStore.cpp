#include "core/SessionStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

const QString sessionsDir = QStringLiteral("capture/sessions");
const QString recordingsDir = QStringLiteral("webapp/recordings");
const QString bundlesFile = QStringLiteral("out/screen.bundles.json");
const QString workflowsDir = QStringLiteral("workflows");
const QString jsonl = QStringLiteral(".jsonl");

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

fs::path fsPath(const QString &path)
{
    return fs::path(QFile::encodeName(path).toStdString());
}

bool exists(const QString &path)
{
    std::error_code error;
    return fs::exists(fs::symlink_status(fsPath(path), error));
}

// Removes a file, a directory tree, or a symbolic link itself (never its target).
bool removeAll(const QString &path)
{
    std::error_code error;
    fs::remove_all(fsPath(path), error);
    return !error;
}

std::optional<QJsonDocument> readJson(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        return std::nullopt;
    return document;
}

} // namespace

SessionStore::SessionStore(QString root)
    : m_root(std::move(root))
{ }

QString SessionStore::path(const QString &relative) const
{
    return m_root + '/' + relative;
}

QDateTime SessionStore::distantPast()
{
    return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
}

QList<SessionStore::Session> SessionStore::list() const
{
    QList<Session> sessions;
    for (const QString &name : entries(path(sessionsDir))) {
        if (!name.endsWith(jsonl) || name.endsWith(QLatin1String(".clicks.jsonl")) ||
            name.endsWith(QLatin1String(".audio.jsonl")))
            continue;
        const QString id = name.chopped(jsonl.size());
        if (id.isEmpty())
            continue;
        const QDateTime modified = QFileInfo(path(sessionsDir) + '/' + name).lastModified();
        qint64 bytes = 0;
        for (const QString &file : files(id))
            bytes += size(file);
        sessions.append({id, modified.isValid() ? modified : distantPast(), bytes});
    }
    std::stable_sort(sessions.begin(), sessions.end(),
                     [](const Session &a, const Session &b) { return a.date > b.date; });
    return sessions;
}

QStringList SessionStore::files(const QString &id) const
{
    if (id.isEmpty() || id.contains('/'))
        return {};
    QStringList found;
    for (const char *suffix : {".jsonl", ".clicks.jsonl", ".audio.jsonl"}) {
        const QString log = path(sessionsDir) + '/' + id + QLatin1String(suffix);
        if (exists(log))
            found.append(log);
    }
    const QString recordings = path(recordingsDir);
    for (const QString &name : entries(recordings)) {
        if (name == id || name.startsWith(id + '.') || name.startsWith(id + '_'))
            found.append(recordings + '/' + name);
    }
    return found;
}

qint64 SessionStore::size(const QString &path)
{
    const fs::path root = fsPath(path);
    std::error_code error;
    const fs::file_status status = fs::symlink_status(root, error);
    if (error || !fs::exists(status))
        return 0;
    if (fs::is_regular_file(status)) {
        const auto bytes = fs::file_size(root, error);
        return error ? 0 : qint64(bytes);
    }
    if (!fs::is_directory(status))
        return 0;
    qint64 total = 0;
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code entryError;
        if (it->is_regular_file(entryError) && !it->is_symlink(entryError)) {
            const auto bytes = it->file_size(entryError);
            if (!entryError)
                total += qint64(bytes);
        }
    }
    return total;
}

QStringList SessionStore::sessions(const QJsonValue &bundle)
{
    const QJsonValue list = bundle.toObject()
                                .value(QLatin1String("evidence"))
                                .toObject()
                                .value(QLatin1String("sessions"));
    if (!list.isArray())
        return {};
    QStringList names;
    for (const QJsonValue name : list.toArray()) {
        if (!name.isString())
            return {};
        names.append(name.toString());
    }
    return names;
}

QStringList SessionStore::remove(const QString &id) const
{
    QStringList removed;
    if (id.isEmpty() || id.contains('/'))
        return removed;
    for (const QString &file : files(id)) {
        if (removeAll(file))
            removed.append(QFileInfo(file).fileName());
    }

    const QString reference = QStringLiteral("screen:") + id;
    const QString bundlesPath = path(bundlesFile);
    if (const auto document = readJson(bundlesPath); document && document->isArray()) {
        const QJsonArray bundles = document->array();
        const bool allObjects = std::all_of(bundles.begin(), bundles.end(),
                                            [](const QJsonValue &b) { return b.isObject(); });
        QJsonArray kept;
        for (const QJsonValue bundle : bundles) {
            if (!sessions(bundle).contains(reference))
                kept.append(bundle);
        }
        if (allObjects && kept.size() < bundles.size()) {
            bool done = false;
            if (kept.isEmpty()) {
                done = QFile::remove(bundlesPath);
            } else {
                QSaveFile file(bundlesPath);
                done = file.open(QIODevice::WriteOnly) &&
                    file.write(QJsonDocument(kept).toJson(QJsonDocument::Indented)) >= 0 &&
                    file.commit();
            }
            if (done)
                removed.append(QStringLiteral("the review bundle"));
        }
    }

    const QString workflows = path(workflowsDir);
    for (const QString &name : entries(workflows)) {
        const QString package = workflows + '/' + name;
        const auto document = readJson(package + QStringLiteral("/bundle.json"));
        if (!document || !document->isObject() || !sessions(document->object()).contains(reference))
            continue;
        if (removeAll(package))
            removed.append(QStringLiteral("workflow package ") + name);
    }
    return removed;
}

QStringList SessionStore::prune(int days, const std::optional<QString> &keep) const
{
    if (days <= 0)
        return {};
    const QDateTime cutoff = QDateTime::currentDateTimeUtc().addSecs(-qint64(days) * 86400);
    QStringList deleted;
    for (const Session &session : list()) {
        if (session.date == distantPast() || session.date >= cutoff || session.id == keep)
            continue;
        remove(session.id);
        deleted.append(session.id);
    }
    return deleted;
}

bool SessionStore::clearModelCache() const
{
    return QFile::remove(path(QStringLiteral("llm_cache.json")));
}
