#include "core/SpeechModel.h"

#include <QFileInfo>

#include <mutex>

namespace {

std::mutex settingsMutex;
QString grammarPath;
QString directoryPath = QStringLiteral("/usr/share/pocketsphinx/model/en-us");

} // namespace

namespace SpeechModel {

QString directory()
{
    std::lock_guard lock(settingsMutex);
    return directoryPath;
}

QString acousticModel()
{
    return directory() + QStringLiteral("/en-us");
}

QString languageModel()
{
    return directory() + QStringLiteral("/en-us.lm.bin");
}

QString dictionary()
{
    return directory() + QStringLiteral("/cmudict-en-us.dict");
}

bool installed()
{
    // The decoder ends the whole process when a file of the acoustic model is missing, so each
    // one is checked before it is loaded.
    const QString acoustic = acousticModel();
    for (const char *name :
         {"mdef", "means", "variances", "transition_matrices", "noisedict", "feat.params"}) {
        if (!QFileInfo(acoustic + u'/' + QLatin1String(name)).isFile())
            return false;
    }
    return QFileInfo(languageModel()).isFile() && QFileInfo(dictionary()).isFile();
}

bool supports(const QLocale &locale)
{
    // The C locale (LANG unset or "C", common on servers and minimal sessions) names no language;
    // its texts are American English, and so is its speech.
    return locale.language() == QLocale::English || locale.language() == QLocale::C;
}

QString grammar()
{
    std::lock_guard lock(settingsMutex);
    return grammarPath;
}

void setGrammarForTesting(const QString &path)
{
    std::lock_guard lock(settingsMutex);
    grammarPath = path;
}

void setDirectoryForTesting(const QString &path)
{
    std::lock_guard lock(settingsMutex);
    directoryPath = path;
}

} // namespace SpeechModel
