#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include "platform/SecretStore.h"

// A data directory, a pipeline checkout and an interpreter home of the test's own, so that the
// code under test touches nothing else and leftovers of other tests never look like ours.
class Sandbox
{
public:
    // `pipeline` is a script that becomes core/webapp/server.py, with the real launcher beside
    // it, or a whole pipeline folder that stands in for core.
    explicit Sandbox(const QString &pipeline = {})
    {
        const QString root = m_dir.path();
        qputenv("VELKO_DATA_DIR", QFile::encodeName(root + "/data"));
        qputenv("VELKO_REPO", QFile::encodeName(root + "/repo"));
        qputenv("VELKO_PYTHON_HOME", QFile::encodeName(root + "/python"));
        QDir().mkpath(root + "/repo/server");
        QDir().mkpath(root + "/python/bin");
        QFile::link("/usr/bin/python3", root + "/python/bin/python3");
        QFile::link("/usr/lib", root + "/python/lib");
        if (QFileInfo(pipeline).isDir()) {
            QFile::link(pipeline, root + "/repo/core");
            return;
        }
        QDir().mkpath(root + "/repo/core/webapp");
        QFile::copy(QStringLiteral(VELKO_SOURCE_DIR "/resources/app/webapp/launch_pipeline.py"),
                    root + "/repo/core/webapp/launch_pipeline.py");
        if (!pipeline.isEmpty())
            QFile::copy(pipeline, root + "/repo/core/webapp/server.py");
    }
    ~Sandbox()
    {
        for (const char *name : {"VELKO_DATA_DIR", "VELKO_REPO", "VELKO_PYTHON_HOME"})
            qunsetenv(name);
    }

    QString path(const QString &relative) const { return m_dir.path() + '/' + relative; }
    QString dataDir() const { return path("data"); }

private:
    QTemporaryDir m_dir;
};

// A secret store in memory, for the environment tables.
class MemoryStore : public SecretStore
{
public:
    MemoryStore() { SecretStore::install(this); }
    ~MemoryStore() override { SecretStore::install(nullptr); }

    std::optional<QString> lookup(const QString &, const QString &account) override
    {
        return items.contains(account) ? std::optional(items.value(account)) : std::nullopt;
    }
    Status store(const QString &, const QString &account, const QString &,
                 const QString &value) override
    {
        items.insert(account, value);
        return Ok;
    }
    Status remove(const QString &, const QString &account) override
    {
        return items.remove(account) ? Ok : NotFound;
    }

    QMap<QString, QString> items;
};
