#pragma once

#include "platform/DesktopState.h"

#include <optional>

#include <QSet>
#include <QString>

// What applications would tell about themselves through a scripting bridge: a browser's active
// tab and a spreadsheet's selection. The Linux desktop has no such bridge, so a browser's tab
// is read from its accessibility tree and spreadsheets report nothing.
namespace AutomationReader {

struct BrowserTab
{
    std::optional<QString> url;
    std::optional<QString> title;
};

struct SheetState
{
    std::optional<QString> workbook;
    std::optional<QString> sheet;
    std::optional<QString> selection;
};

// Application names, compared without regard to case with the display name, the window class
// and the bundle identifier stand-in.
extern const QSet<QString> chromium;
extern const QSet<QString> browsers;
extern const QSet<QString> sheets;

bool isBrowser(const FrontApp &app);
bool isSheet(const FrontApp &app);

// The address of the front document and the window's title.
BrowserTab browserTab(const FrontApp &app);
SheetState excelState();

} // namespace AutomationReader
