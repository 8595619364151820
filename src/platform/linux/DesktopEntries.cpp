#include "platform/linux/DesktopEntries.h"

#include <chrono>
#include <mutex>

#include <QFileInfo>
#include <QHash>

// glib names a structure member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <gio/gdesktopappinfo.h>
#pragma pop_macro("signals")

namespace DesktopEntries {

namespace {

using Clock = std::chrono::steady_clock;
// A miss reads the installed entries again at most this often: applications installed while
// we run are found, and an unknown window costs nothing most of the time.
constexpr auto RescanAfter = std::chrono::seconds(30);

QHash<QString, QString> scan()
{
    QHash<QString, QString> names;
    GList *all = g_app_info_get_all();
    for (GList *item = all; item; item = item->next) {
        auto *info = G_APP_INFO(item->data);
        const QString name = QString::fromUtf8(g_app_info_get_name(info)).trimmed();
        if (!name.isEmpty() && G_IS_DESKTOP_APP_INFO(info)) {
            auto *desktop = G_DESKTOP_APP_INFO(info);
            QStringList keys;
            if (const char *wmClass = g_desktop_app_info_get_startup_wm_class(desktop))
                keys << QString::fromUtf8(wmClass);
            if (const char *id = g_app_info_get_id(info)) {
                QString base = QString::fromUtf8(id);
                base.chop(base.endsWith(QLatin1String(".desktop")) ? 8 : 0);
                keys << base << base.section(QLatin1Char('.'), -1);
            }
            if (const char *executable = g_app_info_get_executable(info))
                keys << QFileInfo(QString::fromUtf8(executable)).fileName();
            for (const QString &key : std::as_const(keys)) {
                if (!key.isEmpty() && !names.contains(key.toLower()))
                    names.insert(key.toLower(), name);
            }
        }
    }
    g_list_free_full(all, g_object_unref);
    return names;
}

} // namespace

std::optional<QString> nameFor(const QStringList &keys)
{
    static std::mutex mutex;
    static QHash<QString, QString> names;
    static Clock::time_point scannedAt;
    std::lock_guard lock(mutex);
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (const QString &key : keys) {
            if (auto it = names.constFind(key.toLower()); !key.isEmpty() && it != names.cend())
                return *it;
        }
        const auto now = Clock::now();
        if (scannedAt != Clock::time_point() && now - scannedAt < RescanAfter)
            break;
        names = scan();
        scannedAt = now;
    }
    return std::nullopt;
}

} // namespace DesktopEntries
