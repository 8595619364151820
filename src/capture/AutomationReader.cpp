#include "capture/AutomationReader.h"

#include "capture/AXReader.h"

namespace AutomationReader {

namespace {

QSet<QString> lowered(std::initializer_list<const char *> names)
{
    QSet<QString> set;
    for (const char *name : names)
        set.insert(QString::fromUtf8(name).toLower());
    return set;
}

bool named(const FrontApp &app, const QSet<QString> &set)
{
    for (const QString &name : {app.name, app.windowClass, app.bundleId}) {
        if (!name.isEmpty() && set.contains(name.toLower()))
            return true;
    }
    return false;
}

} // namespace

const QSet<QString> chromium =
    lowered({"Google Chrome", "Microsoft Edge", "Brave Browser", "Arc", "Chromium",
             "chromium-browser", "google-chrome", "google-chrome-stable", "brave-browser",
             "microsoft-edge", "microsoft-edge-stable", "Vivaldi", "vivaldi-stable"});
const QSet<QString> browsers = chromium +
    lowered({"Safari", "firefox", "firefox-esr", "Firefox ESR", "Navigator", "LibreWolf",
             "Epiphany", "Web", "org.gnome.Epiphany", "Falkon"});
const QSet<QString> sheets = lowered({"Microsoft Excel", "Numbers"});

bool isBrowser(const FrontApp &app)
{
    return named(app, browsers);
}

bool isSheet(const FrontApp &app)
{
    return named(app, sheets);
}

BrowserTab browserTab(const FrontApp &app)
{
    if (!isBrowser(app) || app.pid <= 0)
        return {};
    return {AXReader::webAreaURL(app.pid), app.windowTitle};
}

SheetState excelState()
{
    return {};
}

} // namespace AutomationReader
